// The lag history of blr-anchor: bounded to its intervals, gaps where no
// sample came, the fleet's figures by nearest rank, and the one-byte lag.
#include <gtest/gtest.h>

#include "anchor/LagHistory.h"
#include "host/metrics/DwSummary.h"

namespace {

constexpr int32_t G = LagHistory::kGap;

std::vector<int32_t> medians(const LagHistory::Series& s) {
  std::vector<int32_t> out;
  for (const auto& f : s.fleet) out.push_back(f.p50);
  return out;
}

// Nearest ranks of many values: the lag summary of `blr pairs list` (CliTest).
TEST(LagHistoryTest, FiguresAreNearestRanksOfTheSample) {
  std::vector<int32_t> values = {7};
  DwSummary s = dwSummarize(&values);
  EXPECT_EQ(s.p50 + s.p95 + s.max, 21);
  values = {};
  EXPECT_EQ(dwSummarize(&values).count, 0u);

  // The fleet's point of an interval; a pair of unknown lag (below 0) is
  // left out, and a sample of no pair is a gap.
  LagHistory h(60, 4);
  h.record(600, {{3, 3600}, {1, 5}, {2, 60}, {4, -1}});
  h.record(660, {{4, -1}});
  LagHistory::Series s2 = h.read(660, {1, 2, 3, 4});
  ASSERT_EQ(s2.fleet.size(), 4u);
  EXPECT_EQ(s2.start, 480);
  EXPECT_EQ(s2.fleet[2].p50, 60);
  EXPECT_EQ(s2.fleet[2].max, 3600);
  EXPECT_EQ(s2.fleet[2].pairs, 3u);
  EXPECT_EQ(s2.fleet[3].max, G);
  EXPECT_EQ(s2.pairs.count(4), 0u);
  // A pair's value to the byte's step.
  EXPECT_EQ(s2.pairs[3], (std::vector<int32_t>{G, G, LagHistory::decode(LagHistory::encode(3600)), G}));
}

TEST(LagHistoryTest, SkippedIntervalsAreGapsAndOnlyTheLastOnesAreKept) {
  LagHistory h(60, 5);
  for (int64_t k = 0; k < 5; ++k) h.record(1000 * 60 + k * 60, {{1, 10 + int32_t(k)}, {2, 50}});
  h.record(1006 * 60 + 30, {{1, 40}});  // 1005 without a sample; pair 2 missing
  h.record(1004 * 60, {{1, 999}});      // the clock stepped back: dropped
  LagHistory::Series s = h.read(1006 * 60 + 59, {1, 2, 9});
  EXPECT_EQ(medians(s), (std::vector<int32_t>{12, 13, 14, G, 40}));
  EXPECT_EQ(s.pairs[1], (std::vector<int32_t>{12, 13, 14, G, 40}));
  EXPECT_EQ(s.pairs[2], (std::vector<int32_t>{50, 50, 50, G, G}));
  EXPECT_EQ(s.pairs.count(9), 0u);
  // Read later: the intervals since are gaps, not the last value held.
  EXPECT_EQ(h.read(1008 * 60, {1}).pairs[1], (std::vector<int32_t>{14, G, 40, G, G}));

  // A second sample in an interval replaces the first.
  h.record(1006 * 60 + 50, {{1, 41}, {2, 7}});
  EXPECT_EQ(h.read(1006 * 60, {2}).pairs[2].back(), 7);

  // Past the kept intervals: pair 2, missing since, is forgotten; pair 1
  // keeps one value and gaps, the fleet only the new point.
  h.record(1014 * 60, {{1, 5}});
  EXPECT_EQ(h.pairCount(), 1u);
  s = h.read(1014 * 60, {1, 2});
  EXPECT_EQ(s.pairs.size(), 1u);
  EXPECT_EQ(s.pairs[1], (std::vector<int32_t>{G, G, G, G, 5}));
  EXPECT_EQ(medians(s), (std::vector<int32_t>{G, G, G, G, 5}));
}

TEST(LagHistoryTest, OneByteKeepsSecondsBelowAMinuteAndThreePercentAbove) {
  for (int32_t v = 0; v < 60; ++v) EXPECT_EQ(LagHistory::decode(LagHistory::encode(v)), v);
  int32_t previous = 59;
  for (int32_t v = 60; v <= 2592000; v += v / 50 + 1) {
    int32_t back = LagHistory::decode(LagHistory::encode(v));
    EXPECT_NEAR(back, v, v * 0.03) << v;
    EXPECT_GE(back, previous) << v;
    previous = back;
  }
  EXPECT_EQ(LagHistory::decode(LagHistory::encode(INT32_MAX)), 2592000);
  EXPECT_EQ(LagHistory::encode(-5), 0);
  EXPECT_EQ(LagHistory::decode(255), G);
}

}  // namespace

// The lag history of blr-anchor: bounded to its intervals, with gaps where no
// sample came.
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

}  // namespace

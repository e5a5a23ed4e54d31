// The fleet's lag over the last hours, kept in memory: once an interval the
// sampler hands over every pair's lag, and the history keeps one byte per
// pair and interval, and the fleet's median, 95th percentile and greatest lag.
// An interval without a sample (the server was not running or fell behind,
// the database did not answer) stays a gap, which no series bridges.  The
// history starts empty with the process.
#ifndef TOOLS_ANCHOR_LAGHISTORY_H
#define TOOLS_ANCHOR_LAGHISTORY_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class LagHistory {
 public:
  static constexpr int32_t kGap = -1;

  struct FleetPoint {
    int32_t p50 = kGap, p95 = kGap, max = kGap;
    uint32_t pairs = 0;
  };
  // Oldest first: interval k covers [start + k * intervalSecs, + intervalSecs).
  struct Series {
    int64_t start = 0;
    int intervalSecs = 0;
    std::vector<FleetPoint> fleet;
    std::map<int32_t, std::vector<int32_t>> pairs;  // seconds or kGap
  };

  explicit LagHistory(int intervalSecs = 60, int intervals = 360);

  // Every pair's lag in seconds at `now` (any order, one entry per pair).  A
  // second sample in one interval replaces the first; a sample older than the
  // latest is dropped.  A pair missing from samples for all the intervals
  // kept is forgotten.
  void record(int64_t now, std::vector<std::pair<int32_t, int32_t>> lags);
  // The intervals kept up to the one of `now`, with the fleet's series and
  // those of `pairIds` that have a history.
  Series read(int64_t now, const std::vector<int32_t>& pairIds) const;
  size_t pairCount() const;
  int intervalSecs() const { return intervalSecs_; }

  // A pair's lag in one byte: to the second below a minute, then in steps of
  // under 6% up to 30 days (more reads as 30 days); 255 is a gap.
  static uint8_t encode(int32_t secs);
  static int32_t decode(uint8_t code);

 private:
  struct Row {
    int32_t id;
    std::unique_ptr<uint8_t[]> codes;  // by interval modulo intervals_
  };
  struct FleetSlot {
    int64_t interval = -1;  // which interval the slot holds; another one: a gap
    FleetPoint point;
  };

  bool allGaps(const Row& row) const;

  const int intervalSecs_, intervals_;
  mutable std::mutex mu_;
  int64_t last_ = -1;  // the latest interval sampled
  std::vector<FleetSlot> fleet_;
  std::vector<Row> rows_;  // by id
};

#endif  // TOOLS_ANCHOR_LAGHISTORY_H

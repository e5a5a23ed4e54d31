#include "LagHistory.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "host/metrics/DwSummary.h"

namespace {

constexpr uint8_t kGapCode = 255;
constexpr int kExact = 60;         // codes below are seconds
constexpr double kTop = 2592000;  // 30 days, code 254

// The seconds of each code below the gap.
const std::array<int32_t, kGapCode>& decodeTable() {
  static const std::array<int32_t, kGapCode> table = [] {
    std::array<int32_t, kGapCode> t{};
    const double steps = kGapCode - 1 - kExact;
    for (int c = 0; c < kGapCode; ++c)
      t[c] = c < kExact ? c
                        : static_cast<int32_t>(std::lround(kExact * std::pow(kTop / kExact, (c - kExact) / steps)));
    return t;
  }();
  return table;
}

int64_t intervalOf(int64_t now, int secs) { return now >= 0 ? now / secs : -1; }

}  // namespace

uint8_t LagHistory::encode(int32_t secs) {
  const auto& t = decodeTable();
  if (secs < kExact) return static_cast<uint8_t>(std::max(secs, 0));
  auto hi = std::lower_bound(t.begin() + kExact, t.end(), secs);
  if (hi == t.end()) return kGapCode - 1;
  if (*hi == secs || hi == t.begin() + kExact) return static_cast<uint8_t>(hi - t.begin());
  // The nearer code by ratio: below the geometric mean of the two, the lower.
  auto lo = hi - 1;
  bool lower = static_cast<double>(secs) * secs < static_cast<double>(*lo) * *hi;
  return static_cast<uint8_t>((lower ? lo : hi) - t.begin());
}

int32_t LagHistory::decode(uint8_t code) { return code == kGapCode ? kGap : decodeTable()[code]; }

LagHistory::LagHistory(int intervalSecs, int intervals)
    : intervalSecs_(std::max(intervalSecs, 1)),
      intervals_(std::max(intervals, 1)),
      fleet_(static_cast<size_t>(intervals_)) {}

bool LagHistory::allGaps(const Row& row) const {
  const uint8_t* c = row.codes.get();
  return std::all_of(c, c + intervals_, [](uint8_t v) { return v == kGapCode; });
}

void LagHistory::record(int64_t now, std::vector<std::pair<int32_t, int32_t>> lags) {
  // Negative lags are unknown: those pairs have no sample this time.
  lags.erase(std::remove_if(lags.begin(), lags.end(), [](const auto& l) { return l.second < 0; }),
             lags.end());
  std::sort(lags.begin(), lags.end());
  std::vector<int32_t> values;
  values.reserve(lags.size());
  for (const auto& l : lags) values.push_back(l.second);
  DwSummary s = dwSummarize(&values);

  std::lock_guard<std::mutex> lock(mu_);
  const int64_t at = intervalOf(now, intervalSecs_);
  if (at < 0 || at < last_) return;
  const size_t slot = static_cast<size_t>(at % intervals_);
  // The intervals skipped since the last sample are gaps for every pair.
  if (last_ >= 0)
    for (int64_t k = last_ + 1; k < at && k <= last_ + intervals_; ++k)
      for (Row& row : rows_) row.codes[k % intervals_] = kGapCode;
  last_ = at;

  FleetSlot& f = fleet_[slot];
  f.interval = s.count > 0 ? at : -1;
  f.point = s.count > 0 ? FleetPoint{s.p50, s.p95, s.max, static_cast<uint32_t>(s.count)} : FleetPoint{};

  // Both lists are by id: a merge keeps the rows in order.
  std::vector<Row> merged;
  merged.reserve(std::max(rows_.size(), lags.size()));
  auto row = rows_.begin();
  auto lag = lags.begin();
  while (row != rows_.end() || lag != lags.end()) {
    if (lag == lags.end() || (row != rows_.end() && row->id < lag->first)) {
      row->codes[slot] = kGapCode;
      if (!allGaps(*row)) merged.push_back(std::move(*row));
      ++row;
      continue;
    }
    if (row == rows_.end() || lag->first < row->id) {
      Row fresh{lag->first, std::unique_ptr<uint8_t[]>(new uint8_t[intervals_])};
      std::memset(fresh.codes.get(), kGapCode, static_cast<size_t>(intervals_));
      merged.push_back(std::move(fresh));
    } else {
      merged.push_back(std::move(*row++));
    }
    merged.back().codes[slot] = encode(lag->second);
    ++lag;
  }
  rows_.swap(merged);
}

LagHistory::Series LagHistory::read(int64_t now, const std::vector<int32_t>& pairIds) const {
  std::lock_guard<std::mutex> lock(mu_);
  const int64_t end = intervalOf(now, intervalSecs_);
  const int64_t first = end - intervals_ + 1;
  Series out;
  out.start = first * intervalSecs_;
  out.intervalSecs = intervalSecs_;
  for (int64_t k = first; k <= end; ++k) {
    const FleetSlot& f = fleet_[static_cast<size_t>(((k % intervals_) + intervals_) % intervals_)];
    out.fleet.push_back(f.interval == k ? f.point : FleetPoint{});
  }
  for (int32_t id : pairIds) {
    auto row = std::lower_bound(rows_.begin(), rows_.end(), id,
                                [](const Row& r, int32_t v) { return r.id < v; });
    if (row == rows_.end() || row->id != id) continue;
    std::vector<int32_t>& series = out.pairs[id];
    for (int64_t k = first; k <= end; ++k) {
      bool kept = k >= 0 && k <= last_ && k > last_ - intervals_;
      series.push_back(kept ? decode(row->codes[k % intervals_]) : kGap);
    }
  }
  return out;
}

size_t LagHistory::pairCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return rows_.size();
}

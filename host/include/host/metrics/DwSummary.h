// The median, 95th percentile and greatest of a set of durations, by nearest
// rank: each figure is one of the values, never an interpolation.
#ifndef HOST_DWSUMMARY_H
#define HOST_DWSUMMARY_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct DwSummary {
  size_t count = 0;  // 0: the figures mean nothing
  int32_t p50 = 0, p95 = 0, max = 0;
};

// Reorders `values` (partial sorts, in linear time).
DwSummary dwSummarize(std::vector<int32_t>* values);

#endif  // HOST_DWSUMMARY_H

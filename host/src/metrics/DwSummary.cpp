#include "host/metrics/DwSummary.h"

#include <algorithm>

namespace {

// The value of nearest rank ceil(percent/100 * n), 1-based.
int32_t rank(std::vector<int32_t>* values, size_t percent) {
  size_t r = (percent * values->size() + 99) / 100;
  auto nth = values->begin() + static_cast<std::ptrdiff_t>(std::max<size_t>(r, 1) - 1);
  std::nth_element(values->begin(), nth, values->end());
  return *nth;
}

}  // namespace

DwSummary dwSummarize(std::vector<int32_t>* values) {
  DwSummary s;
  s.count = values->size();
  if (s.count == 0) return s;
  s.max = *std::max_element(values->begin(), values->end());
  s.p95 = rank(values, 95);
  s.p50 = rank(values, 50);
  return s;
}

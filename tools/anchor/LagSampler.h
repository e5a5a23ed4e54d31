// Feeds the lag history: on a thread of its own it reads every pair's lag
// from the pair database once an interval, at its start, so that no request
// of the monitoring listener waits on it.  A read that fails leaves the
// interval a gap.
#ifndef TOOLS_ANCHOR_LAGSAMPLER_H
#define TOOLS_ANCHOR_LAGSAMPLER_H

#include <condition_variable>
#include <mutex>
#include <string>

#include "LagHistory.h"
#include "host/base/CZuError.h"
#include "host/base/DwThreadGroup.h"

class LagSampler {
 public:
  explicit LagSampler(LagHistory& history) : history_(history) {}
  ~LagSampler() { stop(); }

  // `seedFile` (tests only; "" none) holds samples recorded before the first
  // one read: a line per sample, "<seconds before now> <pair>:<lag> ...",
  // oldest first.
  CZuError start(const std::string& seedFile);
  void stop();

 private:
  void run();

  LagHistory& history_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;
  DwThreadGroup thread_;
};

#endif  // TOOLS_ANCHOR_LAGSAMPLER_H

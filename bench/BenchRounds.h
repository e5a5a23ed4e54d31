// Interleaved comparison of a candidate with a baseline doing the same work:
// rounds of (baseline, candidate) in alternation, each side timed in wall
// time (or its thread's CPU time, see BenchClock) over a fixed number of
// operations; the figure is the median of the
// per-round ratios, so that a disturbance of the machine lands on both sides
// of a round rather than on one side of the whole comparison.
#ifndef BENCH_BENCHROUNDS_H
#define BENCH_BENCHROUNDS_H

#include <algorithm>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct BenchRoundsResult {
  double medianRatio = 0;  // baseline time / candidate time: 1 is as fast
  double minRatio = 0, maxRatio = 0;
  double baselineOpsPerSec = 0, candidateOpsPerSec = 0;  // medians
};

inline double benchMedian(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// What a round is timed by: wall-clock time, or the CPU time of the calling
// thread (user and system, so system calls and page faults count, time
// spent descheduled does not), for work that neither waits nor hands off
// to other threads.
enum class BenchClock { kWall, kThreadCpu };

inline double benchNow(BenchClock clock) {
  if (clock == BenchClock::kWall)
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Times `run(ops)` (which performs `ops` operations) in seconds.
inline double benchTime(const std::function<void(int)>& run, int ops, BenchClock clock = BenchClock::kWall) {
  double start = benchNow(clock);
  run(ops);
  return benchNow(clock) - start;
}

// One warm-up of each side, then `rounds` rounds.  Prints one line:
//   <label>: <candidate> / <baseline> = <median>x (min .. max, <r> rounds) ...
inline BenchRoundsResult benchInterleave(const std::string& label, int rounds, int ops,
                                         const std::function<void(int)>& baseline,
                                         const std::function<void(int)>& candidate,
                                         BenchClock clock = BenchClock::kWall) {
  benchTime(baseline, std::max(1, ops / 10));
  benchTime(candidate, std::max(1, ops / 10));
  std::vector<double> ratios, base, cand;
  for (int r = 0; r < rounds; ++r) {
    double b = benchTime(baseline, ops, clock), c = benchTime(candidate, ops, clock);
    ratios.push_back(b / c);
    base.push_back(ops / b);
    cand.push_back(ops / c);
  }
  BenchRoundsResult result;
  result.medianRatio = benchMedian(ratios);
  result.minRatio = *std::min_element(ratios.begin(), ratios.end());
  result.maxRatio = *std::max_element(ratios.begin(), ratios.end());
  result.baselineOpsPerSec = benchMedian(base);
  result.candidateOpsPerSec = benchMedian(cand);
  std::printf("%-52s %7.3fx  (%.3f .. %.3f, %d rounds)  baseline %.0f/s  candidate %.0f/s\n",
              label.c_str(), result.medianRatio, result.minRatio, result.maxRatio, rounds,
              result.baselineOpsPerSec, result.candidateOpsPerSec);
  std::fflush(stdout);
  return result;
}

#endif  // BENCH_BENCHROUNDS_H

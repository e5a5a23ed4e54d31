// A main() for benchmark programs that compare a candidate with a baseline
// measured in the same run.  After the usual table it prints one line per pair
// of runs "<baseline>/<args>" and "<candidate>/<args>":
//   <candidate> vs <baseline> <args>: <speed-up>x
// where the speed-up is the baseline's time over the candidate's (above 1:
// the candidate is faster).  Times are CPU times (user and system), which a
// busy machine disturbs less than wall time; with repetitions, each side's
// fastest run counts (its median when only aggregates are reported).
#ifndef BENCH_BENCHRATIO_H
#define BENCH_BENCHRATIO_H

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      double t = run.GetAdjustedCPUTime();
      if (run.run_type == Run::RT_Iteration) {
        auto [it, fresh] = times_.emplace(run.run_name.str(), t);
        if (!fresh && t < it->second) it->second = t;
      } else if (run.aggregate_name == "median") {
        medians_[run.run_name.str()] = t;  // all there is with aggregates only
      }
    }
  }

  void printRatios(const std::vector<std::pair<std::string, std::string>>& pairs) const {
    const std::map<std::string, double>& times = times_.empty() ? medians_ : times_;
    std::printf("\n");
    for (const auto& [baseline, candidate] : pairs) {
      std::string prefix = baseline + "/";
      for (const auto& [name, baseTime] : times) {
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        std::string args = name.substr(prefix.size());
        auto other = times.find(candidate + "/" + args);
        if (other == times.end() || other->second <= 0) continue;
        std::printf("%s vs %s %s: %.3fx\n", candidate.c_str(), baseline.c_str(), args.c_str(),
                    baseTime / other->second);
      }
    }
  }

 private:
  std::map<std::string, double> times_;    // fastest repetition
  std::map<std::string, double> medians_;  // median, when only aggregates are reported
};

inline int runWithRatios(int argc, char** argv,
                         const std::vector<std::pair<std::string, std::string>>& pairs) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios(pairs);
  benchmark::Shutdown();
  return 0;
}

#endif  // BENCH_BENCHRATIO_H

// Runs one action per pair of a recovery plan: the groups one after the
// other, at most the group's parallelism of its pairs at once, each pair on a
// thread of its own.  What the action does (a workflow, a drill) and where
// outcomes are kept are the caller's.
#ifndef TOOLS_BLR_PLANRUNNER_H
#define TOOLS_BLR_PLANRUNNER_H

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrPlanDB.h"

class PlanRunner {
 public:
  // What became of one pair.
  enum class Outcome { kDone, kFailed, kSkipped, kNotStarted };

  struct Result {
    int pairId = 0;
    int groupNo = 0;
    Outcome outcome = Outcome::kNotStarted;
    int exitCode = 0;
    std::string error;
  };

  // Runs on the pair's own thread: 0 on success or an exit status, with
  // `error` set on failure.  `connections` are the thread's control
  // connections, kept from one of its pairs to the next.
  using Action = std::function<int(const BlrPlanDB::Member& member, int groupNo,
                                   BlrCtrlCache& connections, std::string* error)>;
  // Told on the pair's thread as it starts and as it ends; calls are
  // serialised by the runner.
  using Listener = std::function<void(const Result& result, bool started)>;

  // Asked before each pair starts: true starts no more pairs.
  using Stopping = std::function<bool()>;

  // Pairs in `done` are skipped.  A pair that fails without the
  // continue-on-error option lets the rest of its group finish, and the
  // groups after it do not start; so does `stopping` (may be empty) once it
  // says so.  Results are in plan order.
  static std::vector<Result> run(const BlrPlanDB::Plan& plan, const std::set<int>& done,
                                 const Action& action, const Listener& listener,
                                 const Stopping& stopping = {});

  // "done", "failed", "skipped", "not started".
  static const char* outcomeName(Outcome outcome);
};

#endif  // TOOLS_BLR_PLANRUNNER_H

// Carries out a run record: each pair of its plan, or its one pair, through
// the run's kind of work (a workflow, a drill, a drill's clean-up), in the
// plan's order and parallelism, recording each pair as it starts and ends
// and starting no new pair once a stop is asked for.  blr carries out the
// runs it holds itself; blr-anchor's runner the runs it claims.
#ifndef TOOLS_BLR_RUNEXECUTOR_H
#define TOOLS_BLR_RUNEXECUTOR_H

#include <string>
#include <vector>

#include "BLR/BlrPlanDB.h"
#include "commands/CliPairWorkflows.h"
#include "plans/PlanRunner.h"
#include "runs/RunLease.h"

class RunExecutor {
 public:
  // Told how the pairs go, on the pairs' threads; calls are serialised.
  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void onPairStart(int /*pairId*/) {}
    // A step of the pair's work begins; `title` is its first line.
    virtual void onPairStep(int /*pairId*/, const std::string& /*title*/) {}
    // The pair's work ended after `seconds`; `work` is what a workflow
    // reported (empty for drills).
    virtual void onPairEnd(const PlanRunner::Result& /*result*/, double /*seconds*/,
                           const PairWorkflowResult& /*work*/) {}
  };

  // Whether runs of `kind` can be carried out: "failover",
  // "cancel-failover", "failback", "reset-after-failback", "switch-roles",
  // "test", "test-cleanup".
  static bool knows(const std::string& kind);

  // Carries out `run`, held by `lease` and holding the pairs it did before,
  // and ends it: "done", "failed", or "stopped" when a stop left pairs
  // unstarted.  `results` (may be null) gets each pair's outcome in plan
  // order.  Fails when the run could not be carried out or ended.
  static CZuError execute(const BlrPlanDB::Run& run, RunLease& lease, Listener& listener,
                          std::vector<PlanRunner::Result>* results);

  // The plan a run covers: its plan's, or one group of its one pair.
  static CZuError planOf(const BlrPlanDB::Run& run, BlrPlanDB::Plan* plan);

  // Records pair `member` of run `runId` as running, with its lag now;
  // `rec` receives the record, for the pair's end.  `runner` holds the run.
  static CZuError recordStart(int runId, const std::string& runner,
                              const BlrPlanDB::Member& member, int groupNo,
                              BlrPlanDB::RunPair* rec);
  // Records the end of pair `rec`: exit status `status`, its `error` and
  // `steps` (dropped when too long).  Returns `status`, or 1 with `error`
  // set when a pair that ended well could not be recorded: unrecorded, it
  // would not count as done when the run resumes.
  static int recordEnd(int runId, const std::string& runner, int status, const std::string& steps,
                       BlrPlanDB::RunPair* rec, std::string* error);
};

#endif  // TOOLS_BLR_RUNEXECUTOR_H

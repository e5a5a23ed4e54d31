// The working set of one workflow run and the step pattern the workflows
// share.  Internal to libblr.
#ifndef BLR_SRC_BLRSVCWORKFLOWRUN_H
#define BLR_SRC_BLRSVCWORKFLOWRUN_H

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrDB.h"
#include "BLR/BlrDebug.h"
#include "BLR/BlrSvcWorkflow.h"
#include "BLR/BlrWorkflowSteps.h"
#include "host/base/CZuError.h"

namespace blrworkflow {

// `err` under `code`: unchanged when it already has it, else a new error at
// `loc` whose text is the whole of `err`.
CZuError withCode(const FXCodeLocation& loc, const CZuError& err, int code);

// Whether a failover, a failback or a switch of roles has begun on the pair:
// one of its progress properties exists.  These tell an interrupted run apart
// when the replication service has since reported another status for the pair.
bool failoverBegun(const BlrSvcWorkflow::PropMap& props);
bool failbackBegun(const BlrSvcWorkflow::PropMap& props);
bool switchRolesBegun(const BlrSvcWorkflow::PropMap& props);

class WorkflowRun {
 public:
  enum Proxy { kHead, kTail };
  using Action = std::function<CZuError()>;
  using CtrlAction = std::function<CZuError(BlrCtrl&)>;

  // `ctx` is the log context; `genericCode` the code of lookup and database
  // failures (0: the callee's code is kept).  Control connections come from
  // `connections` when it holds one and go back to it at the end.
  WorkflowRun(int pairId, const char* ctx, int genericCode, BlrCtrlCache* connections)
      : pairId(pairId), ctx(ctx), genericCode(genericCode), connections_(connections) {}
  ~WorkflowRun();
  WorkflowRun(const WorkflowRun&) = delete;
  WorkflowRun& operator=(const WorkflowRun&) = delete;

  // Reads the pair and its properties, then opens the debug context.
  CZuError load(const FXCodeLocation& loc);

  // A workflow that goes on from a failover (failback, switch roles): how
  // its messages name it, the pair states it starts from, its progress, and
  // the status the pair holds while it runs.
  struct AfterFailover {
    const char* refusal;  // "Can't <refusal> pair %d: invalid pair state %d"
    const char* name;     // "Starting <name> for pair %d"
    bool (*startsFrom)(const BlrDB::Pair& pair, const BlrSvcWorkflow::PropMap& props);
    const BlrWorkflowSteps& steps;
    int status;
    const char* statusName;  // "Setting pair status to <statusName>"
  };
  // Loads the pair and opens such a workflow on it: refuses a pair in a
  // state it does not start from, logs the start or, when resumed, the
  // progress so far, resolves both hosts and sets the workflow's status.
  // `guard` is armed once the status is set.
  CZuError loadAfterFailover(const FXCodeLocation& loc, const AfterFailover& wf,
                             BlrSvcWorkflow::FailedStatusSetter* guard);
  // Resolves both host names; the Tail's failure replaces the Head's.
  CZuError resolveHosts(const FXCodeLocation& loc);
  // Resolves the Head's, then the Tail's; stops at the first failure (code 1).
  CZuError resolveHostsInTurn(const FXCodeLocation& loc);

  bool done(const char* prop) const { return value(prop) == "1"; }
  std::string value(const char* prop) const;
  bool has(const char* prop) const { return !value(prop).empty(); }

  // A line of the run's log.
  void log(const char* fmt, ...) const BLR_PRINTF(2, 3);
  // A logged line that the thread's observer sees as an action starting,
  // a wait's poll, or a failure passed over.
  void action(const char* fmt, ...) BLR_PRINTF(2, 3);
  void tick(const char* fmt, ...) BLR_PRINTF(2, 3);
  void error(const char* fmt, ...) BLR_PRINTF(2, 3);
  // An action starting that the log already shows otherwise.
  void announce(const std::string& title);
  // Starts the step that records `prop`: sets its code and logs its title
  // (`titleArg` fills a "%d").
  void begin(const char* prop, int titleArg = 0);

  // Opens the proxy's connection on first use (or borrows one) and runs
  // `action` on it.
  CZuError call(Proxy proxy, const CtrlAction& action);
  Action on(Proxy proxy, CtrlAction action);

  // Writes a property of the pair and keeps the map in step; a failure ends
  // the run under `code` (the generic code when 0).
  CZuError setProp(const char* prop, const std::string& value, int code = 0);
  // Deletes one property (cancel and reset).
  CZuError clearProp(const char* prop);

  // A recorded step: skipped when `prop` is "1"; else begins it, runs `act`,
  // records its outcome in `prop` and hands a failure, with `failure`
  // pushed, to failed().
  CZuError step(const char* prop, int titleArg, const Action& act, const std::string& failure);
  // The step that records `prop`: powers the pair's VM on `proxy` off and
  // notes in `powerProp` whether it was on (see powerOffNoting).
  CZuError stopVm(const char* prop, Proxy proxy, const char* powerProp,
                  const std::string& failure);
  // Records `outcome` in `prop`, then hands a failure to failed().
  CZuError finish(const char* prop, CZuError outcome, const std::string& failure);
  // A failed step: ends the run under the step code, or, when continuing on
  // errors, is logged and marks the run partial (success returned).
  CZuError failed(const FXCodeLocation& loc, const CZuError& err);
  // A failure of the database or of a lookup: ends the run under the
  // generic code.
  CZuError fatal(const FXCodeLocation& loc, CZuError err, const std::string& message);

  // Texts of a flush: the actions of injecting the marker and of waiting
  // for it, the injection's failure ("%d": the pair), the log line of each
  // poll ("%lld": the sequence number), the failure of a query ("%d"), the
  // time-out.
  struct FlushTexts {
    const char* injecting;
    const char* injectFailure;
    const char* waiting;
    const char* polled;
    const char* queryFailure;
    const char* timedOut;
  };
  // Drains pair `id`'s pipeline: injects a flush marker for `source` on
  // `from`, then waits for `to` to reach it on `target` (`*arrived`).
  // Failures go to failed(), under the step code; no marker is nothing to
  // wait for.
  CZuError flush(int id, Proxy from, const BlrUUID& source, Proxy to, const BlrUUID& target,
                 const FlushTexts& texts, bool* arrived);

  // The steps that retire the original pair once the recovery VM carries
  // on (failback, switch roles): the failover snapshot on the Tail, the
  // production VM when `vmStopped` is set, then the pair on the Head.
  struct RetireSteps {
    const char* snapDeleted;
    const char* vmStopped;  // null: the VM is left as it is
    const char* pairStopped;
    const char* pairCleaned;
  };
  CZuError retireOriginalPair(const RetireSteps& steps);
  // Stops pair `id` on `proxy`, then cleans it up, as recorded steps;
  // `which` names it in failures ("hidden").
  CZuError stopAndCleanPair(Proxy proxy, int id, const char* stoppedProp, const char* cleanedProp,
                            const char* which);

  // The step that records `recordProp`: stores `pair` (a new reverse pair;
  // its id is set), gives it the default settings and `extraProps`, and
  // records its id; a pair that can't be configured or recorded is deleted
  // again.  `what` names it in failures.
  CZuError createPair(BlrDB::Pair* pair, const BlrSvcWorkflow::PropMap& extraProps,
                      const char* recordProp, const char* what);

  const int pairId;
  const char* const ctx;
  const int genericCode;
  int stepCode = BLR_WF_BAD_STATE;
  bool continueOnError = false;
  bool partial = false;

  BlrDB db;
  BlrDB::Pair pair;
  BlrSvcWorkflow::PropMap props;
  std::string headHost, tailHost;

 private:
  // The proxy's mangled host name, or the lookup's failure logged.
  bool lookUpHost(int clientId, std::string* host);
  // Formats a line of the run's log and logs it; the line.
  std::string logV(const char* fmt, va_list args) const;

  // Powers the pair's VM on `proxy` off (the call's result in `outcome`)
  // and records in `powerProp` whether it was on.  "1" is written before
  // the request, so that a run killed while it is out still counts the VM
  // as on: a later attempt finds it off either way.  Only an attempt that
  // surely reached the proxy first writes "0"; a request that never left
  // (no connection) keeps what was known before it.  Returns a failed write.
  CZuError powerOffNoting(Proxy proxy, const char* powerProp, CZuError* outcome);
  // Polls `proxy` every 5 s for the last sequence number of `vm` until it
  // reaches `marker` (`*arrived`) or more than 300 s passed.
  CZuError awaitMarker(int id, Proxy proxy, const BlrUUID& vm, uint64_t marker,
                       const FlushTexts& texts, bool* arrived);

  BlrCtrlCache* const connections_;
  std::unique_ptr<BlrCtrl> head_, tail_;
  std::unique_ptr<BlrDebugCtx> debugCtx_;
};

}  // namespace blrworkflow

#endif  // BLR_SRC_BLRSVCWORKFLOWRUN_H

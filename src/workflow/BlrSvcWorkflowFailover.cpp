// Failover and cancel failover.
#include <cinttypes>
#include <string>

#include "BLR/BlrSvcWorkflow.h"
#include "workflow/BlrSvcWorkflowRun.h"
#include "host/base/FXFormat.h"

using blrworkflow::WorkflowRun;

namespace {

using W = BlrSvcWorkflow;

// The Tail's refusal to revert to a snapshot it does not hold.
constexpr int kNoSnapshotCode = 2;
// failoverSnapTaken once a cancel has asked the Tail to revert: not taken,
// as far as a resumed failover is concerned.
constexpr char kSnapReverting[] = "2";

const WorkflowRun::FlushTexts kFailoverFlush{
    "Injecting failover marker", "Couldn't inject failover marker for pair %d",
    "Waiting for failover marker to reach the Tail", "Last seqnum on tail: %lld",
    "Couldn't query last replicated seqnum pair %d",
    "Couldn't flush replication pipeline: timed out"};

// Drains the replication pipeline to the Tail with a flush marker.
CZuError flushPipeline(WorkflowRun& run) {
  if (run.done(W::FOPROP_MARKER_RECEIVED)) return CZuError();
  run.begin(W::FOPROP_MARKER_RECEIVED);
  CZuError err = run.setProp(W::FOPROP_MARKER_RECEIVED, "0");
  if (err.IsError()) return err;
  if (run.value(W::FOPROP_STATUS_BEFORE_FAILOVER) != "4") {
    CZuError notRunning = FXErrorUtil::ErrorInt(
        FXLOC, BLR_FO_FLUSH, "Pair must be running before trying to failover to the latest state");
    if ((err = run.failed(FXLOC, notRunning)).IsError()) return err;
  }
  bool arrived = false;
  err = run.flush(run.pairId, WorkflowRun::kHead, run.pair.srcGuid, WorkflowRun::kTail,
                  run.pair.dstGuid, kFailoverFlush, &arrived);
  if (!err.IsError() && arrived) err = run.setProp(W::FOPROP_MARKER_RECEIVED, "1");
  return err;
}

// Progress that an earlier failover and failback left behind (their
// clearing is best effort) would make a new failover skip its steps.
CZuError clearEarlierProgress(WorkflowRun& run) {
  if (!blrworkflow::failoverBegun(run.props) && !blrworkflow::failbackBegun(run.props))
    return CZuError();
  BlrSvcWorkflow workflow(run.pairId);
  CZuError err = workflow.clearFailoverProps(run.db);
  if (!err.IsError()) err = workflow.clearFailbackProps(run.db);
  if (!err.IsError()) err = run.db.getPairProps(run.pairId, &run.props);
  if (err.IsError())
    return run.fatal(FXLOC, err,
                     FXFormat("Couldn't clear the progress of an earlier failover of pair %d",
                              run.pairId));
  return CZuError();
}

}  // namespace

CZuError BlrSvcWorkflow::failover(bool continueOnError, bool toLatestState, bool* partial) {
  WorkflowRun run(pairId, "BlrSvcWorkflow::failover", BLR_FO_GENERIC, connections);
  CZuError err = run.load(FXLOC);
  if (err.IsError()) return err;
  if (run.pair.flags & FAILOVER) {
    run.log("Resuming failover for pair %d. Previous progress:", pairId);
    logFailoverProgress(run.ctx, run.props);
  } else {
    run.log("Starting failover for pair %d", pairId);
  }
  if (run.pair.statusCode == STATUS_STOPPED)
    return FXErrorUtil::ErrorInt(FXLOC, BLR_WF_BAD_STATE, "Can't failover stopped pair %d", pairId);
  if ((err = run.resolveHosts(FXLOC)).IsError()) return err;
  if (!(run.pair.flags & FAILOVER) && (err = clearEarlierProgress(run)).IsError()) return err;

  if ((err = run.db.setPairFlags(pairId, FAILOVER)).IsError())
    return err.Push(FXLOC, "Couldn't set FAILOVER flag for pair %d", pairId);
  if (!run.has(FOPROP_STATUS_BEFORE_FAILOVER) &&
      (err = run.setProp(FOPROP_STATUS_BEFORE_FAILOVER, std::to_string(run.pair.statusCode)))
          .IsError())
    return err;
  if ((err = run.db.setPairStatus(pairId, STATUS_FAILING_OVER, "", 0)).IsError())
    return run.fatal(FXLOC, err, "Couldn't set pair status to Failing Over");

  run.continueOnError = continueOnError;
  err = run.stopVm(FOPROP_VM_STOPPED, WorkflowRun::kHead, FOPROP_POWER_BEFORE_FAILOVER,
                   FXFormat("Couldn't stop production VM for pair %d", pairId));
  if (err.IsError()) return err;
  if (toLatestState && (err = flushPipeline(run)).IsError()) return err;
  const int id = pairId;
  const BlrUUID dstGuid = run.pair.dstGuid;
  err = run.step(FOPROP_PAIR_PAUSED, id,
                 run.on(WorkflowRun::kHead, [id](BlrCtrl& c) { return c.pausePair(id); }),
                 FXFormat("Couldn't suspend pair %d for failover", id));
  if (err.IsError()) return err;
  // Noted before the request: a run that ends before the answer may still
  // have blocked the Tail, and a cancel must then unblock it.
  if (!run.has(FOPROP_REPLICATION_BLOCKED) &&
      (err = run.setProp(FOPROP_REPLICATION_BLOCKED, "0")).IsError())
    return err;
  err = run.step(
      FOPROP_REPLICATION_BLOCKED, id,
      run.on(WorkflowRun::kTail, [&dstGuid](BlrCtrl& c) { return c.failoverCrossing(dstGuid); }),
      FXFormat("Couldn't block replication of pair %d on Tail", id));
  if (err.IsError()) return err;
  err = run.step(FOPROP_SNAP_TAKEN, id,
                 run.on(WorkflowRun::kTail, [id](BlrCtrl& c) { return c.createFailoverSnap(id); }),
                 FXFormat("Couldn't create failover snapshot for pair %d on Tail", id));
  if (err.IsError()) return err;

  if ((err = run.db.getPairProps(pairId, &run.props)).IsError())
    return run.fatal(FXLOC, err, FXFormat("Couldn't look up details of pair %d", pairId));
  run.log("Failover %ssuccessful:", run.partial ? "Partially " : "");
  logFailoverProgress(run.ctx, run.props);
  if (partial != nullptr) *partial = run.partial;
  return CZuError();
}

CZuError BlrSvcWorkflow::cancelFailover(bool keepVmOff) {
  WorkflowRun run(pairId, "BlrSvcWorkflow::cancelFailover", 0, connections);
  CZuError err = run.load(FXLOC);
  if (err.IsError()) return err;
  if (!(run.pair.flags & FAILOVER)) {
    run.log("Nothing to cleanup for pair %d", pairId);
    return CZuError();
  }
  run.log("Cleaning up failover for pair %d. Previous progress:", pairId);
  logFailoverProgress(run.ctx, run.props);
  if ((err = run.resolveHostsInTurn(FXLOC)).IsError()) return err;

  const int id = pairId;
  const bool revertSent = run.value(FOPROP_SNAP_TAKEN) == kSnapReverting;
  if (run.done(FOPROP_SNAP_TAKEN) || revertSent) {
    run.action("Reverting to failover snapshot on Tail");
    // Noted before the request: a cancel that ends before the answer may
    // have reverted (and so removed) the snapshot, and a failover resumed
    // after it must take a new one.
    if (!revertSent && (err = run.setProp(FOPROP_SNAP_TAKEN, kSnapReverting)).IsError()) return err;
    err = run.call(WorkflowRun::kTail, [id](BlrCtrl& c) { return c.deleteFailoverSnap(id, true); });
    if (err.IsError() && revertSent && err.Code() == kNoSnapshotCode) {
      run.log("No failover snapshot of pair %d left on Tail: an earlier cancel reverted to it", id);
      err = CZuError();
    }
    if (err.IsError())
      return err.Push(FXLOC, "Couldn't revert to failover snapshot for pair %d on Tail", id);
    if ((err = run.clearProp(FOPROP_SNAP_TAKEN)).IsError()) return err;
  }
  if (run.has(FOPROP_REPLICATION_BLOCKED)) {
    run.action("Unblocking replication on Tail");
    err = run.call(WorkflowRun::kTail,
                   [&run](BlrCtrl& c) { return c.failoverCrossed(run.pair.dstGuid); });
    if (err.IsError())
      return err.Push(FXLOC, "Couldn't unblock replication of pair %d on Tail", id);
    if ((err = run.clearProp(FOPROP_REPLICATION_BLOCKED)).IsError()) return err;
  }
  // "1" is written before the power-off, so it also covers a stop whose
  // answer or record was lost.  The stop is forgotten before the VM is
  // powered on: a failover resumed after an interrupted cancel must stop
  // the VM again.
  if (!keepVmOff && run.done(FOPROP_POWER_BEFORE_FAILOVER)) {
    if (run.has(FOPROP_VM_STOPPED) && (err = run.clearProp(FOPROP_VM_STOPPED)).IsError())
      return err;
    run.action("Powering up production VM");
    err = run.call(WorkflowRun::kHead,
                   [id](BlrCtrl& c) { return c.powerOnOffHeadVM(id, true, nullptr); });
    if (err.IsError())
      run.error("Couldn't power up production VM: %s\n%s", err.Summary().c_str(),
                err.AsString().c_str());
  }
  run.action("Clearing all failover properties for pair %d", id);
  clearFailoverProps(run.db);
  // Restarted before FAILOVER is cleared, so that a failed restart is
  // retried by cancelling again.
  err = run.call(WorkflowRun::kHead, [id](BlrCtrl& c) { return c.startPair(id); });
  if (err.IsError()) return err.Push(FXLOC, "Couldn't start pair %d back", id);
  if ((err = run.db.clrPairFlags(id, FAILOVER)).IsError())
    return err.Push(FXLOC, "Couldn't clear FAILOVER flag for pair %d", id);
  return CZuError();
}

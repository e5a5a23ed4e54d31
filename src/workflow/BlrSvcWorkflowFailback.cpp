// Failback and reset after failback.
#include <cstdlib>
#include <list>
#include <string>

#include "BLR/BlrSvcWorkflow.h"
#include "workflow/BlrSvcWorkflowRun.h"
#include "host/base/DwClock.h"
#include "host/base/FXFormat.h"

using blrworkflow::WorkflowRun;

namespace {

constexpr int kSyncPollMs = 15000;

using W = BlrSvcWorkflow;

// The failback's state beyond the run: the hidden pair and its id.
struct Failback {
  WorkflowRun& run;
  W::FailedStatusSetter& guard;
  BlrDB::Pair hidden;
  int hiddenId = 0;
};

// The hidden pair recorded by an earlier call, or a new one.
CZuError findOrCreateHiddenPair(Failback& fb) {
  WorkflowRun& run = fb.run;
  run.stepCode = BLR_FB_CREATE_HIDDEN_PAIR;
  std::string recorded = run.value(W::FBPROP_HIDDEN_PAIR_ID);
  if (recorded.empty()) {
    fb.hidden = run.pair.reverse();
    fb.hidden.flags |= W::HIDDEN;
    CZuError err =
        run.createPair(&fb.hidden, {{BlrDB::PairProps::ORIG_PAIR_ID, std::to_string(run.pairId)}},
                       W::FBPROP_HIDDEN_PAIR_ID, "hidden failback pair");
    fb.hiddenId = fb.hidden.id;
    return err;
  }
  fb.hiddenId = std::atoi(recorded.c_str());
  CZuError err = run.db.getPair(fb.hiddenId, &fb.hidden);
  if (err.IsError())
    return run.fatal(FXLOC, err,
                     FXFormat("Couldn't query hidden failback pair %s", recorded.c_str()));
  return CZuError();
}

// Waits for the hidden pair to copy the recovery VM's changes back.  Once it
// was stopped (after its copy-back had finished) its status no longer tells,
// so a resumed call goes on without waiting.
CZuError awaitCopyBack(Failback& fb, bool wait) {
  WorkflowRun& run = fb.run;
  run.stepCode = BLR_FB_SYNC_HIDDEN_PAIR;
  if (run.done(W::FBPROP_HIDDEN_PAIR_STOPPED)) return CZuError();
  for (bool first = true;;) {
    BlrDB::Pair hidden;
    CZuError err = run.db.getPair(fb.hiddenId, &hidden);
    if (err.IsError())
      return run.fatal(FXLOC, err,
                       FXFormat("Couldn't query status of hidden failback pair %d", fb.hiddenId));
    if (hidden.statusCode == W::STATUS_RUNNING) return CZuError();
    if (hidden.eventId == W::EVENT_PRODUCTION_VM_MISSING)
      return FXErrorUtil::ErrorInt(FXLOC, BLR_FB_PRODUCTION_VM_MISSING,
                                   "Either production VM is missing or its disk configuration "
                                   "has changed. Automatic failback is not possible.");
    if (hidden.statusCode != W::STATUS_SYNCING && hidden.statusCode != W::STATUS_SMART_SYNCING &&
        hidden.statusCode != W::STATUS_RESYNCING)
      return FXErrorUtil::ErrorInt(FXLOC, BLR_FB_SYNC_HIDDEN_PAIR,
                                   "Pair %d has unexpected status %d", fb.hiddenId,
                                   hidden.statusCode)
          .Push(FXLOC, "Couldn't sync changes back");
    if (!wait) {
      fb.guard.armed = false;
      return FXErrorUtil::ErrorInt(FXLOC, BLR_FB_STILL_SYNCING, "Pair %d is still smart-syncing",
                                   fb.hiddenId);
    }
    if (first) run.announce(FXFormat("Waiting for pair %d to finish syncing", fb.hiddenId));
    first = false;
    run.tick("Waiting for pair %d to finish syncing...", fb.hiddenId);
    ZUSLEEP(kSyncPollMs);
  }
}

const WorkflowRun::FlushTexts kReverseFlush{
    "Injecting flush marker", "Couldn't inject marker for pair %d",
    "Waiting for the flush marker to reach the Head", "Last seqnum on head: %lld",
    "Couldn't query last sync seqnum pair %d", "Couldn't flush pipeline: timed out"};

// Drains the reverse pipeline to the Head with a flush marker.
CZuError flushReversePipeline(Failback& fb) {
  WorkflowRun& run = fb.run;
  if (run.done(W::FBPROP_MARKER_RECEIVED)) return CZuError();
  run.begin(W::FBPROP_MARKER_RECEIVED);
  CZuError err = run.setProp(W::FBPROP_MARKER_RECEIVED, "0");
  if (err.IsError()) return err;
  bool arrived = false;
  err = run.flush(fb.hiddenId, WorkflowRun::kTail, fb.hidden.srcGuid, WorkflowRun::kHead,
                  fb.hidden.dstGuid, kReverseFlush, &arrived);
  if (err.IsError() || !arrived) return err;
  return run.setProp(W::FBPROP_MARKER_RECEIVED, "1");
}

// Steps 16 to 18: the hidden pair on the Tail and in the database.
CZuError removeHiddenPair(Failback& fb) {
  WorkflowRun& run = fb.run;
  const int hid = fb.hiddenId;
  CZuError err = run.stopAndCleanPair(WorkflowRun::kTail, hid, W::FBPROP_HIDDEN_PAIR_STOPPED,
                                      W::FBPROP_HIDDEN_PAIR_CLEANED, "hidden");
  if (!err.IsError())
    err = run.step(
        W::FBPROP_HIDDEN_PAIR_DELETED, hid,
        [&run, hid] { return run.db.delPair(hid); },
        FXFormat("Couldn't delete hidden pair %d", hid));
  return err;
}

// Steps 19 to 21: production VM, Tail unblocked, original pair restarted.
// The pair is started before its failover state is cleared, so that a
// failed start can be resumed by calling failback again.
CZuError restoreProduction(WorkflowRun& run) {
  const int id = run.pairId;
  CZuError err;
  if (run.done(W::FBPROP_POWER_BEFORE_FAILBACK))
    err = run.step(W::FBPROP_VM_STARTED, id,
                   run.on(WorkflowRun::kHead,
                          [id](BlrCtrl& c) { return c.powerOnOffHeadVM(id, true, nullptr); }),
                   FXFormat("Couldn't start production VM for pair %d", id));
  if (!err.IsError())
    err = run.step(W::FBPROP_REPLICATION_UNBLOCKED, id,
                   run.on(WorkflowRun::kTail,
                          [&run](BlrCtrl& c) { return c.failoverCrossed(run.pair.dstGuid); }),
                   FXFormat("Couldn't unblock replication for pair %d", id));
  if (err.IsError()) return err;
  run.stepCode = BLR_FB_RESTART_PAIR;
  run.action("Starting pair %d", id);
  err = run.call(WorkflowRun::kHead, [id](BlrCtrl& c) { return c.startPair(id); });
  if (err.IsError()) return run.failed(FXLOC, err.Push(FXLOC, "Couldn't start pair %d", id));
  if ((err = run.db.clrPairFlags(id, W::FAILOVER)).IsError())
    return err.Push(FXLOC, "Couldn't clear FAILOVER flag for pair %d", id);
  BlrSvcWorkflow workflow(id);
  workflow.clearFailoverProps(run.db);
  workflow.clearFailbackProps(run.db);
  return CZuError();
}

// A failed-over pair, or one whose failback began.  An interrupted failback
// is told by its progress, as the replication service may since have
// reported its original pair stopped (6) or restarted (3, 4).
bool isFailbackState(const BlrDB::Pair& pair, const W::PropMap& props) {
  return (pair.flags & W::FAILOVER) &&
         (pair.statusCode == W::STATUS_FAILED_OVER || pair.statusCode == W::STATUS_FAILING_BACK ||
          pair.statusCode == W::STATUS_FAILBACK_FAILED || blrworkflow::failbackBegun(props));
}

// A failed failback, or one interrupted after its original pair was reported
// stopped.
bool isResettable(const BlrDB::Pair& pair, const W::PropMap& props) {
  return pair.statusCode == W::STATUS_FAILBACK_FAILED ||
         (pair.statusCode == W::STATUS_STOPPED && (pair.flags & W::FAILOVER) &&
          blrworkflow::failbackBegun(props));
}

// The hidden pair of a failback killed before it recorded the id: found by
// its VMs and flag.
CZuError findUnrecordedHiddenPair(WorkflowRun& run, std::string* id) {
  if (run.pair.srcGuid.empty() || run.pair.dstGuid.empty()) return CZuError();
  BlrDB::Pair filter;
  filter.srcGuid = run.pair.dstGuid;
  filter.dstGuid = run.pair.srcGuid;
  filter.flags = W::HIDDEN;
  std::list<BlrDB::Pair> found;
  CZuError err = run.db.getPairs(filter, &found);
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't look up hidden failback pairs of pair %d", run.pairId);
  if (!found.empty()) *id = std::to_string(found.front().id);
  return CZuError();
}

}  // namespace

CZuError BlrSvcWorkflow::failback(bool waitForSync) {
  WorkflowRun run(pairId, "BlrSvcWorkflow::failback", BLR_FB_GENERIC, connections);
  FailedStatusSetter guard(run.db, pairId, STATUS_FAILBACK_FAILED, false);
  CZuError err = run.loadAfterFailover(
      FXLOC,
      {"failback", "failback", isFailbackState, blrFailbackSteps(), STATUS_FAILING_BACK,
       "Failing Back"},
      &guard);
  if (err.IsError()) return err;

  Failback fb{run, guard, BlrDB::Pair(), 0};
  err = run.retireOriginalPair({FBPROP_SNAP_DELETED, FBPROP_ORIG_VM_STOPPED,
                                FBPROP_ORIG_PAIR_STOPPED, FBPROP_ORIG_PAIR_CLEANED});
  if (err.IsError()) return err;
  if ((err = findOrCreateHiddenPair(fb)).IsError()) return err;
  const int hid = fb.hiddenId;
  err = run.step(FBPROP_HIDDEN_PAIR_STARTED, hid,
                 run.on(WorkflowRun::kTail, [hid](BlrCtrl& c) { return c.startPair(hid); }),
                 "Couldn't start hidden reverse failback pair");
  if (err.IsError()) return err;
  if ((err = awaitCopyBack(fb, waitForSync)).IsError()) return err;
  // Whether the recovery VM was on is noted, so that a resumed call still
  // powers the production VM on.
  err = run.stopVm(FBPROP_RECOVERY_VM_STOPPED, WorkflowRun::kTail, FBPROP_POWER_BEFORE_FAILBACK,
                   FXFormat("Couldn't stop recovery VM for pair %d", hid));
  if (err.IsError()) return err;
  if ((err = flushReversePipeline(fb)).IsError()) return err;
  if ((err = removeHiddenPair(fb)).IsError()) return err;
  if ((err = restoreProduction(run)).IsError()) return err;
  guard.armed = false;
  return CZuError();
}

CZuError BlrSvcWorkflow::resetAfterFailback() {
  WorkflowRun run(pairId, "BlrSvcWorkflow::resetAfterFailback", 0, connections);
  CZuError err = run.load(FXLOC);
  if (err.IsError()) return err;
  if (!isResettable(run.pair, run.props)) {
    run.log("Pair %d is not in \"Failback Failed\" state", pairId);
    return CZuError();
  }
  run.log("Resetting pair %d after a previously failed failover", pairId);
  run.log("Previous progress:");
  logFailbackProgress(run.ctx, run.props);
  if ((err = run.resolveHostsInTurn(FXLOC)).IsError()) return err;

  std::string recorded = run.value(FBPROP_HIDDEN_PAIR_ID);
  if (recorded.empty() && (err = findUnrecordedHiddenPair(run, &recorded)).IsError()) return err;
  if (!recorded.empty()) {
    // A failback resumed after this reset is interrupted starts the hidden
    // pair again instead of waiting for one the Tail no longer runs.
    if (run.has(FBPROP_HIDDEN_PAIR_STARTED) &&
        (err = run.clearProp(FBPROP_HIDDEN_PAIR_STARTED)).IsError())
      return err;
    BlrDB::Pair hidden;
    if ((err = run.db.getPair(std::atoi(recorded.c_str()), &hidden)).IsError())
      return err.Push(FXLOC, "Couldn't query hidden failback pair %s", recorded.c_str());
    const int hid = hidden.id;
    if (hid != 0) {
      if (hidden.statusCode != STATUS_STOPPED) {
        run.action("Stopping hidden pair %d", hid);
        if (run.call(WorkflowRun::kTail, [hid](BlrCtrl& c) { return c.stopPair(hid); }).IsError())
          run.error("Couldn't stop hidden pair %d", hid);
      }
      run.action("Cleaning hidden pair %d", hid);
      err = run.call(WorkflowRun::kTail, [hid](BlrCtrl& c) { return c.cleanupPair(hid); });
      if (err.IsError()) return err.Push(FXLOC, "Couldn't cleanup hidden pair %d", hid);
      run.action("Deleting hidden pair %d", hid);
      if ((err = run.db.delPair(hid)).IsError())
        return err.Push(FXLOC, "Couldn't delete hidden pair %d", hid);
    }
    if ((err = run.clearProp(FBPROP_HIDDEN_PAIR_ID)).IsError()) return err;
  }
  const int id = pairId;
  if (!run.done(FBPROP_SNAP_DELETED)) {
    run.action("Deleting failover snapshot on Tail");
    err =
        run.call(WorkflowRun::kTail, [id](BlrCtrl& c) { return c.deleteFailoverSnap(id, false); });
    if (err.IsError())
      return err.Push(FXLOC, "Couldn't delete failover snapshot for pair %d on Tail", id);
    if ((err = run.clearProp(FBPROP_SNAP_DELETED)).IsError()) return err;
  }
  run.action("Stopping Recovery VM on Tail");
  err = run.call(WorkflowRun::kTail,
                 [id](BlrCtrl& c) { return c.powerOnOffTailVM(id, false, nullptr); });
  if (err.IsError()) return err.Push(FXLOC, "Couldn't power off recovery VM");
  run.action("Unblocking replication on Tail");
  err = run.call(WorkflowRun::kTail,
                 [&run](BlrCtrl& c) { return c.failoverCrossed(run.pair.dstGuid); });
  if (err.IsError())
    run.error("Couldn't unblock replication on tail: %s\n%s", err.Summary().c_str(),
              err.AsString().c_str());
  clearFailoverProps(run.db);
  clearFailbackProps(run.db);
  if ((err = run.db.clrPairFlags(id, FAILOVER)).IsError())
    return err.Push(FXLOC, "Couldn't clear FAILOVER flag for pair %d", id);
  if ((err = run.db.setPairStatus(id, STATUS_STOPPED, "", 0)).IsError())
    return err.Push(FXLOC, "Couldn't set status of pair %d to STOPPED", id);
  return CZuError();
}

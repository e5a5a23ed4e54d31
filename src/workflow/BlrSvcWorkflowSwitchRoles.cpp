// Switch roles.
#include <cstdlib>
#include <string>

#include "BLR/BlrSvcWorkflow.h"
#include "workflow/BlrSvcWorkflowRun.h"
#include "host/base/FXFormat.h"

using blrworkflow::withCode;
using blrworkflow::WorkflowRun;

namespace {

using W = BlrSvcWorkflow;

CZuError createReversePair(WorkflowRun& run, BlrDB::Pair* reverse) {
  *reverse = run.pair.reverse();
  return run.createPair(reverse, {}, W::SRPROP_REVERSE_PAIR_ID, "reverse replication pair");
}

// The reverse pair recorded by an earlier call, or a new one.  A recorded
// pair that no longer exists is made again rather than leaving the VM
// without any pair once the original is deleted.
CZuError findOrCreateReversePair(WorkflowRun& run, BlrDB::Pair* reverse) {
  run.stepCode = BLR_SR_CREATE_REVERSE_PAIR;
  std::string recorded = run.value(W::SRPROP_REVERSE_PAIR_ID);
  if (recorded.empty()) return createReversePair(run, reverse);
  CZuError err = run.db.getPair(std::atoi(recorded.c_str()), reverse);
  if (err.IsError())
    return run.fatal(FXLOC, err,
                     FXFormat("Couldn't query reverse replication pair %s", recorded.c_str()));
  if (reverse->id != 0) return CZuError();
  run.error("Reverse replication pair %s no longer exists", recorded.c_str());
  return createReversePair(run, reverse);
}

// A failed-over pair, or one whose switch of roles began (the replication
// service may since have reported the original pair stopped).
bool isSwitchRolesState(const BlrDB::Pair& pair, const W::PropMap& props) {
  return (pair.flags & W::FAILOVER) &&
         (pair.statusCode == W::STATUS_FAILED_OVER ||
          pair.statusCode == W::STATUS_SWITCHING_ROLES ||
          pair.statusCode == W::STATUS_SWITCH_ROLES_FAILED || blrworkflow::switchRolesBegun(props));
}

}  // namespace

CZuError BlrSvcWorkflow::switchRoles(int* newPairId) {
  WorkflowRun run(pairId, "BlrSvcWorkflow::switchRoles", BLR_SR_GENERIC, connections);
  FailedStatusSetter guard(run.db, pairId, STATUS_SWITCH_ROLES_FAILED, false);
  CZuError err = run.loadAfterFailover(
      FXLOC,
      {"switch roles for", "switching roles", isSwitchRolesState, blrSwitchRolesSteps(),
       STATUS_SWITCHING_ROLES, "Switching Roles"},
      &guard);
  if (err.IsError()) return err;

  const int id = pairId;
  err = run.retireOriginalPair(
      {SRPROP_SNAP_DELETED, nullptr, SRPROP_ORIG_PAIR_STOPPED, SRPROP_ORIG_PAIR_CLEANED});
  BlrDB::Pair reverse;
  if (!err.IsError()) err = findOrCreateReversePair(run, &reverse);
  if (err.IsError()) return err;
  *newPairId = reverse.id;

  run.stepCode = BLR_SR_DELETE_ORIG_PAIR;
  run.action("Deleting original pair %d", id);
  if ((err = run.db.delPair(id)).IsError())
    return withCode(FXLOC, err.Push(FXLOC, "Couldn't delete original pair %d", id),
                    BLR_SR_DELETE_ORIG_PAIR);
  guard.armed = false;
  return CZuError();
}

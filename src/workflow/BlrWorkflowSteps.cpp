#include "BLR/BlrWorkflowSteps.h"

#include <iterator>

#include "BLR/BlrSvcWorkflow.h"

namespace {

using W = BlrSvcWorkflow;

const BlrWorkflowStep kFailover[] = {
    {&W::FOPROP_STATUS_BEFORE_FAILOVER, "   Status Before Failover: %s", "Status before failover",
     true, 0, nullptr},
    {&W::FOPROP_POWER_BEFORE_FAILOVER, "   Power Before Failover: %s", "Power before failover",
     true, 0, nullptr},
    {&W::FOPROP_VM_STOPPED, "   VM Stopped: %s", "VM stopped", false, BLR_FO_STOP_VM,
     "Stopping VM on the Head"},
    {&W::FOPROP_MARKER_RECEIVED, "   PL Flushed: %s", "Pipeline flushed", false, BLR_FO_FLUSH,
     "Flushing replication pipeline"},
    {&W::FOPROP_PAIR_PAUSED, "   Pair Paused: %s", "Pair paused", false, BLR_FO_PAUSE_PAIR,
     "Suspending replication for failover"},
    {&W::FOPROP_REPLICATION_BLOCKED, "   Replication Blocked: %s", "Replication blocked", false,
     BLR_FO_BLOCK_REPLICATION, "Blocking replication on Tail due to failover"},
    {&W::FOPROP_SNAP_TAKEN, "   Snap Taken: %s", "Snapshot taken", false, BLR_FO_TAKE_SNAPSHOT,
     "Creating failover snapshot on Tail"},
};

const BlrWorkflowStep kFailback[] = {
    {&W::FBPROP_SNAP_DELETED, "   Snap Deleted: %s", "Snapshot deleted", false,
     BLR_FB_DELETE_SNAPSHOT, "Deleting failover snapshot on Tail"},
    {&W::FBPROP_ORIG_VM_STOPPED, "   Orig VM Stopped: %s", "Original VM stopped", false,
     BLR_FB_STOP_ORIG_VM, "Stopping Production VM on Head"},
    {&W::FBPROP_ORIG_PAIR_STOPPED, "   Orig Pair Stopped: %s", "Original pair stopped", false,
     BLR_FB_STOP_ORIG_PAIR, "Stopping original pair %d"},
    {&W::FBPROP_ORIG_PAIR_CLEANED, "   Orig Pair Cleaned: %s", "Original pair cleaned", false,
     BLR_FB_CLEAN_ORIG_PAIR, "Cleaning original pair %d"},
    {&W::FBPROP_HIDDEN_PAIR_ID, "   Hidden Pair ID: %s", "Hidden pair id", true,
     BLR_FB_CREATE_HIDDEN_PAIR, "Creating hidden failback pair"},
    {&W::FBPROP_HIDDEN_PAIR_STARTED, "   Hidden Pair Started: %s", "Hidden pair started", false,
     BLR_FB_START_HIDDEN_PAIR, "Starting hidden failback pair %d"},
    {&W::FBPROP_POWER_BEFORE_FAILBACK, "   Power Before Failback: %s", "Power before failback",
     true, 0, nullptr},
    {&W::FBPROP_RECOVERY_VM_STOPPED, "   Recovery VM Stopped: %s", "Recovery VM stopped", false,
     BLR_FB_STOP_RECOVERY_VM, "Stopping Recovery VM on Tail"},
    {&W::FBPROP_MARKER_RECEIVED, "   Hidden PL Flushed: %s", "Hidden pipeline flushed", false,
     BLR_FB_FLUSH, "Flushing reverse pipeline"},
    {&W::FBPROP_HIDDEN_PAIR_STOPPED, "   Hidden Pair Stopped: %s", "Hidden pair stopped", false,
     BLR_FB_STOP_HIDDEN_PAIR, "Stopping hidden pair %d"},
    {&W::FBPROP_HIDDEN_PAIR_CLEANED, "   Hidden Pair Cleaned: %s", "Hidden pair cleaned", false,
     BLR_FB_CLEAN_HIDDEN_PAIR, "Cleaning hidden pair %d"},
    {&W::FBPROP_HIDDEN_PAIR_DELETED, "   Hidden Pair Deleted: %s", "Hidden pair deleted", false,
     BLR_FB_DELETE_HIDDEN_PAIR, "Deleting hidden pair %d"},
    {&W::FBPROP_REPLICATION_UNBLOCKED, "   Replication Unblocked: %s", "Replication unblocked",
     false, BLR_FB_RESTART_PAIR, "Unblocking replication on Tail"},
    {&W::FBPROP_VM_STARTED, "   Production VM Started: %s", "Production VM started", false,
     BLR_FB_START_VM, "Starting Production VM on Head"},
};

const BlrWorkflowStep kSwitchRoles[] = {
    {&W::SRPROP_SNAP_DELETED, "   Snap Deleted: %s", "Snapshot deleted", false,
     BLR_SR_DELETE_SNAPSHOT, "Deleting failover snapshot on Tail"},
    {&W::SRPROP_ORIG_PAIR_STOPPED, "   Orig Pair Stopped: %s", "Original pair stopped", false,
     BLR_SR_STOP_ORIG_PAIR, "Stopping original pair %d"},
    {&W::SRPROP_ORIG_PAIR_CLEANED, "   Orig Pair Cleaned: %s", "Original pair cleaned", false,
     BLR_SR_CLEAN_ORIG_PAIR, "Cleaning original pair %d"},
    {&W::SRPROP_REVERSE_PAIR_ID, "   Reverse Pair ID: %s", "Reverse pair id", true,
     BLR_SR_CREATE_REVERSE_PAIR, "Creating reverse replication pair"},
};

const BlrWorkflowSteps kTables[] = {
    {kFailover, std::size(kFailover)},
    {kFailback, std::size(kFailback)},
    {kSwitchRoles, std::size(kSwitchRoles)},
};

thread_local BlrWorkflowObserver* tObserver = nullptr;

}  // namespace

const BlrWorkflowSteps& blrFailoverSteps() { return kTables[0]; }
const BlrWorkflowSteps& blrFailbackSteps() { return kTables[1]; }
const BlrWorkflowSteps& blrSwitchRolesSteps() { return kTables[2]; }

const BlrWorkflowStep* blrFindWorkflowStep(const char* property) {
  for (const BlrWorkflowSteps& table : kTables)
    for (const BlrWorkflowStep& step : table)
      if (*step.property == property) return &step;
  return nullptr;
}

BlrWorkflowObserver::BlrWorkflowObserver() : previous_(tObserver) { tObserver = this; }

BlrWorkflowObserver::~BlrWorkflowObserver() { tObserver = previous_; }

BlrWorkflowObserver* blrGetWorkflowObserver() { return tObserver; }

// The requests of the pair database on the link "BLR": the value of a
// request's "req" entry, as the client sends it and the service routes it.
#ifndef BLR_SRC_BLRDBREQUESTS_H
#define BLR_SRC_BLRDBREQUESTS_H

#include <string>

namespace blrdb_req {

// Pairs.
inline constexpr char kGetPairs[] = "get_pairs";
inline constexpr char kDelPairs[] = "del_pairs";
inline constexpr char kCreateOrUpdatePair[] = "create_or_update_pair";
inline constexpr char kCreatePairs[] = "create_pairs";
inline constexpr char kUpdateDestInfo[] = "update_dest_info";
inline constexpr char kUpdateSrcPaths[] = "update_src_paths";

// Pair state, statistics and properties.
inline constexpr char kSetPairEvent[] = "set_pair_event";
inline constexpr char kSetPairStatus[] = "set_pair_status";
inline constexpr char kSetPairPendingStatus[] = "set_pair_pending_status";
inline constexpr char kSetDiskStatus[] = "set_disk_status";
inline constexpr char kSetPairFlags[] = "set_pair_flags";
inline constexpr char kClrPairFlags[] = "clr_pair_flags";
inline constexpr char kSetPairLagTime[] = "set_pair_lag_time";
inline constexpr char kAddPairStats[] = "add_pair_stats";
inline constexpr char kSetPairProps[] = "set_pair_props";
inline constexpr char kGetPairProps[] = "get_pair_props";
inline constexpr char kSetPairProp[] = "set_pair_prop";
inline constexpr char kGetPairProp[] = "get_pair_prop";
inline constexpr char kDelPairProp[] = "del_pair_prop";

// Boot VMs.
inline constexpr char kCreateOrUpdateBootVm[] = "create_or_update_boot_vm";
inline constexpr char kGetBootVm[] = "get_boot_vm";
inline constexpr char kGetBootVmsForPair[] = "get_boot_vms_for_pair";
inline constexpr char kGetBootVmsForTail[] = "get_boot_vms_for_tail";
inline constexpr char kDelBootVm[] = "del_boot_vm";

// Recovery plans.
inline constexpr char kCreatePlan[] = "create_plan";
inline constexpr char kGetPlans[] = "get_plans";
inline constexpr char kDelPlan[] = "del_plan";
inline constexpr char kCreatePlanRun[] = "create_plan_run";
inline constexpr char kSetPlanRunPair[] = "set_plan_run_pair";
inline constexpr char kFinishPlanRun[] = "finish_plan_run";
inline constexpr char kGetPlanRuns[] = "get_plan_runs";

// The optional entry of a request that changes the database: an id the
// client draws once per request and keeps when it resends the request, so
// that the service answers a repeat from its record instead of applying it
// again.  Peers that don't know it ignore it.
inline constexpr char kRequestIdKey[] = "rid";

// The database a request changes ("Anchor", "HistoryDB"), or null for a
// request that only reads.
inline const char* changedDatabase(const std::string& name) {
  static const char* const kAnchor[] = {
      kDelPairs,         kCreateOrUpdatePair,   kCreatePairs,      kUpdateDestInfo,  kUpdateSrcPaths,
      kSetPairEvent,     kSetPairStatus,        kSetPairPendingStatus, kSetDiskStatus, kSetPairFlags,
      kClrPairFlags,     kSetPairLagTime,       kSetPairProps,     kSetPairProp,     kDelPairProp,
      kCreateOrUpdateBootVm, kDelBootVm,        kCreatePlan,       kDelPlan,         kCreatePlanRun,
      kSetPlanRunPair,   kFinishPlanRun,
  };
  for (const char* changing : kAnchor)
    if (name == changing) return "Anchor";
  return name == kAddPairStats ? "HistoryDB" : nullptr;
}

}  // namespace blrdb_req

#endif  // BLR_SRC_BLRDBREQUESTS_H

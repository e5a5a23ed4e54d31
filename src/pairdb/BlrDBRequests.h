// The requests of the pair database on the link "BLR", one row each, shared
// by the client (the name it sends, whether it draws a request id) and the
// service (the handler, the transaction, the audit record, streaming).
//
// Adding a request: a value of BlrDBReq and its row below (in the same
// order), the handler in its family's src/BlrDBSvc*.cpp, and a BlrDB
// method that sends it.  The checks at the end of this file refuse a row out
// of order, a write without its database, or a trait that makes no sense
// for a read.
#ifndef BLR_SRC_BLRDBREQUESTS_H
#define BLR_SRC_BLRDBREQUESTS_H

#include <cstddef>
#include <string>

#include "BLR/BlrDBSvc.h"
#include "records/BlrDBTags.h"

enum class BlrDBReq {
  // Pairs.
  kGetPairs,
  kDelPairs,
  kCreateOrUpdatePair,
  kCreatePairs,
  kUpdateDestInfo,
  kUpdateSrcPaths,
  // Pair state, statistics and properties.
  kSetPairEvent,
  kSetPairStatus,
  kSetPairPendingStatus,
  kSetDiskStatus,
  kSetPairFlags,
  kClrPairFlags,
  kSetPairLagTime,
  kAddPairStats,
  kSetPairProps,
  kGetPairProps,
  kSetPairProp,
  kGetPairProp,
  kDelPairProp,
  // Boot VMs.
  kCreateOrUpdateBootVm,
  kGetBootVm,
  kGetBootVmsForPair,
  kGetBootVmsForTail,
  kDelBootVm,
  // Recovery plans and their runs.
  kCreatePlan,
  kGetPlans,
  kDelPlan,
  kCreatePlanRun,
  kSetPlanRunPair,
  kFinishPlanRun,
  kGetPlanRuns,
  kClaimRun,
  kRenewRunLease,
  kStopRun,
  kResumeRun,
  kCount
};

namespace blrdb_req {

using Map = BlrDBSvc::Map;
using Handler = CZuError (*)(const Map& req, Map* resp, const KRP_Cert& cert);
// Produces the answer as pieces of "blob"; the handler of such a row
// gathers the same pieces into one answer.
using Streamer = CZuError (*)(const Map& req, DwLinkReply* reply);

// Where the pair an audited change acts on is found.
enum class PairIn {
  kNone,     // the request names none or several
  kRequest,  // the request's pair record
  kAnswer,   // the answer's pair record (its id is the server's)
};

// The database a request changes, in one transaction with the record of its
// answer.
enum class Writes { kNothing, kAnchor, kHistory };

inline const char* databaseName(Writes db) {
  return db == Writes::kAnchor ? "Anchor" : db == Writes::kHistory ? "HistoryDB" : nullptr;
}

// Tags a request's body must hold at its top level; 0 ends the list.
struct Tags {
  int tags[3];
};

struct Row {
  BlrDBReq id;
  const char* name;
  Handler handler;
  Writes writes;
  // The change leaves an event naming who sent it.  Status changes leave
  // their own event; statistics and lag times would drown the trail.
  bool audited;
  PairIn pairIn;
  // The answer may go in pieces; null when it always goes whole.
  Streamer stream;
  // A resent request id is answered from the record of the first answer.
  bool replays;
  // Fields without which the request means nothing (or, for a filter of
  // deletions, everything): a body without one is refused.
  Tags required;

  constexpr bool needs(int tag) const {
    for (int t : required.tags)
      if (t != 0 && t == tag) return true;
    return false;
  }
  constexpr Row needing(int a, int b = 0, int c = 0) const {
    Row r = *this;
    r.required = Tags{{a, b, c}};
    return r;
  }
};

// Row builders, so that each row reads as what it is.
constexpr Row readRow(BlrDBReq id, const char* name, Handler handler, Streamer stream = nullptr) {
  return Row{id, name, handler, Writes::kNothing, false, PairIn::kNone, stream, false, {}};
}
constexpr Row writeRow(BlrDBReq id, const char* name, Handler handler, Writes db = Writes::kAnchor) {
  return Row{id, name, handler, db, false, PairIn::kNone, nullptr, true, {}};
}
constexpr Row auditedRow(BlrDBReq id, const char* name, Handler handler,
                      PairIn pairIn = PairIn::kNone) {
  return Row{id, name, handler, Writes::kAnchor, true, pairIn, nullptr, true, {}};
}

using S = BlrDBSvc;
using R = BlrDBReq;

inline constexpr Row kRows[] = {
    readRow(R::kGetPairs, "get_pairs", &S::getPairsHnd, &S::getPairsPiecesHnd),
    auditedRow(R::kDelPairs, "del_pairs", &S::delPairsHnd).needing(BLRDB_TAG_PAIR),
    auditedRow(R::kCreateOrUpdatePair, "create_or_update_pair", &S::createOrUpdatePairHnd, PairIn::kAnswer),
    writeRow(R::kCreatePairs, "create_pairs", &S::createPairsHnd),
    auditedRow(R::kUpdateDestInfo, "update_dest_info", &S::updateDestInfoHnd, PairIn::kRequest),
    auditedRow(R::kUpdateSrcPaths, "update_src_paths", &S::updateSrcPathsHnd, PairIn::kRequest).needing(BLRDB_TAG_DISK),
    auditedRow(R::kSetPairEvent, "set_pair_event", &S::setPairEventHnd, PairIn::kRequest).needing(BLRDB_TAG_EVENT_ID),
    writeRow(R::kSetPairStatus, "set_pair_status", &S::setPairStatusHnd).needing(BLRDB_TAG_ID, BLRDB_TAG_STATUS_CODE),
    auditedRow(R::kSetPairPendingStatus, "set_pair_pending_status", &S::setPairPendingStatusHnd).needing(BLRDB_TAG_ID, BLRDB_TAG_PENDING_STATUS_CODE),
    auditedRow(R::kSetDiskStatus, "set_disk_status", &S::setDiskStatusHnd).needing(BLRDB_TAG_ID, BLRDB_TAG_STATUS_CODE),
    auditedRow(R::kSetPairFlags, "set_pair_flags", &S::setPairFlagsHnd).needing(BLRDB_TAG_PAIR_ID, BLRDB_TAG_FLAGS),
    auditedRow(R::kClrPairFlags, "clr_pair_flags", &S::clrPairFlagsHnd).needing(BLRDB_TAG_PAIR_ID, BLRDB_TAG_FLAGS),
    writeRow(R::kSetPairLagTime, "set_pair_lag_time", &S::setPairLagTimeHnd).needing(BLRDB_TAG_PAIR_ID, BLRDB_TAG_LAG_TIME),
    writeRow(R::kAddPairStats, "add_pair_stats", &S::addPairStatsHnd, Writes::kHistory).needing(BLRDB_TAG_PAIR_ID),
    auditedRow(R::kSetPairProps, "set_pair_props", &S::setPairPropsHnd).needing(BLRDB_TAG_PAIR_ID, BLRDB_TAG_PROP_MAP),
    readRow(R::kGetPairProps, "get_pair_props", &S::getPairPropsHnd).needing(BLRDB_TAG_PAIR_ID),
    auditedRow(R::kSetPairProp, "set_pair_prop", &S::setPairPropHnd).needing(BLRDB_TAG_PAIR_ID, BLRDB_TAG_PROP_NAME),
    readRow(R::kGetPairProp, "get_pair_prop", &S::getPairPropHnd).needing(BLRDB_TAG_PAIR_ID, BLRDB_TAG_PROP_NAME),
    auditedRow(R::kDelPairProp, "del_pair_prop", &S::delPairPropHnd).needing(BLRDB_TAG_PAIR_ID, BLRDB_TAG_PROP_NAME),
    auditedRow(R::kCreateOrUpdateBootVm, "create_or_update_boot_vm", &S::createOrUpdateBootVMHnd),
    readRow(R::kGetBootVm, "get_boot_vm", &S::getBootVMHnd).needing(BLRDB_TAG_BOOT_VM_ID),
    readRow(R::kGetBootVmsForPair, "get_boot_vms_for_pair", &S::getBootVMsForPairHnd, &S::getBootVMsPiecesHnd).needing(BLRDB_TAG_PAIR_ID),
    readRow(R::kGetBootVmsForTail, "get_boot_vms_for_tail", &S::getBootVMsForTailHnd, &S::getBootVMsPiecesHnd).needing(BLRDB_TAG_TAIL_CLIENT_ID),
    auditedRow(R::kDelBootVm, "del_boot_vm", &S::delBootVMHnd).needing(BLRDB_TAG_BOOT_VM_ID),
    writeRow(R::kCreatePlan, "create_plan", &S::createPlanHnd).needing(BLRDB_TAG_NAME),
    readRow(R::kGetPlans, "get_plans", &S::getPlansHnd),
    writeRow(R::kDelPlan, "del_plan", &S::delPlanHnd).needing(BLRDB_TAG_NAME),
    writeRow(R::kCreatePlanRun, "create_plan_run", &S::createPlanRunHnd).needing(BLRDB_TAG_NAME),
    writeRow(R::kSetPlanRunPair, "set_plan_run_pair", &S::setPlanRunPairHnd).needing(BLRDB_TAG_ID, BLRDB_TAG_PLAN_RUN_PAIR),
    writeRow(R::kFinishPlanRun, "finish_plan_run", &S::finishPlanRunHnd).needing(BLRDB_TAG_ID, BLRDB_TAG_STATE),
    readRow(R::kGetPlanRuns, "get_plan_runs", &S::getPlanRunsHnd),
    writeRow(R::kClaimRun, "claim_run", &S::claimRunHnd).needing(BLRDB_TAG_RUNNER, BLRDB_TAG_LEASE_SECS),
    writeRow(R::kRenewRunLease, "renew_run_lease", &S::renewRunLeaseHnd).needing(BLRDB_TAG_ID, BLRDB_TAG_RUNNER, BLRDB_TAG_LEASE_SECS),
    auditedRow(R::kStopRun, "stop_run", &S::stopRunHnd).needing(BLRDB_TAG_ID),
    auditedRow(R::kResumeRun, "resume_run", &S::resumeRunHnd).needing(BLRDB_TAG_ID),
};
inline constexpr size_t kRowCount = sizeof kRows / sizeof kRows[0];

constexpr const Row& row(BlrDBReq id) { return kRows[static_cast<size_t>(id)]; }
constexpr const char* name(BlrDBReq id) { return row(id).name; }

// The row of the request named `name`, or null.
inline const Row* find(const std::string& name) {
  for (const Row& r : kRows)
    if (name == r.name) return &r;
  return nullptr;
}

constexpr bool sameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

// Every row at its id, with a unique name; a write replays; a read is
// neither audited nor replayed.  Only writeRow and auditedRow make writes,
// and neither takes a streamer.  (No address is compared here: a build with
// sanitizers or interposable symbols can't do that at compile time.)
constexpr bool rowsAreSound() {
  if (kRowCount != static_cast<size_t>(BlrDBReq::kCount)) return false;
  for (size_t i = 0; i < kRowCount; ++i) {
    const Row& r = kRows[i];
    if (static_cast<size_t>(r.id) != i) return false;
    const bool isWrite = r.writes != Writes::kNothing;
    if (isWrite != r.replays || (!isWrite && r.audited)) return false;
    if (r.pairIn != PairIn::kNone && !r.audited) return false;
    for (size_t j = 0; j < i; ++j)
      if (sameText(kRows[j].name, r.name)) return false;
  }
  return true;
}
static_assert(rowsAreSound(), "a row of kRows is out of order, incomplete or inconsistent");

// The optional entry of a request that changes the database: an id the
// client draws once per request and keeps when it resends the request, so
// that the service answers a repeat from its record instead of applying it
// again.  Peers that don't know it ignore it.
inline constexpr char kRequestIdKey[] = "rid";

}  // namespace blrdb_req

#endif  // BLR_SRC_BLRDBREQUESTS_H

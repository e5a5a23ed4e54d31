// The recovery workflows of one replication pair: failover, cancel failover,
// failback, reset after failback and switch roles.
//
// Each workflow is a fixed sequence of steps.  Every step records its outcome
// as a progress property of the pair in the pair database ("1" done, "0"
// attempted and failed, absent not run), so that calling a workflow again
// resumes after the last completed step, and so that cancel failover and
// reset after failback undo exactly what was done.  Errors of failover,
// failback and switch roles carry a code naming the failing step
// (FXErrorUtil::GetInt).
//
// Steps are logged at level 1 of the BLR subsystem under the workflow's
// function name ("BlrSvcWorkflow::failover", ...), tagged with the pair, and
// reported to the thread's BlrWorkflowObserver; their codes and progress
// properties are tabled in BLR/BlrWorkflowSteps.h.
#ifndef BLR_BLRSVCWORKFLOW_H
#define BLR_BLRSVCWORKFLOW_H

#include <map>
#include <memory>
#include <string>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrDB.h"
#include "BLR/BlrExport.h"
#include "BLR/BlrPairCodes.h"
#include "BLR/BlrWorkflowSteps.h"
#include "host/base/CZuError.h"

// The pair codes (STATUS_*, FAILOVER, HIDDEN, REVERSE,
// EVENT_PRODUCTION_VM_MISSING) are reachable as BlrSvcWorkflow::NAME.
class BLR_API BlrSvcWorkflow : public BlrPairCodes {
 public:
  using PropMap = std::map<std::string, std::string>;

  // ---- Progress property names, in log and clearing order ----
  // Failover.
  static const char* const FOPROP_STATUS_BEFORE_FAILOVER;
  static const char* const FOPROP_POWER_BEFORE_FAILOVER;
  static const char* const FOPROP_VM_STOPPED;
  static const char* const FOPROP_MARKER_RECEIVED;
  static const char* const FOPROP_PAIR_PAUSED;
  static const char* const FOPROP_REPLICATION_BLOCKED;
  static const char* const FOPROP_SNAP_TAKEN;
  // Failback.
  static const char* const FBPROP_SNAP_DELETED;
  static const char* const FBPROP_ORIG_VM_STOPPED;
  static const char* const FBPROP_ORIG_PAIR_STOPPED;
  static const char* const FBPROP_ORIG_PAIR_CLEANED;
  static const char* const FBPROP_HIDDEN_PAIR_ID;
  static const char* const FBPROP_HIDDEN_PAIR_STARTED;
  static const char* const FBPROP_POWER_BEFORE_FAILBACK;
  static const char* const FBPROP_RECOVERY_VM_STOPPED;
  static const char* const FBPROP_MARKER_RECEIVED;
  static const char* const FBPROP_HIDDEN_PAIR_STOPPED;
  static const char* const FBPROP_HIDDEN_PAIR_CLEANED;
  static const char* const FBPROP_HIDDEN_PAIR_DELETED;
  static const char* const FBPROP_REPLICATION_UNBLOCKED;
  static const char* const FBPROP_VM_STARTED;
  // Switch roles.
  static const char* const SRPROP_SNAP_DELETED;
  static const char* const SRPROP_ORIG_PAIR_STOPPED;
  static const char* const SRPROP_ORIG_PAIR_CLEANED;
  static const char* const SRPROP_REVERSE_PAIR_ID;

  // With `connections`, the runs borrow their control connections from it
  // and leave them there when they end.
  explicit BlrSvcWorkflow(int pairId, BlrCtrlCache* connections = nullptr)
      : pairId(pairId), connections(connections) {}

  // ---- Workflows ----
  // Hands production over to the recovery VM: powers the production VM off,
  // optionally drains the pipeline to the Tail (`toLatestState`), suspends
  // replication, blocks it on the Tail and takes the failover snapshot.  With
  // `continueOnError`, failed proxy steps are logged and skipped, and
  // `partial` (may be null; written on success only) tells whether any was.
  // Codes: 200 stopped pair, 201 database or lookup, 202-206 the steps.
  CZuError failover(bool continueOnError, bool toLatestState, bool* partial);
  // Undoes the steps a failover recorded and restarts the pair.  Succeeds
  // without doing anything for a pair without FAILOVER.
  CZuError cancelFailover(bool keepVmOff);
  // Copies the recovery VM's changes back through a hidden reverse pair,
  // removes it and restarts the original pair.  Without `waitForSync`, a
  // hidden pair still synchronising ends the call with code 201 (status
  // stays 17; call again later).  Other errors leave the pair in 18.
  // Codes: 200 state, 202 database or lookup, 203-217 the steps.
  CZuError failback(bool waitForSync);
  // Cleans up after a failed failback (status 18): removes the hidden pair
  // and the failover state and leaves the pair stopped.  Does nothing for a
  // pair in any other status.
  CZuError resetAfterFailback();
  // Replaces a failed-over pair by a reverse pair protecting the recovery
  // VM; `newPairId` (not null) receives its id once it exists.  The reverse
  // pair is not started.  Codes: 200 state, 201 database or lookup, 202-206
  // the steps.
  CZuError switchRoles(int* newPairId);

  // ---- Supporting operations ----
  // One log line per property of the group, at level 1 under `ctx`.
  static void logFailoverProgress(const char* ctx, const PropMap& props);
  static void logFailbackProgress(const char* ctx, const PropMap& props);
  static void logSwitchRolesProgress(const char* ctx, const PropMap& props);
  // Delete the group's properties in order; stop at the first failure.
  CZuError clearFailoverProps(BlrDB& db);
  CZuError clearFailbackProps(BlrDB& db);
  CZuError clearSwitchRolesProps(BlrDB& db);
  // Opens `conn` to `host` (a mangled host name) unless it already holds a
  // connection object.  The object is kept even when connecting fails, so a
  // run never retries: later operations on it fail with "Not connected".
  static CZuError connectToSvc(std::unique_ptr<BlrCtrl>& conn, const std::string& host);
  // The connection for the next control request to `host`: the one `conn`
  // holds unless the proxy closed it since its last request (it closes idle
  // ones beyond its limits), else one kept in `connections` (may be null),
  // else a new one as connectToSvc opens it.
  static CZuError connectForStep(std::unique_ptr<BlrCtrl>& conn, const std::string& host,
                                 BlrCtrlCache* connections);
  // "DONE" for "1", "N/A" when absent, else "FAILED".
  static const char* progStatus(const PropMap& props, const char* name);
  // The value, or "N/A" when absent.
  static std::string progValue(const PropMap& props, const char* name);

  // Puts a pair into a failed status when a workflow ends early: on
  // destruction, if armed, sets `status` (empty message, event 0) and
  // ignores the outcome.
  class BLR_API FailedStatusSetter {
   public:
    FailedStatusSetter(BlrDB& db, int pairId, int status, bool armed)
        : pairId(pairId), status(status), armed(armed), db(db) {}
    ~FailedStatusSetter();
    FailedStatusSetter(const FailedStatusSetter&) = delete;
    FailedStatusSetter& operator=(const FailedStatusSetter&) = delete;

    int pairId;
    int status;
    bool armed;
    BlrDB& db;
  };

  int pairId;
  BlrCtrlCache* connections;  // may be null; not owned
};

#endif  // BLR_BLRSVCWORKFLOW_H

#include "BLR/BlrSvcWorkflow.h"

#include <cstdarg>

#include "BlrSvcWorkflowRun.h"
#include "host/DWClient.h"
#include "host/DwClock.h"
#include "host/FXFormat.h"

const char* const BlrSvcWorkflow::FOPROP_STATUS_BEFORE_FAILOVER = "statusBeforeFailover";
const char* const BlrSvcWorkflow::FOPROP_POWER_BEFORE_FAILOVER = "powerBeforeFailover";
const char* const BlrSvcWorkflow::FOPROP_VM_STOPPED = "failoverVmStopped";
const char* const BlrSvcWorkflow::FOPROP_MARKER_RECEIVED = "failoverMarkerReceived";
const char* const BlrSvcWorkflow::FOPROP_PAIR_PAUSED = "failoverPairPaused";
const char* const BlrSvcWorkflow::FOPROP_REPLICATION_BLOCKED = "failoverReplicationBlocked";
const char* const BlrSvcWorkflow::FOPROP_SNAP_TAKEN = "failoverSnapTaken";
const char* const BlrSvcWorkflow::FBPROP_SNAP_DELETED = "failbackSnapDeleted";
const char* const BlrSvcWorkflow::FBPROP_ORIG_VM_STOPPED = "failbackOrigVmStopped";
const char* const BlrSvcWorkflow::FBPROP_ORIG_PAIR_STOPPED = "failbackOrigPairStopped";
const char* const BlrSvcWorkflow::FBPROP_ORIG_PAIR_CLEANED = "failbackOrigPairCleaned";
const char* const BlrSvcWorkflow::FBPROP_HIDDEN_PAIR_ID = "failbackHiddenPairId";
const char* const BlrSvcWorkflow::FBPROP_HIDDEN_PAIR_STARTED = "failbackHiddenPairStarted";
const char* const BlrSvcWorkflow::FBPROP_POWER_BEFORE_FAILBACK = "powerBeforeFailback";
const char* const BlrSvcWorkflow::FBPROP_RECOVERY_VM_STOPPED = "failbackRecoveryVmStopped";
const char* const BlrSvcWorkflow::FBPROP_MARKER_RECEIVED = "failbackMarkerReceived";
const char* const BlrSvcWorkflow::FBPROP_HIDDEN_PAIR_STOPPED = "failbackHiddenPairStopped";
const char* const BlrSvcWorkflow::FBPROP_HIDDEN_PAIR_CLEANED = "failbackHiddenPairCleaned";
const char* const BlrSvcWorkflow::FBPROP_HIDDEN_PAIR_DELETED = "failbackHiddenPairDeleted";
const char* const BlrSvcWorkflow::FBPROP_REPLICATION_UNBLOCKED = "failbackReplicationUnblocked";
const char* const BlrSvcWorkflow::FBPROP_VM_STARTED = "failbackVmStarted";
const char* const BlrSvcWorkflow::SRPROP_SNAP_DELETED = "switchRolesSnapDeleted";
const char* const BlrSvcWorkflow::SRPROP_ORIG_PAIR_STOPPED = "switchRolesOrigPairStopped";
const char* const BlrSvcWorkflow::SRPROP_ORIG_PAIR_CLEANED = "switchRolesOrigPairCleaned";
const char* const BlrSvcWorkflow::SRPROP_REVERSE_PAIR_ID = "switchRolesReversePairId";

namespace {

using W = BlrSvcWorkflow;

// One row of a progress log: the property, its label, and whether the
// label shows the stored value (else DONE/FAILED/N/A).
struct ProgressRow {
  const char* const* name;
  const char* label;
  bool showsValue;
};

const ProgressRow kFailoverRows[] = {
    {&W::FOPROP_STATUS_BEFORE_FAILOVER, "   Status Before Failover: %s", true},
    {&W::FOPROP_POWER_BEFORE_FAILOVER, "   Power Before Failover: %s", true},
    {&W::FOPROP_VM_STOPPED, "   VM Stopped: %s", false},
    {&W::FOPROP_MARKER_RECEIVED, "   PL Flushed: %s", false},
    {&W::FOPROP_PAIR_PAUSED, "   Pair Paused: %s", false},
    {&W::FOPROP_REPLICATION_BLOCKED, "   Replication Blocked: %s", false},
    {&W::FOPROP_SNAP_TAKEN, "   Snap Taken: %s", false},
};

const ProgressRow kFailbackRows[] = {
    {&W::FBPROP_SNAP_DELETED, "   Snap Deleted: %s", false},
    {&W::FBPROP_ORIG_VM_STOPPED, "   Orig VM Stopped: %s", false},
    {&W::FBPROP_ORIG_PAIR_STOPPED, "   Orig Pair Stopped: %s", false},
    {&W::FBPROP_ORIG_PAIR_CLEANED, "   Orig Pair Cleaned: %s", false},
    {&W::FBPROP_HIDDEN_PAIR_ID, "   Hidden Pair ID: %s", true},
    {&W::FBPROP_HIDDEN_PAIR_STARTED, "   Hidden Pair Started: %s", false},
    {&W::FBPROP_POWER_BEFORE_FAILBACK, "   Power Before Failback: %s", true},
    {&W::FBPROP_RECOVERY_VM_STOPPED, "   Recovery VM Stopped: %s", false},
    {&W::FBPROP_MARKER_RECEIVED, "   Hidden PL Flushed: %s", false},
    {&W::FBPROP_HIDDEN_PAIR_STOPPED, "   Hidden Pair Stopped: %s", false},
    {&W::FBPROP_HIDDEN_PAIR_CLEANED, "   Hidden Pair Cleaned: %s", false},
    {&W::FBPROP_HIDDEN_PAIR_DELETED, "   Hidden Pair Deleted: %s", false},
    {&W::FBPROP_REPLICATION_UNBLOCKED, "   Replication Unblocked: %s", false},
    {&W::FBPROP_VM_STARTED, "   Production VM Started: %s", false},
};

const ProgressRow kSwitchRolesRows[] = {
    {&W::SRPROP_SNAP_DELETED, "   Snap Deleted: %s", false},
    {&W::SRPROP_ORIG_PAIR_STOPPED, "   Orig Pair Stopped: %s", false},
    {&W::SRPROP_ORIG_PAIR_CLEANED, "   Orig Pair Cleaned: %s", false},
    {&W::SRPROP_REVERSE_PAIR_ID, "   Reverse Pair ID: %s", true},
};

template <size_t N>
void logProgress(const ProgressRow (&rows)[N], const char* ctx, const W::PropMap& props) {
  for (const ProgressRow& row : rows) {
    std::string text = row.showsValue ? W::progValue(props, *row.name)
                                      : std::string(W::progStatus(props, *row.name));
    blrDebug(ctx, 1, row.label, text.c_str());
  }
}

template <size_t N>
bool anyProp(const ProgressRow (&rows)[N], const W::PropMap& props) {
  for (const ProgressRow& row : rows)
    if (props.count(*row.name)) return true;
  return false;
}

template <size_t N>
CZuError clearProps(const ProgressRow (&rows)[N], BlrDB& db, int pairId) {
  for (const ProgressRow& row : rows) {
    CZuError err = db.delPairProp(pairId, *row.name);
    if (err.IsError()) return err.Push(FXLOC, "Couldn't clear pair property %s", *row.name);
  }
  return CZuError();
}

}  // namespace

// ---- Supporting operations ----

void BlrSvcWorkflow::logFailoverProgress(const char* ctx, const PropMap& props) {
  logProgress(kFailoverRows, ctx, props);
}

void BlrSvcWorkflow::logFailbackProgress(const char* ctx, const PropMap& props) {
  logProgress(kFailbackRows, ctx, props);
}

void BlrSvcWorkflow::logSwitchRolesProgress(const char* ctx, const PropMap& props) {
  logProgress(kSwitchRolesRows, ctx, props);
}

CZuError BlrSvcWorkflow::clearFailoverProps(BlrDB& db) {
  return clearProps(kFailoverRows, db, pairId);
}

CZuError BlrSvcWorkflow::clearFailbackProps(BlrDB& db) {
  return clearProps(kFailbackRows, db, pairId);
}

CZuError BlrSvcWorkflow::clearSwitchRolesProps(BlrDB& db) {
  return clearProps(kSwitchRolesRows, db, pairId);
}

CZuError BlrSvcWorkflow::connectToSvc(std::unique_ptr<BlrCtrl>& conn, const std::string& host) {
  if (conn) return CZuError();
  conn = std::make_unique<BlrCtrl>();
  CZuError err = conn->connect(host);
  if (err.IsError()) err.Push(FXLOC, "Couldn't open control connection to %s", host.c_str());
  return err;
}

const char* BlrSvcWorkflow::progStatus(const PropMap& props, const char* name) {
  auto it = props.find(name);
  if (it == props.end()) return "N/A";
  return it->second == "1" ? "DONE" : "FAILED";
}

std::string BlrSvcWorkflow::progValue(const PropMap& props, const char* name) {
  auto it = props.find(name);
  return it == props.end() ? "N/A" : it->second;
}

BlrSvcWorkflow::FailedStatusSetter::~FailedStatusSetter() {
  if (armed) db.setPairStatus(pairId, status, "", 0);
}

// ---- The run ----

namespace blrworkflow {

namespace {

constexpr time_t kFlushTimeoutSecs = 300;
constexpr int kFlushPollMs = 5000;

}  // namespace

CZuError withCode(const FXCodeLocation& loc, const CZuError& err, int code) {
  if (FXErrorUtil::GetInt(err) == code) return err;
  return FXErrorUtil::ErrorInt(loc, code, "%s", err.AsString().c_str());
}

bool failoverBegun(const BlrSvcWorkflow::PropMap& props) { return anyProp(kFailoverRows, props); }

bool failbackBegun(const BlrSvcWorkflow::PropMap& props) { return anyProp(kFailbackRows, props); }

bool switchRolesBegun(const BlrSvcWorkflow::PropMap& props) {
  return anyProp(kSwitchRolesRows, props);
}

CZuError WorkflowRun::load(const FXCodeLocation& loc) {
  CZuError err = db.getPair(pairId, &pair);
  if (!err.IsError()) err = db.getPairProps(pairId, &props);
  // A missing pair reads as a cleared record, whose flags have every bit set.
  if (!err.IsError() && pair.id == 0)
    err = FXErrorUtil::ErrorInt(loc, 1, "Pair %d doesn't exist", pairId);
  if (err.IsError())
    return fatal(loc, err, FXFormat("Couldn't look up details of pair %d", pairId));
  debugCtx_ = std::make_unique<BlrDebugCtx>(pair.srcName, pairId);
  return CZuError();
}

namespace {

// The proxy's mangled host name, or the lookup's failure logged.
bool lookUpHost(const char* ctx, int clientId, std::string* host) {
  DWClient client(clientId);
  if (client.getNetworkHostnameMangled(*host, nullptr) == 0) return true;
  blrError(ctx, "%s", client.lastError().Summary().c_str());
  return false;
}

}  // namespace

CZuError WorkflowRun::resolveHosts(const FXCodeLocation& loc) {
  CZuError err;
  if (!lookUpHost(ctx, pair.headClientId, &headHost))
    err = FXErrorUtil::ErrorInt(loc, genericCode,
                                "Couldn't lookup head proxy mangled name (client ID %d)",
                                pair.headClientId);
  if (!lookUpHost(ctx, pair.tailClientId, &tailHost))
    err = FXErrorUtil::ErrorInt(loc, genericCode,
                                "Couldn't lookup tail proxy mangled name (client ID %d)",
                                pair.tailClientId);
  return err;
}

CZuError WorkflowRun::resolveHostsInTurn(const FXCodeLocation& loc) {
  if (!lookUpHost(ctx, pair.headClientId, &headHost))
    return FXErrorUtil::ErrorInt(loc, 1, "Couldn't lookup head proxy mangled name");
  if (!lookUpHost(ctx, pair.tailClientId, &tailHost))
    return FXErrorUtil::ErrorInt(loc, 1, "Couldn't lookup tail proxy mangled name");
  return CZuError();
}

std::string WorkflowRun::value(const char* prop) const {
  auto it = props.find(prop);
  return it == props.end() ? std::string() : it->second;
}

void WorkflowRun::log(const char* fmt, ...) const {
  va_list args;
  va_start(args, fmt);
  std::string text = FXFormatV(fmt, args);
  va_end(args);
  blrDebug(ctx, 1, "%s", text.c_str());
}

void WorkflowRun::begin(int code, const std::string& title) {
  stepCode = code;
  log("%s", title.c_str());
}

CZuError WorkflowRun::call(Proxy proxy, const CtrlAction& action) {
  std::unique_ptr<BlrCtrl>& conn = proxy == kHead ? head_ : tail_;
  CZuError err = BlrSvcWorkflow::connectToSvc(conn, proxy == kHead ? headHost : tailHost);
  return err.IsError() ? err : action(*conn);
}

WorkflowRun::Action WorkflowRun::on(Proxy proxy, CtrlAction action) {
  return [this, proxy, action = std::move(action)] { return call(proxy, action); };
}

CZuError WorkflowRun::setProp(const char* prop, const std::string& value, int code) {
  CZuError err = db.setPairProp(pairId, prop, value);
  if (err.IsError()) {
    err.Push(FXLOC, "Couldn't set property %s of pair %d", prop, pairId);
    if (code == 0) code = genericCode;
    return code != 0 ? withCode(FXLOC, err, code) : err;
  }
  props[prop] = value;
  return CZuError();
}

CZuError WorkflowRun::clearProp(const char* prop) {
  CZuError err = db.delPairProp(pairId, prop);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't clear property %s of pair %d", prop, pairId);
  props.erase(prop);
  return CZuError();
}

CZuError WorkflowRun::powerOffNoting(Proxy proxy, const char* powerProp, CZuError* outcome) {
  const std::string before = value(powerProp);
  CZuError err;
  if (before != "1" && (err = setProp(powerProp, "1")).IsError()) return err;
  bool sent = false, wasOn = false;
  const int id = pairId;
  *outcome = call(proxy, [&](BlrCtrl& c) {
    sent = true;
    return c.powerOnOffVM(id, proxy == kTail, false, &wasOn);
  });
  bool on = true;
  if (!outcome->IsError())
    on = wasOn || before == "1";
  else if (!sent)
    on = before == "1";
  return on ? CZuError() : setProp(powerProp, "0");
}

CZuError WorkflowRun::step(const char* prop, int code, const std::string& title,
                           const Action& action, const std::string& failure) {
  if (done(prop)) return CZuError();
  begin(code, title);
  return finish(prop, action(), failure);
}

CZuError WorkflowRun::finish(const char* prop, CZuError outcome, const std::string& failure) {
  CZuError err = setProp(prop, outcome.IsError() ? "0" : "1");
  if (err.IsError()) return err;
  if (!outcome.IsError()) return CZuError();
  return failed(FXLOC, outcome.Push(FXLOC, "%s", failure.c_str()));
}

CZuError WorkflowRun::failed(const FXCodeLocation& loc, const CZuError& err) {
  if (!continueOnError) return withCode(loc, err, stepCode);
  blrError(ctx, "%s", err.AsString().c_str());
  partial = true;
  return CZuError();
}

CZuError WorkflowRun::fatal(const FXCodeLocation& loc, CZuError err, const std::string& message) {
  err.Push(loc, "%s", message.c_str());
  return genericCode != 0 ? withCode(loc, err, genericCode) : err;
}

CZuError WorkflowRun::awaitMarker(Proxy proxy, const BlrUUID& vm, uint64_t marker,
                                  const FlushTexts& texts, bool* arrived) {
  DwClock* clock = DwClock::current();
  time_t start = clock->now();
  uint64_t lastSeq = 0;
  for (;;) {
    uint64_t seq = 0;
    CZuError err = call(proxy, [&](BlrCtrl& c) { return c.getLastSeqNum(vm, &seq); });
    if (!err.IsError())
      lastSeq = seq;
    else if ((err = failed(FXLOC, err.Push(FXLOC, "%s", texts.queryFailure.c_str()))).IsError())
      return err;
    log(texts.polled, static_cast<long long>(lastSeq));
    if (lastSeq >= marker) {
      *arrived = true;
      return CZuError();
    }
    if (clock->now() - start > kFlushTimeoutSecs)
      return failed(FXLOC, FXErrorUtil::ErrorInt(FXLOC, stepCode, "%s", texts.timedOut));
    ZUSLEEP(kFlushPollMs);
  }
}

CZuError WorkflowRun::createPair(BlrDB::Pair* pair, const BlrSvcWorkflow::PropMap& extraProps,
                                 const char* recordProp, const char* what) {
  log("Creating %s", what);
  CZuError err = db.createOrUpdatePair(*pair);
  if (err.IsError()) return withCode(FXLOC, err.Push(FXLOC, "Couldn't create %s", what), stepCode);
  BlrDB::PairProps settings;
  settings.recoveryMode = 1;
  err = db.setPairProps(pair->id, settings);
  for (auto it = extraProps.begin(); it != extraProps.end() && !err.IsError(); ++it)
    err = db.setPairProp(pair->id, it->first, it->second);
  if (err.IsError()) {
    db.delPair(pair->id);
    return withCode(FXLOC, err.Push(FXLOC, "Couldn't configure %s", what), stepCode);
  }
  err = setProp(recordProp, std::to_string(pair->id), stepCode);
  if (err.IsError()) db.delPair(pair->id);
  return err;
}

}  // namespace blrworkflow

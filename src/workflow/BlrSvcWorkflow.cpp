#include "BLR/BlrSvcWorkflow.h"

#include <cstdarg>

#include "BLR/BlrWorkflowSteps.h"
#include "workflow/BlrSvcWorkflowRun.h"
#include "host/clients/DWClient.h"
#include "host/base/DwClock.h"
#include "host/base/FXFormat.h"

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

void logProgress(const BlrWorkflowSteps& rows, const char* ctx, const W::PropMap& props) {
  for (const BlrWorkflowStep& row : rows) {
    std::string text = row.showsValue ? W::progValue(props, *row.property)
                                      : std::string(W::progStatus(props, *row.property));
    blrDebug(ctx, 1, row.logLabel, text.c_str());
  }
}

bool anyProp(const BlrWorkflowSteps& rows, const W::PropMap& props) {
  for (const BlrWorkflowStep& row : rows)
    if (props.count(*row.property)) return true;
  return false;
}

CZuError clearProps(const BlrWorkflowSteps& rows, BlrDB& db, int pairId) {
  for (const BlrWorkflowStep& row : rows) {
    CZuError err = db.delPairProp(pairId, *row.property);
    if (err.IsError()) return err.Push(FXLOC, "Couldn't clear pair property %s", *row.property);
  }
  return CZuError();
}

}  // namespace

// ---- Supporting operations ----

void BlrSvcWorkflow::logFailoverProgress(const char* ctx, const PropMap& props) {
  logProgress(blrFailoverSteps(), ctx, props);
}

void BlrSvcWorkflow::logFailbackProgress(const char* ctx, const PropMap& props) {
  logProgress(blrFailbackSteps(), ctx, props);
}

void BlrSvcWorkflow::logSwitchRolesProgress(const char* ctx, const PropMap& props) {
  logProgress(blrSwitchRolesSteps(), ctx, props);
}

CZuError BlrSvcWorkflow::clearFailoverProps(BlrDB& db) {
  return clearProps(blrFailoverSteps(), db, pairId);
}

CZuError BlrSvcWorkflow::clearFailbackProps(BlrDB& db) {
  return clearProps(blrFailbackSteps(), db, pairId);
}

CZuError BlrSvcWorkflow::clearSwitchRolesProps(BlrDB& db) {
  return clearProps(blrSwitchRolesSteps(), db, pairId);
}

CZuError BlrSvcWorkflow::connectToSvc(std::unique_ptr<BlrCtrl>& conn, const std::string& host) {
  if (conn) return CZuError();
  conn = std::make_unique<BlrCtrl>();
  CZuError err = conn->connect(host);
  if (err.IsError()) err.Push(FXLOC, "Couldn't open control connection to %s", host.c_str());
  return err;
}

CZuError BlrSvcWorkflow::connectForStep(std::unique_ptr<BlrCtrl>& conn, const std::string& host,
                                        BlrCtrlCache* connections) {
  if (conn && conn->stale()) conn.reset();
  if (!conn && connections != nullptr) conn = connections->take(host);
  return connectToSvc(conn, host);
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
  // The messages only: a re-coded error is shown to operators as it is.
  return FXErrorUtil::ErrorInt(loc, code, "%s", err.Summary().c_str());
}

bool failoverBegun(const BlrSvcWorkflow::PropMap& props) {
  return anyProp(blrFailoverSteps(), props);
}

bool failbackBegun(const BlrSvcWorkflow::PropMap& props) {
  return anyProp(blrFailbackSteps(), props);
}

bool switchRolesBegun(const BlrSvcWorkflow::PropMap& props) {
  return anyProp(blrSwitchRolesSteps(), props);
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

CZuError WorkflowRun::loadAfterFailover(const FXCodeLocation& loc, const AfterFailover& wf,
                                        BlrSvcWorkflow::FailedStatusSetter* guard) {
  CZuError err = load(loc);
  if (err.IsError()) return err;
  const int status = pair.statusCode;
  if (!wf.startsFrom(pair, props))
    return FXErrorUtil::ErrorInt(loc, BLR_WF_BAD_STATE, "Can't %s pair %d: invalid pair state %d",
                                 wf.refusal, pairId, status);
  if (status == W::STATUS_FAILED_OVER) {
    log("Starting %s for pair %d", wf.name, pairId);
  } else {
    log("Resuming %s for pair %d. Previous progress:", wf.name, pairId);
    logProgress(wf.steps, ctx, props);
  }
  if ((err = resolveHosts(loc)).IsError()) return err;
  if (status != wf.status) {
    action("Setting pair status to %s", wf.statusName);
    if ((err = db.setPairStatus(pairId, wf.status, "", 0)).IsError())
      return fatal(loc, err, FXFormat("Couldn't set pair status to %s", wf.statusName));
  }
  guard->armed = true;
  return CZuError();
}

bool WorkflowRun::lookUpHost(int clientId, std::string* host) {
  CZuError err = DWClient(clientId).lookUp(host);
  if (err.IsError()) error("%s", err.Summary().c_str());
  return !err.IsError();
}

CZuError WorkflowRun::resolveHosts(const FXCodeLocation& loc) {
  CZuError err;
  if (!lookUpHost(pair.headClientId, &headHost))
    err = FXErrorUtil::ErrorInt(loc, genericCode,
                                "Couldn't lookup head proxy mangled name (client ID %d)",
                                pair.headClientId);
  if (!lookUpHost(pair.tailClientId, &tailHost))
    err = FXErrorUtil::ErrorInt(loc, genericCode,
                                "Couldn't lookup tail proxy mangled name (client ID %d)",
                                pair.tailClientId);
  return err;
}

CZuError WorkflowRun::resolveHostsInTurn(const FXCodeLocation& loc) {
  if (!lookUpHost(pair.headClientId, &headHost))
    return FXErrorUtil::ErrorInt(loc, 1, "Couldn't lookup head proxy mangled name");
  if (!lookUpHost(pair.tailClientId, &tailHost))
    return FXErrorUtil::ErrorInt(loc, 1, "Couldn't lookup tail proxy mangled name");
  return CZuError();
}

std::string WorkflowRun::value(const char* prop) const {
  auto it = props.find(prop);
  return it == props.end() ? std::string() : it->second;
}

std::string WorkflowRun::logV(const char* fmt, va_list args) const {
  std::string text = FXFormatV(fmt, args);
  blrDebug(ctx, 1, "%s", text.c_str());
  return text;
}

void WorkflowRun::log(const char* fmt, ...) const {
  va_list args;
  va_start(args, fmt);
  logV(fmt, args);
  va_end(args);
}

void WorkflowRun::action(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  announce(logV(fmt, args));
  va_end(args);
}

void WorkflowRun::announce(const std::string& title) {
  if (BlrWorkflowObserver* observer = blrGetWorkflowObserver())
    observer->onStepBegin(stepCode, title);
}

void WorkflowRun::tick(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const std::string text = logV(fmt, args);
  va_end(args);
  if (BlrWorkflowObserver* observer = blrGetWorkflowObserver()) observer->onWaitTick(text);
}

void WorkflowRun::error(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = FXFormatV(fmt, args);
  va_end(args);
  blrError(ctx, "%s", text.c_str());
  if (BlrWorkflowObserver* observer = blrGetWorkflowObserver()) observer->onFailure(text);
}

void WorkflowRun::begin(const char* prop, int titleArg) {
  const BlrWorkflowStep* row = blrFindWorkflowStep(prop);
  stepCode = row->code;
  action(row->title, titleArg);
}

WorkflowRun::~WorkflowRun() {
  if (connections_ == nullptr) return;
  connections_->keep(headHost, std::move(head_));
  connections_->keep(tailHost, std::move(tail_));
}

CZuError WorkflowRun::call(Proxy proxy, const CtrlAction& action) {
  std::unique_ptr<BlrCtrl>& conn = proxy == kHead ? head_ : tail_;
  CZuError err = BlrSvcWorkflow::connectForStep(conn, proxy == kHead ? headHost : tailHost, connections_);
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

CZuError WorkflowRun::step(const char* prop, int titleArg, const Action& act,
                           const std::string& failure) {
  if (done(prop)) return CZuError();
  begin(prop, titleArg);
  return finish(prop, act(), failure);
}

CZuError WorkflowRun::stopVm(const char* prop, Proxy proxy, const char* powerProp,
                             const std::string& failure) {
  if (done(prop)) return CZuError();
  begin(prop);
  CZuError outcome;
  CZuError err = powerOffNoting(proxy, powerProp, &outcome);
  if (err.IsError()) return err;
  return finish(prop, outcome, failure);
}

CZuError WorkflowRun::retireOriginalPair(const RetireSteps& steps) {
  const int id = pairId;
  CZuError err = step(
      steps.snapDeleted, id,
      on(kTail, [id](BlrCtrl& c) { return c.deleteFailoverSnap(id, false); }),
      FXFormat("Couldn't delete failover snapshot for pair %d on Tail", id));
  if (!err.IsError() && steps.vmStopped != nullptr)
    err = step(steps.vmStopped, id,
               on(kHead, [id](BlrCtrl& c) { return c.powerOnOffHeadVM(id, false, nullptr); }),
               FXFormat("Couldn't stop production VM for pair %d", id));
  if (!err.IsError())
    err = stopAndCleanPair(kHead, id, steps.pairStopped, steps.pairCleaned, "original");
  return err;
}

CZuError WorkflowRun::stopAndCleanPair(Proxy proxy, int id, const char* stoppedProp,
                                       const char* cleanedProp, const char* which) {
  CZuError err = step(stoppedProp, id, on(proxy, [id](BlrCtrl& c) { return c.stopPair(id); }),
                      FXFormat("Couldn't stop %s pair %d", which, id));
  if (!err.IsError())
    err = step(cleanedProp, id, on(proxy, [id](BlrCtrl& c) { return c.cleanupPair(id); }),
               FXFormat("Couldn't clean %s pair %d", which, id));
  return err;
}

CZuError WorkflowRun::finish(const char* prop, CZuError outcome, const std::string& failure) {
  CZuError err = setProp(prop, outcome.IsError() ? "0" : "1");
  bool ok = !err.IsError() && !outcome.IsError();
  if (!err.IsError() && outcome.IsError())
    err = failed(FXLOC, outcome.Push(FXLOC, "%s", failure.c_str()));
  if (BlrWorkflowObserver* observer = blrGetWorkflowObserver()) observer->onStepEnd(ok);
  return err;
}

CZuError WorkflowRun::failed(const FXCodeLocation& loc, const CZuError& err) {
  if (!continueOnError) return withCode(loc, err, stepCode);
  // The messages first, for readers of the first line; the stack below.
  error("%s\n%s", err.Summary().c_str(), err.AsString().c_str());
  partial = true;
  return CZuError();
}

CZuError WorkflowRun::fatal(const FXCodeLocation& loc, CZuError err, const std::string& message) {
  err.Push(loc, "%s", message.c_str());
  return genericCode != 0 ? withCode(loc, err, genericCode) : err;
}

CZuError WorkflowRun::flush(int id, Proxy from, const BlrUUID& source, Proxy to,
                            const BlrUUID& target, const FlushTexts& texts, bool* arrived) {
  action("%s", texts.injecting);
  uint64_t marker = 0;
  CZuError err = call(from, [&](BlrCtrl& c) { return c.insFlushMarker(source, &marker); });
  if (err.IsError() && (err = failed(FXLOC, err.Push(FXLOC, texts.injectFailure, id))).IsError())
    return err;
  if (marker == 0) return CZuError();
  action("%s", texts.waiting);
  return awaitMarker(id, to, target, marker, texts, arrived);
}

CZuError WorkflowRun::awaitMarker(int id, Proxy proxy, const BlrUUID& vm, uint64_t marker,
                                  const FlushTexts& texts, bool* arrived) {
  DwClock* clock = DwClock::current();
  time_t start = clock->now();
  uint64_t lastSeq = 0;
  for (;;) {
    uint64_t seq = 0;
    CZuError err = call(proxy, [&](BlrCtrl& c) { return c.getLastSeqNum(vm, &seq); });
    if (!err.IsError())
      lastSeq = seq;
    else if ((err = failed(FXLOC, err.Push(FXLOC, texts.queryFailure, id))).IsError())
      return err;
    tick(texts.polled, static_cast<long long>(lastSeq));
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
  begin(recordProp);
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

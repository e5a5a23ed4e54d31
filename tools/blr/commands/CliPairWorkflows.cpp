#include "commands/CliPairWorkflows.h"

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrSvcWorkflow.h"
#include "Cli.h"
#include "host/clients/DWClient.h"
#include "output/CliProgress.h"

namespace {

using W = BlrSvcWorkflow;
using PropMap = std::map<std::string, std::string>;

// blr's own record on the pair: it powered the recovery VM on after a
// failover ("1", written before the request).  cancel-failover powers that
// VM off again before the Tail's disks are reverted.
constexpr char kRecoveryVmOnProp[] = "recoveryVmPoweredOn";

// An error of blr's own after the workflow: exit status 1, whatever its code.
CZuError ownError(const FXCodeLocation& loc, const CZuError& err) {
  return err.Code() == 1 ? err : FXErrorUtil::ErrorInt(loc, 1, "%s", err.AsString().c_str());
}

// The control connection to a client's proxy for blr's own steps on one
// pair: opened (or borrowed from the plan worker's connections) at its first
// request, kept for the next, opened again after a failed request or once
// the proxy closed it, and left with the worker's connections at the end.
class ProxyConn {
 public:
  ProxyConn(int clientId, BlrCtrlCache* connections)
      : clientId_(clientId), connections_(connections) {}
  ~ProxyConn() {
    if (connections_ != nullptr) connections_->keep(host_, std::move(ctrl_));
  }
  ProxyConn(const ProxyConn&) = delete;
  ProxyConn& operator=(const ProxyConn&) = delete;

  CZuError call(const std::function<CZuError(BlrCtrl&)>& request) {
    CZuError err;
    if (host_.empty()) {
      err = DWClient(clientId_).lookUp(&host_);
      if (err.IsError()) return err.Push(FXLOC, "Couldn't look up client %d", clientId_);
    }
    err = W::connectForStep(ctrl_, host_, connections_);
    if (!err.IsError()) err = request(*ctrl_);
    if (err.IsError()) ctrl_.reset();
    return err;
  }

 private:
  int clientId_;
  BlrCtrlCache* connections_;
  std::string host_;
  std::unique_ptr<BlrCtrl> ctrl_;
};

// One control request to a client's proxy, shown as a step.
CZuError proxyStep(CliProgress& view, const std::string& title, ProxyConn& conn,
                   const std::function<CZuError(BlrCtrl&)>& request) {
  view.beginStep(title);
  CZuError err = conn.call(request);
  view.endStep(!err.IsError());
  return err;
}

bool hasAny(const BlrWorkflowSteps& rows, const PropMap& props) {
  for (const BlrWorkflowStep& row : rows)
    if (props.count(*row.property)) return true;
  return false;
}

// A failback or a switch of roles began on the pair and is not finished:
// only that workflow (or reset after failback) may follow.
bool returnUnderway(const BlrDB::Pair& pair, const PropMap& props) {
  return (pair.flags & W::FAILOVER) &&
         ((pair.statusCode >= W::STATUS_FAILING_BACK &&
           pair.statusCode <= W::STATUS_SWITCH_ROLES_FAILED) ||
          hasAny(blrFailbackSteps(), props) || hasAny(blrSwitchRolesSteps(), props));
}

CZuError readPair(int pairId, BlrDB::Pair* pair, PropMap* props) {
  CZuError err = BlrDB().getPair(pairId, pair);
  if (!err.IsError()) err = BlrDB().getPairProps(pairId, props);
  return err.IsError() ? err.Push(FXLOC, "Couldn't look up pair %d", pairId) : err;
}

// Refuses a failover or its cancel while the pair is on its way back.
CZuError refuseWhileReturning(const FXCodeLocation& loc, const char* what, const BlrDB::Pair& pair,
                              const PropMap& props, int code) {
  if (!returnUnderway(pair, props)) return CZuError();
  return FXErrorUtil::ErrorInt(loc, code,
                               "Can't %s pair %d: a failback or a switch of roles is under way "
                               "(status %d); resume it, or reset after failback",
                               what, pair.id, pair.statusCode);
}

// Forgets that blr powered the recovery VM on, once a workflow turned it off.
CZuError dropRecoveryVmRecord(int pairId) {
  std::string value;
  BlrDB db;
  if (db.getPairProp(pairId, kRecoveryVmOnProp, &value).IsError() || value.empty())
    return CZuError();
  CZuError err = db.delPairProp(pairId, kRecoveryVmOnProp);
  return err.IsError() ? ownError(FXLOC, err.Push(FXLOC, "Couldn't clear property %s of pair %d",
                                                  kRecoveryVmOnProp, pairId))
                       : err;
}

// Powers the recovery VM off, then asks again: a second power-off must find
// it off.
CZuError stopRecoveryVm(CliProgress& view, const BlrDB::Pair& pair, BlrCtrlCache* connections) {
  const int id = pair.id;
  ProxyConn tail(pair.tailClientId, connections);
  return proxyStep(view, "Powering off the recovery VM on the Tail", tail,
                   [id](BlrCtrl& tail) {
                     bool wasOn = false;
                     CZuError err = tail.powerOnOffTailVM(id, false, nullptr);
                     if (!err.IsError()) err = tail.powerOnOffTailVM(id, false, &wasOn);
                     if (!err.IsError() && wasOn)
                       err = FXErrorUtil::ErrorInt(FXLOC, 1, "The Tail still reports it on");
                     return err;
                   });
}

// The recovery point: the Tail's last sequence number of the recovery VM,
// held since the failover blocked replication.  Not knowing it fails
// nothing (0, and a failed step in the record).
uint64_t readRecoveryPoint(CliProgress& view, const BlrDB::Pair& pair, ProxyConn& tail) {
  uint64_t seqNum = 0;
  CZuError err = proxyStep(view, "Reading the recovery point on the Tail", tail,
                           [&](BlrCtrl& tail) { return tail.getLastSeqNum(pair.dstGuid, &seqNum); });
  return err.IsError() ? 0 : seqNum;
}

// What a job process does after the failover: the recovery VM on, status 16.
// The VM is powered on only once the production VM is known to be off.
CZuError completeFailover(int pairId, const PairWorkflowOptions& o, CliProgress& view,
                          ProxyConn& tail) {
  std::string vmStopped;
  CZuError err = BlrDB().getPairProp(pairId, W::FOPROP_VM_STOPPED, &vmStopped);
  if (!err.IsError() && !o.noPowerOn) {
    if (vmStopped != "1" && !o.force)
      return FXErrorUtil::ErrorInt(FXLOC, 1,
                                   "The production VM of pair %d is not known to be off: the "
                                   "recovery VM stays off (--force powers it on)",
                                   pairId);
    err = BlrDB().setPairProp(pairId, kRecoveryVmOnProp, "1");
    if (!err.IsError())
      err = proxyStep(view, "Powering on the recovery VM on the Tail", tail,
                      [&](BlrCtrl& c) { return c.powerOnOffTailVM(pairId, true, nullptr); });
  }
  if (err.IsError())
    return ownError(FXLOC, err.Push(FXLOC, "Couldn't power on the recovery VM of pair %d", pairId));
  view.beginStep("Setting pair status to Failed Over");
  err = BlrDB().setPairStatus(pairId, W::STATUS_FAILED_OVER, "", 0);
  view.endStep(!err.IsError());
  return err.IsError() ? ownError(FXLOC, err) : err;
}

}  // namespace

namespace {

const std::pair<const char*, bool PairWorkflowOptions::*> kOptionNames[] = {
    {"latest", &PairWorkflowOptions::latest},
    {"continueOnError", &PairWorkflowOptions::continueOnError},
    {"noPowerOn", &PairWorkflowOptions::noPowerOn},
    {"keepVmOff", &PairWorkflowOptions::keepVmOff},
    {"force", &PairWorkflowOptions::force},
    {"noWait", &PairWorkflowOptions::noWait},
    {"startReverse", &PairWorkflowOptions::startReverse},
};

}  // namespace

std::string cliWorkflowOptionsText(const PairWorkflowOptions& o) {
  Json set = Json::object();
  for (const auto& [name, option] : kOptionNames)
    if (o.*option) set[name] = true;
  return cliJsonCompact(set);
}

PairWorkflowOptions cliWorkflowOptionsFromText(const std::string& text) {
  PairWorkflowOptions o;
  Json set = Json::parse(text.empty() ? "{}" : text, nullptr, false);
  if (!set.is_object()) return o;
  for (const auto& [name, option] : kOptionNames) {
    auto it = set.find(name);
    o.*option = it != set.end() && it->is_boolean() && it->get<bool>();
  }
  return o;
}

CZuError cliFailoverPair(int pairId, const PairWorkflowOptions& o, CliProgress& view,
                         PairWorkflowResult* result) {
  BlrDB::Pair pair;
  PropMap props;
  CZuError err = readPair(pairId, &pair, &props);
  if (!err.IsError()) err = refuseWhileReturning(FXLOC, "failover", pair, props, BLR_WF_BAD_STATE);
  if (!err.IsError())
    err = W(pairId, o.connections).failover(o.continueOnError, o.latest, &result->partial);
  if (err.IsError()) return err;
  ProxyConn tail(pair.tailClientId, o.connections);
  result->seqNum = readRecoveryPoint(view, pair, tail);
  return completeFailover(pairId, o, view, tail);
}

// Before the Tail's disks are reverted, the recovery VM that blr (or whoever
// set status 16) powered on goes off, and is confirmed off.
CZuError cliCancelFailoverPair(int pairId, const PairWorkflowOptions& o, CliProgress& view,
                               PairWorkflowResult*) {
  BlrDB::Pair pair;
  PropMap props;
  CZuError err = readPair(pairId, &pair, &props);
  if (!err.IsError()) err = refuseWhileReturning(FXLOC, "cancel the failover of", pair, props, 1);
  if (err.IsError()) return err;
  bool recoveryVmMayRun =
      props.count(kRecoveryVmOnProp) || pair.statusCode == W::STATUS_FAILED_OVER;
  if ((pair.flags & W::FAILOVER) && recoveryVmMayRun) {
    err = stopRecoveryVm(view, pair, o.connections);
    if (err.IsError() && !o.force)
      return err.Push(FXLOC,
                      "Couldn't power off the recovery VM of pair %d: nothing was undone "
                      "(--force cancels anyway)",
                      pairId);
    if (err.IsError())
      view.note("cancelling anyway: " + err.Summary());
  }
  // No longer failed over: failback and switch roles refuse the pair while
  // the cancel is under way.
  if ((pair.flags & W::FAILOVER) && pair.statusCode == W::STATUS_FAILED_OVER) {
    view.beginStep("Setting pair status to Failing Over");
    err = BlrDB().setPairStatus(pairId, W::STATUS_FAILING_OVER, "", 0);
    view.endStep(!err.IsError());
    if (err.IsError()) return ownError(FXLOC, err);
  }
  err = W(pairId, o.connections).cancelFailover(o.keepVmOff);
  return err.IsError() ? err : dropRecoveryVmRecord(pairId);
}

CZuError cliFailbackPair(int pairId, const PairWorkflowOptions& o, CliProgress&,
                         PairWorkflowResult*) {
  CZuError err = W(pairId, o.connections).failback(!o.noWait);
  return err.IsError() ? err : dropRecoveryVmRecord(pairId);
}

CZuError cliResetAfterFailbackPair(int pairId, const PairWorkflowOptions& o, CliProgress&,
                                   PairWorkflowResult*) {
  CZuError err = W(pairId, o.connections).resetAfterFailback();
  BlrDB::Pair pair;
  if (!err.IsError() && !BlrDB().getPair(pairId, &pair).IsError() && !(pair.flags & W::FAILOVER))
    err = dropRecoveryVmRecord(pairId);
  return err;
}

CZuError cliSwitchRolesPair(int pairId, const PairWorkflowOptions& o, CliProgress& view,
                            PairWorkflowResult* result) {
  int newPairId = 0;
  CZuError err = W(pairId, o.connections).switchRoles(&newPairId);
  if (newPairId > 0) result->newPairId = newPairId;
  if (err.IsError() || !o.startReverse) return err;
  BlrDB::Pair reverse;
  err = BlrDB().getPair(newPairId, &reverse);
  ProxyConn head(reverse.headClientId, o.connections);
  if (!err.IsError())
    err = proxyStep(view, "Starting reverse pair " + std::to_string(newPairId), head,
                    [&](BlrCtrl& c) { return c.startPair(newPairId); });
  return err.IsError() ? ownError(FXLOC, err) : err;
}

// blr failover | cancel-failover | failback | reset-after-failback |
// switch-roles: the recovery workflows, with their live progress.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrSvcWorkflow.h"
#include "Cli.h"
#include "CliProgress.h"
#include "CliRecords.h"

namespace {

using W = BlrSvcWorkflow;

// blr's own record on the pair: it powered the recovery VM on after a
// failover ("1", written before the request).  cancel-failover powers that
// VM off again before the Tail's disks are reverted.
constexpr char kRecoveryVmOnProp[] = "recoveryVmPoweredOn";

struct Workflow {
  const char* title;  // "Failover"
  bool stepCodes;     // its errors carry step codes
  std::vector<const BlrWorkflowSteps*> groups;
};

// The body of a run: the workflow and what blr does around it.
using Body = std::function<CZuError(W& workflow, CliProgress& view, Json* result)>;

// An error of blr's own after the workflow: exit status 1, whatever its code.
CZuError ownError(const FXCodeLocation& loc, const CZuError& err) {
  return err.Code() == 1 ? err : FXErrorUtil::ErrorInt(loc, 1, "%s", err.AsString().c_str());
}

// One control request to a client's proxy, shown as a step.
CZuError proxyStep(CliProgress& view, const std::string& title, int clientId,
                   const std::function<CZuError(BlrCtrl&)>& request) {
  view.beginStep(title);
  BlrCtrl ctrl;
  CZuError err = ctrl.connectToClient(clientId);
  if (!err.IsError()) err = request(ctrl);
  view.endStep(!err.IsError());
  return err;
}

using PropMap = std::map<std::string, std::string>;

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
CZuError stopRecoveryVm(CliProgress& view, const BlrDB::Pair& pair) {
  const int id = pair.id;
  return proxyStep(view, "Powering off the recovery VM on the Tail", pair.tailClientId,
                   [id](BlrCtrl& tail) {
                     bool wasOn = false;
                     CZuError err = tail.powerOnOffTailVM(id, false, nullptr);
                     if (!err.IsError()) err = tail.powerOnOffTailVM(id, false, &wasOn);
                     if (!err.IsError() && wasOn)
                       err = FXErrorUtil::ErrorInt(FXLOC, 1, "The Tail still reports it on");
                     return err;
                   });
}

int exitStatus(const Workflow& wf, const CZuError& err) {
  if (!err.IsError()) return kExitOk;
  int code = err.Code();
  return wf.stepCodes && code >= BLR_WF_FIRST_CODE && code <= BLR_WF_LAST_CODE ? code
                                                                                : kExitFailure;
}

void printProgressTable(const Workflow& wf, int pairId,
                        const std::map<std::string, std::string>& props) {
  CliTable table({"PROGRESS", "STATE"});
  bool any = false;
  for (const auto* group : wf.groups)
    for (const BlrWorkflowStep& row : *group) {
      any = any || props.count(*row.property);
      table.add({row.displayLabel, row.showsValue ? W::progValue(props, *row.property)
                                                  : std::string(W::progStatus(props, *row.property))});
    }
  if (any)
    std::printf("\nProgress of pair %d\n%s", pairId, table.render().c_str());
  else
    std::printf("\nPair %d holds no progress of this workflow (cleared when done).\n", pairId);
}

int runWorkflow(const Cli& cli, const Workflow& wf, int pairId, const Body& body) {
  BlrDB::Pair pair;
  if (int rc = cliLoadPair(cli, pairId, &pair)) return rc;
  if (!cli.json())
    std::printf("%s of pair %d (%s)\n", wf.title, pairId, cliTerminalText(pair.srcName).c_str());
  auto start = std::chrono::steady_clock::now();
  Json result = Json::object();
  CZuError err;
  Json steps;
  {
    CliProgress view(cli.json() ? nullptr : stdout, isatty(STDOUT_FILENO));
    view.attach();
    W workflow(pairId);
    err = body(workflow, view, &result);
    view.endStep(!err.IsError());
    steps = view.stepsJson();
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int status = exitStatus(wf, err);
  std::map<std::string, std::string> props;
  BlrDB::Pair after;
  bool exists = !BlrDB().getPair(pairId, &after).IsError() && after.id == pairId;
  if (exists) BlrDB().getPairProps(pairId, &props);  // only shown: a failure leaves it empty

  if (cli.json()) {
    Json out = {{"pair", pairId}, {"workflow", wf.title}, {"exitCode", status}};
    out["error"] = err.IsError() ? Json(cliOneLine(err.Summary())) : Json();
    out.update(result);
    out["steps"] = steps;
    out["progress"] = props;
    cli.printJson(out);
    return status;
  }
  if (err.IsError()) {
    std::printf("%s of pair %d failed after %.1fs (exit status %d)\n", wf.title, pairId, secs, status);
    cli.fail(err, status);
  } else {
    std::printf("%s of pair %d finished in %.1fs%s\n", wf.title, pairId, secs,
                result.value("partial", false) ? ", partially: failed steps were skipped" : "");
    if (result.contains("newPairId"))
      std::printf("Reverse pair %d replaces pair %d\n", result["newPairId"].get<int>(), pairId);
  }
  if (exists) printProgressTable(wf, pairId, props);
  return status;
}

struct FailoverOptions {
  int pairId = 0;
  bool latest = false;
  bool continueOnError = false;
  bool noPowerOn = false;
  bool force = false;
};

// What a job process does after the failover: the recovery VM on, status 16.
// The VM is powered on only once the production VM is known to be off.
CZuError completeFailover(const FailoverOptions& o, CliProgress& view) {
  BlrDB::Pair pair;
  PropMap props;
  CZuError err = readPair(o.pairId, &pair, &props);
  if (!err.IsError() && !o.noPowerOn) {
    if (props[W::FOPROP_VM_STOPPED] != "1" && !o.force)
      return FXErrorUtil::ErrorInt(FXLOC, 1,
                                   "The production VM of pair %d is not known to be off: the "
                                   "recovery VM stays off (--force powers it on)",
                                   o.pairId);
    err = BlrDB().setPairProp(o.pairId, kRecoveryVmOnProp, "1");
    if (!err.IsError())
      err = proxyStep(view, "Powering on the recovery VM on the Tail", pair.tailClientId,
                      [&](BlrCtrl& tail) { return tail.powerOnOffTailVM(o.pairId, true, nullptr); });
  }
  if (err.IsError())
    return ownError(FXLOC,
                    err.Push(FXLOC, "Couldn't power on the recovery VM of pair %d", o.pairId));
  view.beginStep("Setting pair status to Failed Over");
  err = BlrDB().setPairStatus(o.pairId, W::STATUS_FAILED_OVER, "", 0);
  view.endStep(!err.IsError());
  return err.IsError() ? ownError(FXLOC, err) : err;
}

void addFailover(Cli& cli) {
  auto o = std::make_shared<FailoverOptions>();
  CLI::App* cmd = cli.app().add_subcommand(
      "failover", "Hand production over to the recovery VM (the Tail's)");
  cmd->add_option("PAIR", o->pairId, "Pair id")->required()->check(kPositiveId);
  cmd->add_flag("--latest", o->latest, "Drain the replication pipeline to the Tail first");
  cmd->add_flag("--continue-on-error", o->continueOnError,
                "Report failed proxy steps and go on (a partial failover)");
  cmd->add_flag("--no-power-on", o->noPowerOn, "Leave the recovery VM powered off");
  cmd->add_flag("--force", o->force,
                "Power the recovery VM on even when the production VM could not be stopped");
  static const Workflow wf{"Failover", true, {&blrFailoverSteps()}};
  cli.on(cmd, [&cli, o] {
    return runWorkflow(cli, wf, o->pairId, [o](W& w, CliProgress& view, Json* result) {
      BlrDB::Pair pair;
      PropMap props;
      CZuError err = readPair(o->pairId, &pair, &props);
      if (!err.IsError())
        err = refuseWhileReturning(FXLOC, "failover", pair, props, BLR_WF_BAD_STATE);
      if (err.IsError()) return err;
      bool partial = false;
      err = w.failover(o->continueOnError, o->latest, &partial);
      if (err.IsError()) return err;
      (*result)["partial"] = partial;
      return completeFailover(*o, view);
    });
  });
}

void addFailback(Cli& cli) {
  auto o = std::make_shared<std::pair<int, bool>>(0, false);
  CLI::App* cmd = cli.app().add_subcommand(
      "failback", "Copy the recovery VM's changes back and return production to the source VM");
  cmd->add_option("PAIR", o->first, "Pair id")->required()->check(kPositiveId);
  cmd->add_flag("--no-wait", o->second,
                "Return (status 201) while the reverse copy is still synchronising");
  static const Workflow wf{"Failback", true, {&blrFailoverSteps(), &blrFailbackSteps()}};
  cli.on(cmd, [&cli, o] {
    return runWorkflow(cli, wf, o->first, [o](W& w, CliProgress&, Json*) {
      CZuError err = w.failback(!o->second);
      return err.IsError() ? err : dropRecoveryVmRecord(o->first);
    });
  });
}

void addSwitchRoles(Cli& cli) {
  auto o = std::make_shared<std::pair<int, bool>>(0, false);
  CLI::App* cmd = cli.app().add_subcommand(
      "switch-roles", "Replace a failed-over pair by a reverse pair protecting the recovery VM");
  cmd->add_option("PAIR", o->first, "Pair id")->required()->check(kPositiveId);
  cmd->add_flag("--start", o->second, "Start the reverse pair on its Head (the former Tail)");
  static const Workflow wf{"Switch of roles", true, {&blrSwitchRolesSteps()}};
  cli.on(cmd, [&cli, o] {
    return runWorkflow(cli, wf, o->first, [o](W& w, CliProgress& view, Json* result) {
      int newPairId = 0;
      CZuError err = w.switchRoles(&newPairId);
      if (newPairId > 0) (*result)["newPairId"] = newPairId;
      if (err.IsError() || !o->second) return err;
      BlrDB::Pair reverse;
      err = BlrDB().getPair(newPairId, &reverse);
      if (!err.IsError())
        err = proxyStep(view, "Starting reverse pair " + std::to_string(newPairId),
                        reverse.headClientId,
                        [&](BlrCtrl& head) { return head.startPair(newPairId); });
      return err.IsError() ? ownError(FXLOC, err) : err;
    });
  });
}

struct CancelOptions {
  int pairId = 0;
  bool keepVmOff = false;
  bool force = false;
};

// Before the Tail's disks are reverted, the recovery VM that blr (or whoever
// set status 16) powered on goes off, and is confirmed off.
CZuError cancelFailover(const CancelOptions& o, W& w, CliProgress& view) {
  BlrDB::Pair pair;
  PropMap props;
  CZuError err = readPair(o.pairId, &pair, &props);
  if (!err.IsError()) err = refuseWhileReturning(FXLOC, "cancel the failover of", pair, props, 1);
  if (err.IsError()) return err;
  bool recoveryVmMayRun =
      props.count(kRecoveryVmOnProp) || pair.statusCode == W::STATUS_FAILED_OVER;
  if ((pair.flags & W::FAILOVER) && recoveryVmMayRun) {
    err = stopRecoveryVm(view, pair);
    if (err.IsError() && !o.force)
      return err.Push(FXLOC,
                      "Couldn't power off the recovery VM of pair %d: nothing was undone "
                      "(--force cancels anyway)",
                      o.pairId);
    if (err.IsError())
      std::fprintf(stderr, "blr: cancelling anyway: %s\n", err.Summary().c_str());
  }
  // No longer failed over: failback and switch roles refuse the pair while
  // the cancel is under way.
  if ((pair.flags & W::FAILOVER) && pair.statusCode == W::STATUS_FAILED_OVER) {
    view.beginStep("Setting pair status to Failing Over");
    err = BlrDB().setPairStatus(o.pairId, W::STATUS_FAILING_OVER, "", 0);
    view.endStep(!err.IsError());
    if (err.IsError()) return ownError(FXLOC, err);
  }
  err = w.cancelFailover(o.keepVmOff);
  return err.IsError() ? err : dropRecoveryVmRecord(o.pairId);
}

void addUndoWorkflows(Cli& cli) {
  auto cancel = std::make_shared<CancelOptions>();
  CLI::App* cmd = cli.app().add_subcommand(
      "cancel-failover", "Roll a failover back and restart the pair");
  cmd->add_option("PAIR", cancel->pairId, "Pair id")->required()->check(kPositiveId);
  cmd->add_flag("--keep-vm-off", cancel->keepVmOff, "Leave the production VM powered off");
  cmd->add_flag("--force", cancel->force,
                "Go on when the recovery VM can't be powered off (both VMs may then run)");
  static const Workflow cancelWf{"Cancel of failover", false, {&blrFailoverSteps()}};
  cli.on(cmd, [&cli, cancel] {
    return runWorkflow(cli, cancelWf, cancel->pairId, [cancel](W& w, CliProgress& view, Json*) {
      return cancelFailover(*cancel, w, view);
    });
  });

  auto reset = std::make_shared<int>(0);
  cmd = cli.app().add_subcommand("reset-after-failback",
                                 "Clean up after a failed failback and leave the pair stopped");
  cmd->add_option("PAIR", *reset, "Pair id")->required()->check(kPositiveId);
  static const Workflow resetWf{"Reset after failback", false, {&blrFailoverSteps(), &blrFailbackSteps()}};
  cli.on(cmd, [&cli, reset] {
    return runWorkflow(cli, resetWf, *reset, [reset](W& w, CliProgress&, Json*) {
      CZuError err = w.resetAfterFailback();
      BlrDB::Pair pair;
      if (!err.IsError() && !BlrDB().getPair(*reset, &pair).IsError() &&
          !(pair.flags & W::FAILOVER))
        err = dropRecoveryVmRecord(*reset);
      return err;
    });
  });
}

}  // namespace

void addWorkflowCommands(Cli& cli) {
  addFailover(cli);
  addUndoWorkflows(cli);
  addFailback(cli);
  addSwitchRoles(cli);
}

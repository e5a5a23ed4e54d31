// blr runs list | show | stop: the runs of workflows on plans and on single
// pairs, as the pair database records them, whoever started them.
#include <cstdio>
#include <memory>

#include "BLR/BlrPlanDB.h"
#include "Cli.h"
#include "output/CliList.h"
#include "output/CliRecords.h"
#include "output/CliTable.h"
#include "plans/CliPlans.h"
#include "runs/RunWatch.h"

namespace {

using Run = BlrPlanDB::Run;
using RunPair = BlrPlanDB::RunPair;

// "plan site-b" or "pair 12".
std::string targetText(const Run& run) {
  return run.planName.empty() ? "pair " + std::to_string(run.pairId) : "plan " + run.planName;
}

Json pairJson(const RunPair& p) {
  return Json{{"pair", p.pairId},
              {"group", p.groupNo + 1},
              {"outcome", p.outcome},
              {"started", timeText(p.startTime)},
              {"ended", timeText(p.endTime)},
              {"exitCode", p.exitCode},
              {"error", p.error}};
}

Json runJson(const Run& run) {
  Json pairs = Json::array();
  for (const RunPair& p : run.pairs) pairs.push_back(pairJson(p));
  return Json{{"id", run.id},
              {"kind", run.workflow},
              {"plan", run.planName.empty() ? Json() : Json(run.planName)},
              {"pair", run.pairId != 0 ? Json(run.pairId) : Json()},
              {"state", run.state},
              {"actor", run.actor},
              {"user", run.user},
              {"host", run.host},
              {"runner", run.runner},
              {"stopRequested", run.stopRequested != 0},
              {"started", timeText(run.startTime)},
              {"ended", timeText(run.endTime)},
              {"options", Json::parse(run.options.empty() ? "{}" : run.options, nullptr, false)},
              {"pairs", pairs}};
}

struct ListOptions {
  std::string state;
  std::string plan;
  int limit = 100;
};

int listRuns(const Cli& cli, const ListOptions& o) {
  std::list<Run> runs;
  CZuError err = BlrPlanDB().listRuns(o.state, o.plan, o.limit, &runs);
  if (err.IsError()) return cli.fail(err);
  return cliPrintList(cli, runs, runJson, "No runs.",
                      {"RUN", "KIND", "OF", "STATE", "ACTOR", "STARTED", "ENDED"},
                      [](const Run& r) -> std::vector<std::string> {
                        return {std::to_string(r.id), r.workflow, targetText(r), r.state,
                                r.actor, timeText(r.startTime), timeText(r.endTime)};
                      });
}

// Run `runId` with its pairs; 0, or the exit status of a failure reported.
int loadRun(const Cli& cli, int runId, Run* run) {
  CZuError err = BlrPlanDB().getRun(runId, run);
  if (err.IsError()) return cli.fail(err);
  if (run->id == 0) return cli.failText("No run " + std::to_string(runId), kExitNotFound);
  return kExitOk;
}

void printRun(const Run& run) {
  std::printf("Run %d: %s of %s, %s%s\n", run.id, run.workflow.c_str(),
              cliTerminalText(targetText(run)).c_str(), run.state.c_str(),
              run.stopRequested && run.live() ? " (stop asked for)" : "");
  std::printf("Started %s by %s (%s on %s)%s\n", timeText(run.startTime).c_str(),
              cliTerminalText(run.actor).c_str(), cliTerminalText(run.user).c_str(),
              cliTerminalText(run.host).c_str(),
              run.endTime ? (", ended " + timeText(run.endTime)).c_str() : "");
  if (run.live() && !run.runner.empty())
    std::printf("Runner: %s\n", cliTerminalText(run.runner).c_str());
  if (run.pairs.empty()) return;
  CliTable table({"GROUP", "PAIR", "OUTCOME", "STARTED", "ENDED", "ERROR"});
  for (const RunPair& p : run.pairs)
    table.add({std::to_string(p.groupNo + 1), std::to_string(p.pairId), p.outcome,
               timeText(p.startTime), timeText(p.endTime), p.error});
  std::fputs(table.render().c_str(), stdout);
}

int showRun(const Cli& cli, int runId) {
  Run run;
  if (int rc = loadRun(cli, runId, &run)) return rc;
  if (cli.json())
    cli.printJson(runJson(run));
  else
    printRun(run);
  return kExitOk;
}

int stopRun(const Cli& cli, int runId) {
  Run run;
  if (int rc = loadRun(cli, runId, &run)) return rc;
  CZuError err = BlrPlanDB().stopRun(runId, &run);
  if (err.IsError()) return cli.fail(err);
  if (cli.json())
    cli.printJson(runJson(run));
  else if (run.state == BlrPlanDB::kStopped)
    std::printf("Run %d stopped before it started\n", runId);
  else
    std::printf("Run %d stops: no new pair starts, pairs under way finish their workflow\n",
                runId);
  return kExitOk;
}

int watchRun(const Cli& cli, int runId) { return cliWatchRun(cli, runId); }

int resumeRun(const Cli& cli, int runId) {
  Run run;
  run.id = runId;
  return cliSubmitRun(cli, run);
}

}  // namespace

void addRunCommands(Cli& cli) {
  CLI::App* runs = Cli::group(&cli.app(), "runs", "Runs of workflows on plans and pairs");

  auto o = std::make_shared<ListOptions>();
  CLI::App* list = runs->add_subcommand("list", "List runs, newest first");
  list->add_option("--state", o->state, "Only runs in this state")
      ->check(CLI::IsMember({BlrPlanDB::kQueued, BlrPlanDB::kRunning, BlrPlanDB::kDone,
                             BlrPlanDB::kFailed, BlrPlanDB::kStopped, BlrPlanDB::kInterrupted}));
  list->add_option("--plan", o->plan, "Only runs of this plan");
  list->add_option("--limit", o->limit, "At most this many (default 100)")
      ->check(CLI::Range(1, 10000));
  cli.on(list, [&cli, o] { return listRuns(cli, *o); });

  cli.addIdCommand(runs, "show", "Show a run: who started it, its state and its pairs", "Run id",
                   showRun);
  cli.addIdCommand(runs, "stop",
                   "Stop a run: no new pair starts; pairs under way finish their workflow",
                   "Run id", stopRun);
  cli.addIdCommand(runs, "watch",
                   "Follow a run until it ends (Ctrl-C stops the following, not the run)",
                   "Run id", watchRun);
  auto format = std::make_shared<std::string>("json");
  CLI::App* report = cli.addIdCommand(
      runs, "report", "Print a run's report: what it achieved, each pair's outcome and steps",
      "Run id", [format](const Cli& c, int runId) { return cliRunReport(c, runId, *format); });
  report
      ->add_option("--format", *format,
                    "json (the default), text, or html: a page that needs nothing else")
      ->check(CLI::IsMember({"json", "html", "text"}));
  cli.addIdCommand(runs, "resume",
                   "Hand a stopped or failed run to a central server's runner again; pairs "
                   "done before are skipped",
                   "Run id", resumeRun);
}

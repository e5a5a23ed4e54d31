// blr plans runs NAME | blr plans report RUN [--format json|html|text] |
// blr plans report NAME --history [--last N]: the run records of plans, for
// operators and auditors.
#include <climits>
#include <cstdio>
#include <memory>

#include "BLR/BlrPlanDB.h"
#include "Cli.h"
#include "output/CliList.h"
#include "output/CliRecords.h"
#include "plans/CliPlans.h"
#include "plans/RunReport.h"

namespace {

using Run = BlrPlanDB::Run;

constexpr int kDefaultHistoryRuns = 10;

Json runListJson(const Run& run) {
  return Json{{"run", run.id},
              {"plan", run.planName},
              {"workflow", run.workflow},
              {"user", run.user},
              {"started", timeText(run.startTime)},
              {"ended", timeText(run.endTime)},
              {"state", run.state}};
}

int listRuns(const Cli& cli, const std::string& name) {
  std::list<Run> runs;
  CZuError err = BlrPlanDB().getRuns(name, &runs);
  if (err.IsError()) return cli.fail(err);
  return cliPrintList(cli, runs, runListJson, "No runs of plan " + name + ".",
                      {"RUN", "WORKFLOW", "USER", "STARTED", "ENDED", "STATE"},
                      [](const Run& r) -> std::vector<std::string> {
                        return {std::to_string(r.id),  r.workflow,          r.user,
                                timeText(r.startTime), timeText(r.endTime), r.state};
                      });
}

std::string figureText(const RunReport::Figure& f) {
  std::string text = durationText(f.max);
  if (!f.hasTarget()) return text;
  text += " (target " + durationText(f.target);
  if (f.count > 0) text += f.met() ? ": met" : ": " + std::to_string(f.missed) + " over";
  return text + ")";
}

void printReportText(const RunReport& r) {
  std::fputs(renderFields({{"Run", std::to_string(r.runId)},
                           {r.plan.empty() ? "Pair" : "Plan",
                            r.plan.empty() ? std::to_string(r.pairId) : r.plan},
                           {"Kind", runKindText(r.workflow)},
                           {"Actor", r.actor},
                           {"Started", timeText(r.startTime)},
                           {"Ended", timeText(r.endTime)},
                           {"Duration", durationText(r.durationSecs())},
                           {"State", r.state},
                           {"Pairs", outcomesText(r.outcomes)},
                           {"Recovery time (max)", figureText(r.recovery)},
                           {"Recovery point (max)", figureText(r.recoveryPoint)}})
                 .c_str(),
             stdout);
  CliTable table({"GROUP", "PAIR", "OUTCOME", "RECOVERY TIME", "RECOVERY POINT", "ERROR"});
  for (const RunReport::Group& g : r.groups)
    for (const RunReport::Pair& p : g.pairs)
      table.add({std::to_string(g.groupNo + 1), std::to_string(p.pairId), p.outcome,
                 durationText(p.recoverySecs), durationText(p.recoveryPointSecs), p.error});
  std::fputs(table.render().c_str(), stdout);
}

}  // namespace

int cliRunReport(const Cli& cli, int runId, const std::string& format) {
  Run run;
  CZuError err = BlrPlanDB().getRun(runId, &run);
  if (err.IsError()) return cli.fail(err);
  if (run.id == 0) return cli.failText("No run " + std::to_string(runId), kExitNotFound);
  BlrPlanDB::Plan plan;
  err = BlrPlanDB().getPlan(run.planName, &plan);  // as it is now
  if (err.IsError()) return cli.fail(err);
  const RunReport r = buildRunReport(run, &plan);
  if (format == "html")
    std::fputs(runReportHtml(r).c_str(), stdout);
  else if (format == "text" && !cli.json())
    printReportText(r);
  else
    cli.printJson(runReportJson(r));
  return kExitOk;
}

namespace {

int report(const Cli& cli, const std::string& runText, const std::string& format) {
  if (!kPositiveId(std::string(runText)).empty())
    return cli.failText("RUN: \"" + runText + "\" is not a run id", kExitUsage);
  return cliRunReport(cli, std::stoi(runText), format);
}

// The last `last` runs of plan `name`, newest first, each with its pairs.
int history(const Cli& cli, const std::string& name, int last, const std::string& format) {
  std::list<Run> runs;
  BlrPlanDB db;
  CZuError err = db.getRuns(name, &runs);
  BlrPlanDB::Plan plan;
  if (!err.IsError()) err = db.getPlan(name, &plan);
  std::list<RunReport> reports;
  for (auto r = runs.begin();
       !err.IsError() && r != runs.end() && reports.size() < static_cast<size_t>(last); ++r) {
    Run whole;
    err = db.getRun(r->id, &whole);
    if (!err.IsError() && whole.id != 0) reports.push_back(buildRunReport(whole, &plan));
  }
  if (err.IsError()) return cli.fail(err);
  if (format == "html") {
    std::fputs(runHistoryHtml(name, {reports.begin(), reports.end()}).c_str(), stdout);
    return kExitOk;
  }
  return cliPrintList(
      cli, reports, runHistoryJson, "No runs of plan " + name + ".",
      {"RUN", "KIND", "STARTED", "STATE", "PAIRS", "RECOVERY TIME (MAX)"},
      [](const RunReport& r) -> std::vector<std::string> {
        return {std::to_string(r.runId), runKindText(r.workflow), timeText(r.startTime), r.state,
                outcomesText(r.outcomes), figureText(r.recovery)};
      },
      format == "json");
}

}  // namespace

void addPlanReportCommands(Cli& cli, CLI::App* plans) {
  CLI::App* runs = plans->add_subcommand("runs", "List the runs of a plan, newest first");
  auto name = std::make_shared<std::string>();
  runs->add_option("NAME", *name, "Plan name")->required();
  cli.on(runs, [&cli, name] { return listRuns(cli, *name); });

  CLI::App* cmd = plans->add_subcommand(
      "report", "Print one run: what it achieved, each pair's outcome and steps; or a plan's runs");
  auto target = std::make_shared<std::string>();
  auto format = std::make_shared<std::string>();
  auto historyOf = std::make_shared<bool>(false);
  auto last = std::make_shared<int>(kDefaultHistoryRuns);
  cmd->add_option("RUN", *target, "Run id; with --history, a plan name")->required();
  cmd->add_option("--format", *format,
                  "json (a run's default), text (the history's default), or html: a page that "
                  "needs nothing else")
      ->check(CLI::IsMember({"json", "html", "text"}));
  CLI::Option* historyFlag = cmd->add_flag(
      "--history", *historyOf, "The plan's latest runs: recovery time and outcome of each");
  cmd->add_option("--last", *last, "With --history: how many runs")
      ->check(CLI::Range(1, INT_MAX))
      ->needs(historyFlag)
      ->capture_default_str();
  cli.on(cmd, [&cli, target, format, historyOf, last] {
    if (*historyOf) return history(cli, *target, *last, format->empty() ? "text" : *format);
    return report(cli, *target, format->empty() ? "json" : *format);
  });
}

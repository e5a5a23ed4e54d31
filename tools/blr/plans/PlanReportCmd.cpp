// blr plans runs NAME | blr plans report RUN --format json|html: the run
// records of plans, for operators and auditors.
#include <cstdio>
#include <map>
#include <memory>

#include "BLR/BlrPlanDB.h"
#include "Cli.h"
#include "output/CliList.h"
#include "plans/CliPlans.h"
#include "output/CliRecords.h"

namespace {

using Run = BlrPlanDB::Run;
using RunPair = BlrPlanDB::RunPair;

// The steps as the runner wrote them: JSON when they parse, else the text.
Json stepsJson(const std::string& steps) {
  if (steps.empty()) return Json::array();
  Json parsed = Json::parse(steps, nullptr, false);
  return parsed.is_discarded() ? Json(steps) : parsed;
}

Json runToJson(const Run& run) {
  Json pairs = Json::array();
  for (const RunPair& p : run.pairs)
    pairs.push_back(Json{
        {"pair", p.pairId},
        {"group", p.groupNo + 1},
        {"outcome", p.outcome},
        {"started", timeText(p.startTime)},
        {"ended", timeText(p.endTime)},
        {"seconds",
         p.endTime >= p.startTime && p.startTime != 0 ? Json(p.endTime - p.startTime) : Json()},
        {"seqNum", p.seqNum},
        {"lagAtStart", p.lagAtStart},
        {"exitCode", p.exitCode},
        {"error", p.error},
        {"steps", stepsJson(p.steps)}});
  return Json{{"run", run.id},
              {"plan", run.planName},
              {"workflow", run.workflow},
              {"user", run.user},
              {"started", timeText(run.startTime)},
              {"ended", timeText(run.endTime)},
              {"state", run.state},
              {"pairs", pairs}};
}

std::string html(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string cell(const Json& value) {
  if (value.is_string()) return "<td>" + html(value.get<std::string>()) + "</td>";
  if (value.is_null()) return "<td>-</td>";
  return "<td>" + html(cliJsonCompact(value)) + "</td>";
}

// One page, no outside resources: it opens the same anywhere, offline.
std::string runToHtml(const Json& run) {
  std::map<std::string, int> outcomes;
  for (const Json& p : run["pairs"]) ++outcomes[p["outcome"].get<std::string>()];
  std::string summary;
  for (const auto& o : outcomes)
    summary += (summary.empty() ? "" : ", ") + std::to_string(o.second) + " " + html(o.first);
  std::string page =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n<title>Run " +
      std::to_string(run["run"].get<int>()) + " of plan " + html(run["plan"]) +
      "</title>\n<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse}"
      "td,th{border:1px solid #999;padding:4px 8px;text-align:left;vertical-align:top}"
      ".done{background:#e6f4e6}.failed{background:#f8dede}</style></head><body>\n<h1>Run " +
      std::to_string(run["run"].get<int>()) + " of plan " + html(run["plan"]) + "</h1>\n<table>";
  for (const char* key : {"workflow", "user", "started", "ended", "state"})
    page += "<tr><th>" + std::string(key) + "</th>" + cell(run[key]) + "</tr>";
  page += "<tr><th>pairs</th><td>" + (summary.empty() ? "none" : summary) + "</td></tr>";
  page +=
      "</table>\n<h2>Pairs</h2>\n<table><tr><th>group</th><th>pair</th><th>outcome</th>"
      "<th>started</th><th>ended</th><th>seconds</th><th>recovery point</th><th>lag at "
      "start</th><th>exit code</th><th>error</th><th>steps</th></tr>\n";
  for (const Json& p : run["pairs"]) {
    const std::string outcome = p["outcome"].get<std::string>();
    page += "<tr class=\"" + html(outcome) + "\">";
    for (const char* key : {"group", "pair", "outcome", "started", "ended", "seconds", "seqNum",
                            "lagAtStart", "exitCode", "error", "steps"})
      page += cell(p[key]);
    page += "</tr>\n";
  }
  return page + "</table>\n</body></html>\n";
}

int listRuns(const Cli& cli, const std::string& name) {
  std::list<Run> runs;
  CZuError err = BlrPlanDB().getRuns(name, &runs);
  if (err.IsError()) return cli.fail(err);
  return cliPrintList(cli, runs, runToJson, "No runs of plan " + name + ".",
                      {"RUN", "WORKFLOW", "USER", "STARTED", "ENDED", "STATE"},
                      [](const Run& r) -> std::vector<std::string> {
                        return {std::to_string(r.id), r.workflow, r.user, timeText(r.startTime),
                                timeText(r.endTime), r.state};
                      });
}

int report(const Cli& cli, int runId, const std::string& format) {
  Run run;
  CZuError err = BlrPlanDB().getRun(runId, &run);
  if (err.IsError()) return cli.fail(err);
  if (run.id == 0) return cli.failText("No run " + std::to_string(runId), kExitNotFound);
  Json value = runToJson(run);
  if (format == "html")
    std::fputs(runToHtml(value).c_str(), stdout);
  else
    cli.printJson(value);
  return kExitOk;
}

}  // namespace

void addPlanReportCommands(Cli& cli, CLI::App* plans) {
  CLI::App* runs = plans->add_subcommand("runs", "List the runs of a plan, newest first");
  auto name = std::make_shared<std::string>();
  runs->add_option("NAME", *name, "Plan name")->required();
  cli.on(runs, [&cli, name] { return listRuns(cli, *name); });

  CLI::App* cmd = plans->add_subcommand("report", "Print one run: each pair's outcome and timings");
  auto runId = std::make_shared<int>(0);
  auto format = std::make_shared<std::string>("json");
  cmd->add_option("RUN", *runId, "Run id")->required()->check(kPositiveId);
  cmd->add_option("--format", *format, "json, or html: a page that needs nothing else")
      ->check(CLI::IsMember({"json", "html"}));
  cli.on(cmd, [&cli, runId, format] { return report(cli, *runId, *format); });
}

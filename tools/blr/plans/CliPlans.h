// What the plan commands share: a plan's JSON form and reading a plan by name.
#ifndef TOOLS_BLR_CLIPLANS_H
#define TOOLS_BLR_CLIPLANS_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "BLR/BlrPlanDB.h"
#include "Cli.h"
#include "plans/PlanRunner.h"

// The plan a `blr plans create` file describes; the first problem names its
// place ("groups[1].pairs[0]: \"pair\" must be a 32-bit integer").
CZuError planFromJson(const Json& value, BlrPlanDB::Plan* plan);

// Reads plan `name`: 0, or the exit status of a failure already reported
// (kExitNotFound when there is no such plan).
int cliLoadPlan(const Cli& cli, const std::string& name, BlrPlanDB::Plan* plan);

// How the pairs of a plan run ended: a count per outcome.
struct CliPlanTally {
  explicit CliPlanTally(const std::vector<PlanRunner::Result>& results);
  int operator[](PlanRunner::Outcome outcome) const;
  // No pair failed and none was left unstarted.
  bool ok() const;

  std::map<PlanRunner::Outcome, int> count;
};

// The report of run `runId` (blr plans report, blr runs report) in
// `format`: "json", "text" or "html".  Returns the exit status.
int cliRunReport(const Cli& cli, int runId, const std::string& format);

// The plan's pairs as run `run` left them: done before (in `before`),
// done, failed, or not started, in plan order.
std::vector<PlanRunner::Result> cliPlanResultsOf(const BlrPlanDB::Plan& plan,
                                                 const BlrPlanDB::Run& run,
                                                 const std::set<int>& before);

// The pairs' results as the plan commands print them with --json.
Json cliPlanResultsJson(const std::vector<PlanRunner::Result>& results);

#endif  // TOOLS_BLR_CLIPLANS_H

// What the plan commands share: a plan's JSON form and reading a plan by name.
#ifndef TOOLS_BLR_CLIPLANS_H
#define TOOLS_BLR_CLIPLANS_H

#include <map>
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

// The pairs' results as the plan commands print them with --json.
Json cliPlanResultsJson(const std::vector<PlanRunner::Result>& results);

#endif  // TOOLS_BLR_CLIPLANS_H

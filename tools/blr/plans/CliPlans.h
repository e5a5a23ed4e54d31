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

// Records pair `member` of run `runId` as running, with its lag now; `rec`
// receives the record, for the pair's end.
CZuError cliStartRunPair(int runId, const BlrPlanDB::Member& member, int groupNo,
                         BlrPlanDB::RunPair* rec);

// Records the end of pair `rec` in run `runId`: exit status `status`, its
// `error` and `steps` (dropped when too long).  Returns `status`, or 1 with
// `error` set when a pair that ended well could not be recorded: unrecorded,
// it would not count as done when the run resumes.
int cliFinishRunPair(int runId, int status, const std::string& steps, BlrPlanDB::RunPair* rec,
                     std::string* error);

// The pairs' results as the plan commands print them with --json.
Json cliPlanResultsJson(const std::vector<PlanRunner::Result>& results);

#endif  // TOOLS_BLR_CLIPLANS_H

// What the plan commands share: a plan's JSON form and reading a plan by name.
#ifndef TOOLS_BLR_CLIPLANS_H
#define TOOLS_BLR_CLIPLANS_H

#include <string>

#include "BLR/BlrPlanDB.h"
#include "Cli.h"

// The plan a `blr plans create` file describes; the first problem names its
// place ("groups[1].pairs[0]: \"pair\" must be a 32-bit integer").
CZuError planFromJson(const Json& value, BlrPlanDB::Plan* plan);

// Reads plan `name`: 0, or the exit status of a failure already reported
// (kExitNotFound when there is no such plan).
int cliLoadPlan(const Cli& cli, const std::string& name, BlrPlanDB::Plan* plan);

#endif  // TOOLS_BLR_CLIPLANS_H

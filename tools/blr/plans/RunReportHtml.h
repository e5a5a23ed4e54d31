// What the HTML forms of run reports share: the escaping of stored texts and
// the timeline figure.
#ifndef TOOLS_BLR_RUNREPORTHTML_H
#define TOOLS_BLR_RUNREPORTHTML_H

#include <cstddef>
#include <string>

#include "plans/RunReport.h"

// A stored text for a page, as text or attribute value: control characters
// shown as \xNN, markup characters as entities.
std::string htmlText(const std::string& stored);

// Pairs beyond which the timeline shows a density band per group.
constexpr size_t kTimelineRows = 200;

// The run's timeline as inline SVG: a row per pair, grouped in plan order,
// each step a segment coloured by its outcome with a hover text; past
// `rowLimit` pairs a band per group, the slowest and failed pairs listed.
std::string runTimelineHtml(const RunReport& report, size_t rowLimit = kTimelineRows);

#endif  // TOOLS_BLR_RUNREPORTHTML_H

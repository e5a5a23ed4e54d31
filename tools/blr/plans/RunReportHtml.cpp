// The run report and a plan's history as pages for operators and auditors:
// one file each, no script and nothing from elsewhere, so they open the same
// anywhere, offline, and print on A4.
#include "plans/RunReportHtml.h"

#include <algorithm>
#include <cstdio>

#include "output/CliRecords.h"

namespace {

using Pair = RunReport::Pair;
using Figure = RunReport::Figure;

const char kStyle[] = R"(<style>
*{box-sizing:border-box}
body{font:14px/1.4 system-ui,sans-serif;color:#1d1d1d;margin:0 auto;padding:16px 24px;max-width:1280px}
h1{font-size:22px;margin:0 0 12px}h2{font-size:17px;margin:26px 0 8px}
table{border-collapse:collapse;width:100%;table-layout:fixed}
th,td{border:1px solid #c8c8c8;padding:3px 6px;text-align:left;vertical-align:top;overflow-wrap:anywhere}
th{background:#f2f2f2;font-weight:600}
table.fields th{width:12em}
td.num,th.num{text-align:right}
.o-done{color:#1c6b2b}.o-failed{color:#b3261e;font-weight:600}.o-running{color:#8a5a00}
.over{color:#b3261e;font-weight:600}.met{color:#1c6b2b;font-weight:600}
table.steps{margin:0}table.steps td,table.steps th{border-color:#e0e0e0;font-size:13px}
tr.pair-failed>td:first-child{border-left:4px solid #b3261e}
p.note{color:#555;font-size:13px}
svg.timeline,svg.history{display:block;width:100%;height:auto;font-size:11px}
.seg.s-done,.bar.s-done{fill:#3b9a4b}.seg.s-failed,.bar.s-failed{fill:#c8372d}
.seg.s-running,.bar.s-running{fill:#e3a21a}.seg,.bar{fill:#9a9a9a}
.density{fill:#2f6fb5}.group-span{fill:#e9eef6}.group-line{stroke:#555;stroke-width:1}
.tick{stroke:#ddd;stroke-width:1}.tick-label{fill:#555;text-anchor:middle}
.row-label{text-anchor:end;fill:#333}.row-label.s-failed{fill:#b3261e;font-weight:600}
.group-label{font-weight:600;fill:#222}.target{stroke:#b3261e;stroke-dasharray:6 4}
.legend span{margin-right:14px}
@media print{
 @page{size:A4;margin:12mm}
 body{padding:0;max-width:none;font-size:10pt}
 section.group{break-before:page}
 tr{break-inside:avoid}
 th{background:none}
}
</style>
)";

std::string secondsText(int64_t value) { return value >= 0 ? durationText(value) : "-"; }

std::string medianText(const Figure& f) {
  return f.count == 0 ? "-" : decimalText(f.median) + " s";
}

std::string verdict(const Figure& f) {
  if (!f.hasTarget()) return "<td>no target</td>";
  if (f.count == 0) return "<td>no pair done</td>";
  if (f.met()) return "<td class=\"met\">met</td>";
  return "<td class=\"over\">missed: " + std::to_string(f.missed) + " of " +
         std::to_string(f.count) + " pairs over</td>";
}

std::string figureRow(const char* name, const Figure& f) {
  return std::string("<tr><th>") + name + "</th><td class=\"num\">" + secondsText(f.max) +
         "</td><td class=\"num\">" + medianText(f) + "</td><td class=\"num\">" +
         (f.hasTarget() ? durationText(f.target) : "-") + "</td><td class=\"num\">" +
         std::to_string(f.count) + "</td>" + verdict(f) + "</tr>\n";
}

std::string summary(const RunReport& r) {
  std::string html = "<table class=\"fields\">\n";
  auto field = [&](const char* name, const std::string& escaped) {
    html += std::string("<tr><th>") + name + "</th><td>" + escaped + "</td></tr>\n";
  };
  if (r.plan.empty())
    field("Pair", std::to_string(r.pairId));
  else
    field("Plan", htmlText(r.plan) + (r.planKnown ? "" : " (deleted or replaced since: no targets)"));
  field("Kind", htmlText(runKindText(r.workflow)));
  field("Actor", htmlText(r.actor));
  field("Started", timeText(r.startTime));
  field("Ended", r.endTime ? timeText(r.endTime) : "still running");
  field("Duration", secondsText(r.durationSecs()));
  field("State", htmlText(r.state));
  field("Pairs", htmlText(outcomesText(r.outcomes)));
  return html + "</table>\n";
}

std::string achieved(const RunReport& r) {
  return "<h2>What the run achieved</h2>\n<table class=\"figures\"><tr><th></th><th "
         "class=\"num\">Max</th><th class=\"num\">Median</th><th class=\"num\">Target</th><th "
         "class=\"num\">Pairs done</th><th>Result</th></tr>\n" +
         figureRow("Recovery time", r.recovery) + figureRow("Recovery point", r.recoveryPoint) +
         "</table>\n<p class=\"note\">Recovery time: from the start of the run until the pair "
         "was done, its recovery VM up. Recovery point: the pair's replication lag when it "
         "started. Only pairs that are done count.</p>\n";
}

// A pair's figure against a target: "45 s", "90 s (over 60 s)".
std::string againstTarget(int64_t value, int target) {
  if (value < 0) return "<td class=\"num\">-</td>";
  if (target > 0 && value > target)
    return "<td class=\"num over\">" + durationText(value) + " (over " + durationText(target) +
           ")</td>";
  return "<td class=\"num\">" + durationText(value) + "</td>";
}

std::string stepsTable(const Pair& p) {
  std::string html;
  bool errorShown = p.error.empty();
  if (!p.steps.empty()) {
    html +=
        "<table class=\"steps\"><colgroup><col style=\"width:38%\"><col style=\"width:12%\">"
        "<col style=\"width:12%\"><col style=\"width:13%\"><col></colgroup><tr><th>Step</th>"
        "<th class=\"num\">Start</th><th class=\"num\">Seconds</th><th>Outcome</th>"
        "<th>Error</th></tr>\n";
    for (size_t i = 0; i < p.steps.size(); ++i) {
      const RunReport::Step& s = p.steps[i];
      // The pair's error belongs to its failed step, else to its last.
      const bool errorHere = !errorShown && (s.outcome == "failed" || i + 1 == p.steps.size());
      char times[64];
      std::snprintf(times, sizeof times, "<td class=\"num\">+%.1f</td><td class=\"num\">%.1f</td>",
                    s.start, s.seconds);
      html += "<tr><td>" + htmlText(s.title) + "</td>" + times + "<td class=\"o-" +
              htmlText(s.outcome) + "\">" + htmlText(s.outcome) + "</td><td>" +
              (errorHere ? htmlText(p.error) : "") + "</td></tr>\n";
      errorShown = errorShown || errorHere;
    }
    html += "</table>";
  } else {
    html += p.startTime ? "no steps recorded" : "";
  }
  if (!errorShown) html += "<p class=\"o-failed\">" + htmlText(p.error) + "</p>";
  return html;
}

std::string groupSection(const RunReport& r, const RunReport::Group& g) {
  std::string html = "<section class=\"group\" data-group=\"" + std::to_string(g.groupNo + 1) +
                     "\"><h2>Group " + std::to_string(g.groupNo + 1) + "</h2>\n<p>" +
                     std::to_string(g.pairs.size()) + " pairs, " +
                     (g.parallelism > 0 ? "at most " + std::to_string(g.parallelism) + " at once"
                                        : "parallelism unknown") +
                     ".</p>\n";
  html +=
      "<table class=\"pairs\"><colgroup><col style=\"width:7%\"><col style=\"width:10%\">"
      "<col style=\"width:12%\"><col style=\"width:12%\"><col></colgroup><tr><th>Pair</th>"
      "<th>Outcome</th><th class=\"num\">Recovery time</th><th class=\"num\">Recovery "
      "point</th><th>Steps</th></tr>\n";
  for (const Pair& p : g.pairs)
    html += "<tr class=\"pair-" + htmlText(p.outcome == "failed" ? "failed" : "other") +
            "\" data-pair=\"" + std::to_string(p.pairId) + "\"><td>" + std::to_string(p.pairId) +
            "</td><td class=\"o-" + htmlText(p.outcome) + "\">" + htmlText(p.outcome) + "</td>" +
            againstTarget(p.recoverySecs, r.recovery.target) +
            againstTarget(p.recoveryPointSecs, r.recoveryPoint.target) + "<td>" + stepsTable(p) +
            "</td></tr>\n";
  return html + "</table></section>\n";
}

// The timeline's colours, drawn with its own classes.
std::string legend() {
  std::string html = "<p class=\"legend\">";
  for (const char* o : {"done", "failed", "running", "unfinished"})
    html += std::string("<span><svg width=\"12\" height=\"10\"><rect class=\"seg s-") + o +
            "\" width=\"12\" height=\"10\"/></svg> " + o + "</span>";
  return html + "</p>\n";
}

std::string pageHead(const std::string& title) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<meta "
         "name=\"viewport\" content=\"width=device-width\">\n<title>" +
         title + "</title>\n" + kStyle + "</head><body>\n<h1>" + title + "</h1>\n";
}

// A run's state as the chart colours it.
std::string stateClass(const std::string& state) {
  return state == "done" || state == "failed" || state == "running" ? state : "other";
}

// The history chart: a bar per run, oldest first, its height the run's
// longest recovery time, its colour the run's state; the target dashed.
std::string historyChart(const std::vector<RunReport>& runs) {
  constexpr double kLeft = 60, kRight = 1190, kTop = 14, kBottom = 210;
  double top = 1;
  for (const RunReport& r : runs)
    top = std::max(
        {top, static_cast<double>(r.recovery.max), static_cast<double>(r.recovery.target)});
  top *= 1.1;
  const double slot = (kRight - kLeft) / std::max<size_t>(runs.size(), 1);
  auto y = [&](double v) { return kBottom - (kBottom - kTop) * v / top; };
  char buf[256];
  std::string svg =
      "<svg class=\"history\" role=\"img\" "
      "viewBox=\"0 0 1200 240\"><title>Longest recovery time per run</title>";
  std::snprintf(buf, sizeof buf,
                "<line class=\"group-line\" x1=\"%g\" x2=\"%g\" y1=\"%g\" y2=\"%g\"/>", kLeft,
                kRight, kBottom, kBottom);
  svg += buf;
  std::snprintf(buf, sizeof buf, "<text class=\"tick-label\" x=\"%g\" y=\"%g\">%s</text>",
                kLeft / 2, kTop + 4, durationText(static_cast<int64_t>(top)).c_str());
  svg += buf;
  for (size_t i = 0; i < runs.size(); ++i) {
    const RunReport& r = runs[runs.size() - 1 - i];
    const double value = std::max<double>(0, r.recovery.max);
    const std::string cls = "bar s-" + stateClass(r.state);
    std::snprintf(buf, sizeof buf,
                  "<rect class=\"%s\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\">",
                  cls.c_str(), kLeft + slot * i + slot * 0.15, y(value), slot * 0.7,
                  std::max(1.0, kBottom - y(value)));
    svg += buf;
    svg += "<title>Run " + std::to_string(r.runId) + ", " + htmlText(runKindText(r.workflow)) +
           ", " + timeText(r.startTime) + ": " + htmlText(r.state) + ", longest recovery " +
           secondsText(r.recovery.max) + "</title></rect>";
    std::snprintf(buf, sizeof buf, "<text class=\"tick-label\" x=\"%.1f\" y=\"%g\">%d</text>",
                  kLeft + slot * (i + 0.5), kBottom + 16, r.runId);
    svg += buf;
  }
  const int target = runs.empty() ? 0 : runs.front().recovery.target;
  if (target > 0) {
    std::snprintf(buf, sizeof buf,
                  "<line class=\"target\" x1=\"%g\" x2=\"%g\" y1=\"%.1f\" y2=\"%.1f\"/><text "
                  "class=\"tick-label\" x=\"%g\" y=\"%.1f\">target %s</text>",
                  kLeft, kRight, y(target), y(target), kLeft / 2, y(target) + 4,
                  durationText(target).c_str());
    svg += buf;
  }
  return svg + "</svg>\n";
}

}  // namespace

std::string htmlText(const std::string& stored) {
  std::string out;
  for (char c : cliTerminalText(stored)) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string runReportHtml(const RunReport& r) {
  std::string page = pageHead("Run " + std::to_string(r.runId) + " of " + htmlText(r.target()));
  page += summary(r) + achieved(r);
  page += "<h2>Timeline</h2>\n" + runTimelineHtml(r) + legend();
  for (const RunReport::Group& g : r.groups) page += groupSection(r, g);
  return page + "</body></html>\n";
}

std::string runHistoryHtml(const std::string& plan, const std::vector<RunReport>& runs) {
  std::string page = pageHead("Runs of plan " + htmlText(plan));
  if (runs.empty()) return page + "<p>No runs.</p>\n</body></html>\n";
  page += "<h2>Longest recovery time per run</h2>\n" + historyChart(runs);
  page +=
      "<table class=\"runs\"><tr><th>Run</th><th>Kind</th><th>Started</th><th>Actor</th>"
      "<th>State</th><th>Pairs</th><th class=\"num\">Recovery time "
      "(max)</th><th>Target</th></tr>\n";
  for (const RunReport& r : runs)
    page += "<tr><td>" + std::to_string(r.runId) + "</td><td>" + htmlText(runKindText(r.workflow)) +
            "</td><td>" + timeText(r.startTime) + "</td><td>" + htmlText(r.actor) + "</td><td>" +
            htmlText(r.state) + "</td><td>" + htmlText(outcomesText(r.outcomes)) +
            "</td><td class=\"num\">" + secondsText(r.recovery.max) + "</td>" +
            verdict(r.recovery) + "</tr>\n";
  return page + "</table>\n</body></html>\n";
}

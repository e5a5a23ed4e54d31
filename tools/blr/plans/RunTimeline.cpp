// The timeline of a run as inline SVG.  Coordinates are in a 1200-wide view
// box that the page scales to its width, so the figure never scrolls
// sideways; colours come from the page's classes (s-done, s-failed, ...).
#include <algorithm>
#include <cstdio>

#include "plans/RunReportHtml.h"

namespace {

using Pair = RunReport::Pair;
using Group = RunReport::Group;

constexpr double kWidth = 1200, kPlotLeft = 110, kPlotRight = 1165;  // room for the last tick label
constexpr double kAxisHeight = 26, kHeaderHeight = 22, kRowHeight = 14, kBandHeight = 28;
constexpr int kBins = 120;
constexpr size_t kListed = 10;  // slowest pairs listed per collapsed group

std::string num(double value) { return decimalText(value); }

std::string secs(double value) { return num(value) + " s"; }

// An outcome as a class name: letters only, anything else a dash.
std::string outcomeClass(const std::string& outcome) {
  std::string name;
  for (char c : outcome) name += (c >= 'a' && c <= 'z') ? c : '-';
  return "s-" + name;
}

class Timeline {
 public:
  explicit Timeline(const RunReport& r) : r_(r) {
    const double span = std::max(1.0, r.spanSecs());
    scale_ = (kPlotRight - kPlotLeft) / span;
    span_ = span;
  }

  double x(double offset) const { return kPlotLeft + offset * scale_; }

  // Where a started pair's row ends: its recorded end (whole seconds) or its
  // last step's, whichever is later; the timeline's end while it runs.
  double pairEnd(const Pair& p) const {
    if (p.endTime == 0) return span_;
    double end = r_.offset(p.endTime);
    for (const RunReport::Step& s : p.steps)
      end = std::max(end, r_.offset(p.startTime) + s.start + s.seconds);
    return end;
  }

  void rect(double from, double seconds, double top, double height, const std::string& cls,
            const std::string& title, const std::string& extra = "") {
    out_ += "<rect class=\"" + cls + "\" x=\"" + num(x(from)) + "\" y=\"" + num(top) +
            "\" width=\"" + num(std::max(1.5, seconds * scale_)) + "\" height=\"" + num(height) +
            "\"" + extra + "><title>" + title + "</title></rect>";
  }

  void text(double px, double py, const std::string& cls, const std::string& escaped) {
    out_ += "<text class=\"" + cls + "\" x=\"" + num(px) + "\" y=\"" + num(py) + "\">" + escaped +
            "</text>";
  }

  // Ticks at a round step, about ten across.
  void axis() {
    static const double kSteps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200};
    double step = kSteps[sizeof kSteps / sizeof kSteps[0] - 1];
    for (double s : kSteps)
      if (span_ / s <= 10) {
        step = s;
        break;
      }
    for (double t = 0; t <= span_ + 1e-9; t += step) {
      out_ += "<line class=\"tick\" x1=\"" + num(x(t)) + "\" x2=\"" + num(x(t)) + "\" y1=\"" +
              num(kAxisHeight - 4) + "\" y2=\"" + num(height_) + "\"/>";
      text(x(t), kAxisHeight - 8, "tick-label", "+" + durationText(static_cast<int64_t>(t)));
    }
  }

  // The group's header row: its number and parallelism, and the time
  // it ran as a shaded span.
  void header(const Group& g, double top) {
    double first = -1, last = 0;
    for (const Pair& p : g.pairs) {
      if (p.startTime == 0) continue;
      const double start = r_.offset(p.startTime);
      first = first < 0 ? start : std::min(first, start);
      last = std::max(last, pairEnd(p));
    }
    out_ += "<g class=\"group-head\" data-group=\"" + std::to_string(g.groupNo + 1) + "\">";
    out_ += "<line class=\"group-line\" x1=\"0\" x2=\"" + num(kWidth) + "\" y1=\"" + num(top) +
            "\" y2=\"" + num(top) + "\"/>";
    std::string label = "Group " + std::to_string(g.groupNo + 1) + " · ";
    label += g.parallelism > 0 ? "at most " + std::to_string(g.parallelism) + " at once"
                               : "parallelism unknown";
    if (first >= 0)
      rect(first, last - first, top + 3, kHeaderHeight - 6, "group-span",
           htmlText(label) + ": " + secs(first) + " to " + secs(last));
    text(4, top + 15, "group-label", htmlText(label));
    out_ += "</g>";
  }

  void row(const Pair& p, double top) {
    out_ += "<g class=\"row\" data-pair=\"" + std::to_string(p.pairId) + "\">";
    text(kPlotLeft - 6, top + 11, "row-label " + outcomeClass(p.outcome),
         "pair " + std::to_string(p.pairId));
    const std::string who = "pair " + std::to_string(p.pairId);
    if (p.startTime != 0) {
      const double start = r_.offset(p.startTime);
      if (p.steps.empty()) {
        const double end = pairEnd(p);
        rect(start, end - start, top + 2, kRowHeight - 4, "seg " + outcomeClass(p.outcome),
             who + ": " + htmlText(p.outcome) + ", " + secs(end - start));
      }
      for (const RunReport::Step& s : p.steps)
        rect(start + s.start, s.seconds, top + 2, kRowHeight - 4, "seg " + outcomeClass(s.outcome),
             who + " · " + htmlText(s.title) + ": " + htmlText(s.outcome) + ", " + secs(s.seconds) +
                 " from +" + secs(start + s.start));
    }
    out_ += "</g>";
  }

  // The group in one band: per time slice, how many of its pairs ran,
  // against its parallelism; failed pairs marked where they ended.
  void band(const Group& g, double top) {
    const double width = span_ / kBins;
    std::vector<int> running(kBins, 0);
    for (const Pair& p : g.pairs) {
      if (p.startTime == 0) continue;
      const double start = r_.offset(p.startTime), end = pairEnd(p);
      for (int b = std::max(0, static_cast<int>(start / width)); b < kBins && b * width <= end; ++b)
        ++running[b];
    }
    // Shaded against the parallelism, or the busiest slice when it is not known.
    const int cap = std::max(
        1, g.parallelism > 0 ? g.parallelism : *std::max_element(running.begin(), running.end()));
    out_ += "<g class=\"band\" data-group=\"" + std::to_string(g.groupNo + 1) + "\">";
    for (int b = 0; b < kBins; ++b) {
      if (running[b] == 0) continue;
      const double opacity = std::min(1.0, 0.15 + 0.85 * running[b] / cap);
      rect(b * width, width, top + 2, kBandHeight - 4, "density",
           std::to_string(running[b]) + " pairs running from +" + secs(b * width),
           " fill-opacity=\"" + num(opacity) + "\"");
    }
    for (const Pair& p : g.pairs)
      if (p.outcome == "failed" && p.startTime != 0)
        rect(pairEnd(p), 0, top, kBandHeight, "seg s-failed",
             "pair " + std::to_string(p.pairId) + " failed");
    out_ += "</g>";
  }

  std::string svg(size_t rowLimit) {
    size_t pairs = 0;
    for (const Group& g : r_.groups) pairs += g.pairs.size();
    const bool collapse = pairs > rowLimit;
    height_ = kAxisHeight;
    for (const Group& g : r_.groups)
      height_ += kHeaderHeight + (collapse ? kBandHeight : kRowHeight * g.pairs.size());
    std::string body;
    std::swap(body, out_);
    double top = kAxisHeight;
    for (const Group& g : r_.groups) {
      header(g, top);
      top += kHeaderHeight;
      if (collapse) {
        band(g, top);
        top += kBandHeight;
        continue;
      }
      for (const Pair& p : g.pairs) {
        row(p, top);
        top += kRowHeight;
      }
    }
    std::swap(body, out_);
    axis();
    return "<svg class=\"timeline\" role=\"img\" viewBox=\"0 0 " + num(kWidth) + " " +
           num(height_) + "\"><title>Timeline of run " + std::to_string(r_.runId) + "</title>" +
           out_ + body + "</svg>\n";
  }

 private:
  const RunReport& r_;
  double scale_ = 1, span_ = 1, height_ = 0;
  std::string out_;
};

double pairSeconds(const Pair& p) {
  return p.startTime && p.endTime > p.startTime ? static_cast<double>(p.endTime - p.startTime) : 0;
}

// The pairs a density band hides that a reader looks for.
std::string collapsedLists(const RunReport& r) {
  std::string html = "<div class=\"collapsed\">\n";
  for (const Group& g : r.groups) {
    std::vector<const Pair*> slow;
    std::string failed;
    for (const Pair& p : g.pairs) {
      if (p.startTime) slow.push_back(&p);
      if (p.outcome == "failed") failed += (failed.empty() ? "" : ", ") + std::to_string(p.pairId);
    }
    std::stable_sort(slow.begin(), slow.end(), [](const Pair* a, const Pair* b) {
      return pairSeconds(*a) > pairSeconds(*b);
    });
    if (slow.size() > kListed) slow.resize(kListed);
    std::string slowest;
    for (const Pair* p : slow)
      slowest += (slowest.empty() ? "" : ", ") + std::string("pair ") + std::to_string(p->pairId) +
                 " (" + secs(pairSeconds(*p)) + ")";
    html += "<p><b>Group " + std::to_string(g.groupNo + 1) +
            "</b>: " + std::to_string(g.pairs.size()) +
            " pairs. Slowest: " + (slowest.empty() ? "-" : slowest) +
            ". Failed: " + (failed.empty() ? "none" : failed) + ".</p>\n";
  }
  return html + "</div>\n";
}

}  // namespace

std::string runTimelineHtml(const RunReport& report, size_t rowLimit) {
  size_t pairs = 0;
  for (const Group& g : report.groups) pairs += g.pairs.size();
  std::string html = Timeline(report).svg(rowLimit);
  if (pairs > rowLimit) html += collapsedLists(report);
  return html;
}

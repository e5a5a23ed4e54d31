// Builds the run report from a run's records and its plan: no server, no clock.
#include "plans/RunReport.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "output/CliProgress.h"

namespace {

using Run = BlrPlanDB::Run;
using RunPair = BlrPlanDB::RunPair;

// The steps as the runner wrote them: [{"title", "result", "seconds"}, ...],
// with "start" (from the pair's start) when the runner gives it; else each
// step starts as the one before ends.  Text that is not such a list is one
// step titled with it, so that nothing recorded is lost.
std::vector<RunReport::Step> parseSteps(const RunPair& p) {
  std::vector<RunReport::Step> steps;
  bool readable = true;
  const std::vector<CliProgress::Step> recorded = CliProgress::stepsFromJson(p.steps, &readable);
  if (!readable) {
    steps.push_back({p.steps, "unfinished", 0, 0});
    return steps;
  }
  double next = 0;
  for (const CliProgress::Step& s : recorded) {
    RunReport::Step step;
    step.title = s.title;
    step.outcome = s.result;
    if (step.outcome.empty()) step.outcome = p.outcome == "running" ? "running" : "unfinished";
    step.start = s.start >= 0 ? s.start : next;
    step.seconds = s.seconds;
    next = step.start + step.seconds;
    steps.push_back(step);
  }
  return steps;
}

RunReport::Pair reportPair(const RunPair& p, uint64_t runStart) {
  RunReport::Pair r;
  r.pairId = p.pairId;
  r.groupNo = p.groupNo;
  r.outcome = p.outcome;
  r.startTime = p.startTime;
  r.endTime = p.endTime;
  r.seqNum = p.seqNum;
  r.lagAtStart = p.lagAtStart;
  r.exitCode = p.exitCode;
  r.error = p.error;
  r.steps = parseSteps(p);
  // A pair is done once its recovery VM is up: a failover powers it on, a
  // drill waits for the test VM to report on.
  if (p.outcome == "done" && p.endTime != 0) {
    r.recoverySecs = p.endTime > runStart ? static_cast<int64_t>(p.endTime - runStart) : 0;
    r.recoveryPointSecs = std::max(0, p.lagAtStart);
  }
  return r;
}

RunReport::Figure figureOf(const std::vector<int64_t>& values, int target) {
  RunReport::Figure f;
  f.target = std::max(0, target);
  std::vector<int64_t> v(values);
  std::sort(v.begin(), v.end());
  f.count = static_cast<int>(v.size());
  if (v.empty()) return f;
  f.max = v.back();
  const size_t mid = v.size() / 2;
  f.median = v.size() % 2 ? static_cast<double>(v[mid]) : (v[mid - 1] + v[mid]) / 2.0;
  if (f.target > 0)
    f.missed = static_cast<int>(
        std::count_if(v.begin(), v.end(), [&](int64_t x) { return x > f.target; }));
  return f;
}

// Places the run's pairs in `report`'s groups, in the plan's order when it
// is known, and adds the plan's pairs the run never reached.  Groups are
// keyed by their number, so a stray one in a record costs one group.
void placePairs(const Run& run, const BlrPlanDB::Plan* plan, RunReport* report) {
  std::map<int, const RunPair*> recorded;
  for (const RunPair& p : run.pairs) recorded[p.pairId] = &p;
  std::map<int, RunReport::Group> groups;
  std::set<int> placed;
  int g = 0;
  for (const BlrPlanDB::Group& group : plan ? plan->groups : std::list<BlrPlanDB::Group>()) {
    RunReport::Group& into = groups[g];
    into.parallelism = group.parallelism;
    for (const BlrPlanDB::Member& m : group.members) {
      auto it = recorded.find(m.pairId);
      if (it != recorded.end() && it->second->groupNo != g) continue;  // placed below
      RunReport::Pair pair;
      if (it != recorded.end()) {
        pair = reportPair(*it->second, run.startTime);
      } else {
        pair.pairId = m.pairId;
        pair.groupNo = g;
        pair.outcome = "not started";
      }
      into.pairs.push_back(pair);
      placed.insert(m.pairId);
    }
    ++g;
  }
  // The records come in group and start order.
  for (const RunPair& p : run.pairs)
    if (!placed.count(p.pairId)) groups[p.groupNo].pairs.push_back(reportPair(p, run.startTime));
  for (auto& entry : groups) {
    entry.second.groupNo = entry.first;
    report->groups.push_back(std::move(entry.second));
  }
}

}  // namespace

// The certificate name that submitted the run; runs recorded before runs
// kept one name the operating-system user.
std::string runActor(const Run& run) { return run.actor.empty() ? run.user : run.actor; }

std::string runKindText(const std::string& workflow) {
  return workflow == "test" ? "test (drill)" : workflow;
}

std::string durationText(int64_t secs) {
  char text[48];
  if (secs < 0) return "-";
  if (secs < 60)
    std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(secs));
  else if (secs < 3600)
    std::snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(secs / 60),
                  static_cast<long long>(secs % 60));
  else
    std::snprintf(text, sizeof text, "%lld h %02lld min", static_cast<long long>(secs / 3600),
                  static_cast<long long>(secs / 60 % 60));
  return text;
}

std::string decimalText(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  std::string s(text);
  return s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0 ? s.substr(0, s.size() - 2) : s;
}

std::string outcomesText(const std::map<std::string, int>& outcomes) {
  std::string text;
  for (const auto& o : outcomes)
    text += (text.empty() ? "" : ", ") + std::to_string(o.second) + " " + o.first;
  return text.empty() ? "none" : text;
}

int64_t RunReport::durationSecs() const {
  if (endTime == 0) return -1;
  return endTime > startTime ? static_cast<int64_t>(endTime - startTime) : 0;
}

double RunReport::offset(uint64_t time) const {
  return time > startTime ? static_cast<double>(time - startTime) : 0;
}

double RunReport::spanSecs() const {
  double span = endTime != 0 ? offset(endTime) : 0;
  for (const Group& g : groups)
    for (const Pair& p : g.pairs) {
      if (p.startTime == 0) continue;
      span = std::max(span, offset(p.endTime != 0 ? p.endTime : p.startTime));
      for (const Step& s : p.steps)
        span = std::max(span, offset(p.startTime) + s.start + s.seconds);
    }
  return span;
}

RunReport buildRunReport(const Run& run, const BlrPlanDB::Plan* plan) {
  RunReport report;
  if (plan && plan->id == 0) plan = nullptr;
  // A plan of the same name stored since is another plan.
  if (plan && plan->id != run.planId) plan = nullptr;
  report.runId = run.id;
  report.plan = run.planName;
  report.pairId = run.pairId;
  report.workflow = run.workflow;
  report.actor = runActor(run);
  report.state = run.state;
  report.startTime = run.startTime;
  report.endTime = run.endTime;
  report.planKnown = plan != nullptr;
  placePairs(run, plan, &report);

  std::vector<int64_t> recovery, point;
  for (const RunReport::Group& g : report.groups) {
    for (const RunReport::Pair& p : g.pairs) {
      ++report.outcomes[p.outcome];
      if (p.recoverySecs >= 0) recovery.push_back(p.recoverySecs);
      if (p.recoveryPointSecs >= 0) point.push_back(p.recoveryPointSecs);
    }
  }
  report.recovery = figureOf(recovery, plan ? plan->rtoSeconds : 0);
  report.recoveryPoint = figureOf(point, plan ? plan->rpoSeconds : 0);
  return report;
}

// The JSON forms of a run report and of a plan's history.  Times are texts
// as elsewhere in blr; figures are seconds, null when there is none.
#include "output/CliRecords.h"
#include "plans/RunReport.h"

namespace {

Json seconds(int64_t value) { return value >= 0 ? Json(value) : Json(); }

Json figureJson(const RunReport::Figure& f) {
  Json target = f.hasTarget() ? Json(f.target) : Json();
  return Json{{"pairs", f.count},
              {"maxSeconds", seconds(f.max)},
              {"medianSeconds", f.count > 0 ? Json(f.median) : Json()},
              {"targetSeconds", target},
              {"met", f.hasTarget() && f.count > 0 ? Json(f.met()) : Json()},
              {"pairsOverTarget", f.hasTarget() ? Json(f.missed) : Json()}};
}

Json stepsJson(const std::vector<RunReport::Step>& steps) {
  Json list = Json::array();
  for (const RunReport::Step& s : steps)
    list.push_back(Json{
        {"title", s.title}, {"result", s.outcome}, {"start", s.start}, {"seconds", s.seconds}});
  return list;
}

Json pairJson(const RunReport::Pair& p) {
  return Json{
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
      {"recoverySeconds", seconds(p.recoverySecs)},
      {"recoveryPointSeconds", seconds(p.recoveryPointSecs)},
      {"steps", stepsJson(p.steps)}};
}

// What a run and its history entry share.
Json headJson(const RunReport& r) {
  return Json{{"run", r.runId},
              {"plan", r.plan},
              {"pair", r.pairId != 0 ? Json(r.pairId) : Json()},
              {"workflow", r.workflow},
              {"actor", r.actor},
              {"started", timeText(r.startTime)},
              {"ended", timeText(r.endTime)},
              {"durationSeconds", seconds(r.durationSecs())},
              {"state", r.state},
              {"outcomes", Json(r.outcomes)},
              {"recoveryTime", figureJson(r.recovery)},
              {"recoveryPoint", figureJson(r.recoveryPoint)}};
}

}  // namespace

Json runReportJson(const RunReport& r) {
  Json value = headJson(r);
  Json groups = Json::array(), pairs = Json::array();
  for (const RunReport::Group& g : r.groups) {
    groups.push_back(Json{{"group", g.groupNo + 1},
                          {"parallelism", g.parallelism > 0 ? Json(g.parallelism) : Json()},
                          {"pairs", g.pairs.size()}});
    for (const RunReport::Pair& p : g.pairs) pairs.push_back(pairJson(p));
  }
  value["groups"] = groups;
  value["pairs"] = pairs;
  return value;
}

Json runHistoryJson(const RunReport& run) { return headJson(run); }

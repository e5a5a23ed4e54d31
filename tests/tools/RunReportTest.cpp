// The run report built from records made here: its figures against the
// plan's targets, the plan's order, and the page's escaping and timeline.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "plans/RunReport.h"
#include "plans/RunReportHtml.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint64_t kStart = 1700000000;

BlrPlanDB::RunPair runPair(int pairId, int groupNo, const std::string& outcome, int from, int to,
                           int lag, const std::string& steps) {
  BlrPlanDB::RunPair p;
  p.pairId = pairId;
  p.groupNo = groupNo;
  p.outcome = outcome;
  p.startTime = kStart + from;
  p.endTime = kStart + to;
  p.lagAtStart = lag;
  p.steps = steps;
  return p;
}

// Plan 5: group 1 of pairs 11 and 12 two at once, group 2 of 21 and 22 one
// at a time, group 3 of 31, which the run never reached.
BlrPlanDB::Plan plan() {
  BlrPlanDB::Plan plan;
  plan.id = 5;
  plan.name = "site <b>";
  plan.rtoSeconds = 100;
  plan.rpoSeconds = 30;
  for (const auto& g :
       std::vector<std::pair<int, std::vector<int>>>{{2, {11, 12}}, {1, {21, 22}}, {1, {31}}}) {
    BlrPlanDB::Group group;
    group.parallelism = g.first;
    for (int id : g.second) {
      BlrPlanDB::Member m;
      m.pairId = id;
      group.members.push_back(m);
    }
    plan.groups.push_back(group);
  }
  return plan;
}

BlrPlanDB::Run run() {
  BlrPlanDB::Run run;
  run.id = 9;
  run.planId = 5;
  run.planName = "site <b>";
  run.workflow = "test";
  run.user = "ops";
  run.startTime = kStart;
  run.endTime = kStart + 200;
  run.state = "failed";
  // As the service gives them: by group, then start.
  run.pairs = {
      runPair(
          12, 0, "done", 0, 40, 10,
          R"([{"title":"Announce","result":"done","seconds":15},{"title":"Power on","result":"done","seconds":25}])"),
      runPair(11, 0, "done", 1, 90, 40, ""),
      runPair(21, 1, "failed", 90, 150, 3,
              R"([{"title":"Boot <i>VM</i>","result":"failed","seconds":60}])"),
      runPair(22, 1, "done", 150, 180, 5,
              R"([{"title":"Power on","result":"done","start":2,"seconds":20}])"),
  };
  run.pairs.back().error = "";
  std::next(run.pairs.begin(), 2)->error = "VM <script>x</script> \x07gone";
  return run;
}

TEST(RunReportTest, FiguresAgainstTargetsInPlanOrder) {
  const BlrPlanDB::Plan p = plan();
  const Json r = runReportJson(buildRunReport(run(), &p));
  EXPECT_EQ(r["actor"], "ops");
  EXPECT_EQ(r["durationSeconds"], 200);
  EXPECT_EQ(r["outcomes"], (Json{{"done", 3}, {"failed", 1}, {"not started", 1}}));
  // Recovery: 12 at +40, 11 at +90, 22 at +180; the failed pair has none.
  EXPECT_EQ(r["recoveryTime"], (Json{{"pairs", 3}, {"maxSeconds", 180}, {"medianSeconds", 90.0},
                                     {"targetSeconds", 100}, {"met", false},
                                     {"pairsOverTarget", 1}}));
  EXPECT_EQ(r["recoveryPoint"], (Json{{"pairs", 3}, {"maxSeconds", 40}, {"medianSeconds", 10.0},
                                      {"targetSeconds", 30}, {"met", false},
                                      {"pairsOverTarget", 1}}));
  EXPECT_EQ(r["groups"], Json::parse(R"([{"group":1,"parallelism":2,"pairs":2},
                                         {"group":2,"parallelism":1,"pairs":2},
                                         {"group":3,"parallelism":1,"pairs":1}])"));
  std::vector<int> order;
  for (const Json& pair : r["pairs"]) order.push_back(pair["pair"]);
  EXPECT_EQ(order, (std::vector<int>{11, 12, 21, 22, 31}));
  EXPECT_EQ(r["pairs"][2]["recoverySeconds"], nullptr);
  EXPECT_EQ(r["pairs"][4]["outcome"], "not started");
  // Steps without a start follow each other; a given start is kept.
  EXPECT_EQ(r["pairs"][1]["steps"][1],
            (Json{{"title", "Power on"}, {"result", "done"}, {"start", 15.0}, {"seconds", 25.0}}));
  EXPECT_EQ(r["pairs"][3]["steps"][0]["start"], 2.0);
}

// The page's escaping and rows: PlansCliTest and the run report's browser test.
TEST(RunReportTest, PageEscapesStoredTextsAndCollapsesLongTimelines) {
  const BlrPlanDB::Plan p = plan();
  const RunReport report = buildRunReport(run(), &p);
  EXPECT_THAT(runReportHtml(report), HasSubstr("VM &lt;script&gt;x&lt;/script&gt; \\x07gone"));
  const std::string collapsed = runTimelineHtml(report, 4);
  EXPECT_THAT(collapsed, Not(HasSubstr("class=\"row\"")));
  EXPECT_THAT(collapsed, HasSubstr("<g class=\"band\" data-group=\"2\">"));
  EXPECT_THAT(collapsed, HasSubstr("Slowest: pair 11 (89 s), pair 12 (40 s)."));
  EXPECT_THAT(collapsed, HasSubstr("Failed: 21."));
}

}  // namespace

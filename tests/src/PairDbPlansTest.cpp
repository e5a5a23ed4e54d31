// Recovery plans stored, read back, refused and deleted, end to end through
// the link on both backends.
#include "BLR/BlrPlanDB.h"
#include "support/PairDbTestEnv.h"

namespace {

using PairDbPlansTest = PairDbTest;

BlrPlanDB::Member member(int pairId, int options = 0) {
  BlrPlanDB::Member m;
  m.pairId = pairId;
  m.options = options;
  return m;
}

BlrPlanDB::Group group(int parallelism, std::list<BlrPlanDB::Member> members) {
  BlrPlanDB::Group g;
  g.parallelism = parallelism;
  g.members = std::move(members);
  return g;
}

BlrPlanDB::Plan plan(const std::string& name, std::list<BlrPlanDB::Group> groups) {
  BlrPlanDB::Plan p;
  p.name = name;
  p.healthTimeoutSecs = 120;
  p.groups = std::move(groups);
  return p;
}

TEST_P(PairDbPlansTest, PlansKeepTheirGroupOrderAndOptions) {
  const int a = store(1, 1, 1).id, b = store(1, 2, 1).id, c = store(1, 3, 2).id;
  BlrPlanDB plans;
  // Group and member order differ from pair ID order on purpose.
  BlrPlanDB::Plan site = plan(
      "site-b",
      {group(2, {member(c, BlrPlanDB::PLAN_TO_LATEST), member(a)}),
       group(1, {member(b, BlrPlanDB::PLAN_KEEP_PROD_OFF | BlrPlanDB::PLAN_CONTINUE_ON_ERROR)})});
  site.rtoSeconds = 900;
  site.rpoSeconds = 60;
  int id = 0;
  ASSERT_OK(plans.createPlan(site, &id));
  EXPECT_GT(id, 0);
  ASSERT_OK(plans.createPlan(plan("a-first", {group(1, {member(a)})}), nullptr));

  BlrPlanDB::Plan read;
  ASSERT_OK(plans.getPlan("site-b", &read));
  site.id = id;
  site.created = site.modified = static_cast<uint64_t>(kNow);
  EXPECT_EQ(read, site);

  std::list<BlrPlanDB::Plan> all;
  ASSERT_OK(plans.listPlans(&all));
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all.front().name, "a-first");
  EXPECT_EQ(all.back(), site);

  ASSERT_OK(plans.getPlan("nope", &read));
  EXPECT_EQ(read.id, 0);

  bool found = false;
  ASSERT_OK(plans.delPlan("site-b", &found));
  EXPECT_TRUE(found);
  ASSERT_OK(plans.delPlan("site-b", &found));
  EXPECT_FALSE(found);
  EXPECT_EQ(count("BlrPlanPair", "planId=" + std::to_string(id)), 0);
  EXPECT_EQ(count("BlrPlanGroup", "planId=" + std::to_string(id)), 0);
  ASSERT_OK(plans.listPlans(&all));
  EXPECT_EQ(all.size(), 1u);
}

// Each bad plan is refused with the field it got wrong, and leaves no row.
TEST_P(PairDbPlansTest, BadPlansAreRefusedWholeNamingTheField) {
  const int a = store(1, 1, 1).id, b = store(1, 2, 1).id;
  BlrPlanDB plans;
  ASSERT_OK(plans.createPlan(plan("taken", {group(1, {member(a)})}), nullptr));
  const long long rowsBefore = count("BlrPlanPair") + count("BlrPlanGroup") + count("BlrPlan");

  struct Case {
    BlrPlanDB::Plan plan;
    std::string message;
  };
  BlrPlanDB::Plan noTimeout = plan("t", {group(1, {member(a)})});
  noTimeout.healthTimeoutSecs = 0;
  BlrPlanDB::Plan negativeTarget = plan("r", {group(1, {member(a)})});
  negativeTarget.rpoSeconds = -5;
  const Case cases[] = {
      {plan("", {group(1, {member(a)})}), "name: a plan needs a name"},
      {plan(std::string(128, 'x'), {group(1, {member(a)})}), "name is 128 bytes long; at most 127 are stored"},
      {plan("taken", {group(1, {member(b)})}), "name: plan \"taken\" already exists"},
      {noTimeout, "healthTimeout: must be at least 1"},
      {negativeTarget, "rpoSeconds: must not be negative"},
      {plan("g", {}), "groups: a plan needs at least one group"},
      {plan("e", {group(1, {member(a)}), group(1, {})}), "groups[1].pairs: empty group"},
      {plan("p", {group(0, {member(a)})}), "groups[0].parallelism: must be at least 1"},
      // The unknown pair comes after good ones: nothing before it is kept.
      {plan("u", {group(1, {member(a)}), group(4, {member(b), member(9999)})}),
       "groups[1].pairs[1].pair: no pair 9999"},
      {plan("d", {group(1, {member(a), member(b)}), group(1, {member(a)})}),
       "groups[1].pairs[0].pair: pair " + std::to_string(a) + " is already in groups[0]"},
      {plan("o", {group(1, {member(a, 8)})}), "groups[0].pairs[0].options: unknown option bits 8"},
  };
  for (const Case& c : cases) {
    EXPECT_THAT(plans.createPlan(c.plan, nullptr).Summary(), HasSubstr(c.message));
  }
  EXPECT_EQ(count("BlrPlanPair") + count("BlrPlanGroup") + count("BlrPlan"), rowsBefore);

  // The same pair may be in several plans.
  EXPECT_OK(plans.createPlan(plan("other", {group(1, {member(a)})}), nullptr));
}

BlrPlanDB::RunPair runPair(int pairId, const std::string& outcome) {
  BlrPlanDB::RunPair p;
  p.pairId = pairId;
  p.groupNo = 1;
  p.outcome = outcome;
  p.startTime = 1700000100;
  p.endTime = 1700000160;
  p.seqNum = 1ull << 40;
  p.lagAtStart = 7;
  p.exitCode = outcome == "failed" ? 202 : 0;
  p.error = outcome == "failed" ? "Couldn't power off VM 'db01'" : "";
  p.steps = std::string(BlrPlanDB::kMaxStepsBytes, 's');
  return p;
}

// Runs keep each pair's latest outcome whole, outlive their plan, and are
// listed newest first.
TEST_P(PairDbPlansTest, RunRecordsKeepEachPairsLatestOutcome) {
  const int a = store(1, 1, 1).id, b = store(1, 2, 1).id;
  BlrPlanDB plans;
  ASSERT_OK(plans.createPlan(plan("site", {group(2, {member(a), member(b)})}), nullptr));

  BlrPlanDB::Run run;
  run.planName = "site";
  run.workflow = "failover";
  run.user = "ops";
  ASSERT_OK(plans.createRun(&run));
  EXPECT_GT(run.id, 0);
  EXPECT_EQ(run.state, "running");
  EXPECT_EQ(run.startTime, static_cast<uint64_t>(kNow));

  ASSERT_OK(plans.setRunPair(run.id, runPair(a, "running")));
  ASSERT_OK(plans.setRunPair(run.id, runPair(a, "done")));  // replaces
  ASSERT_OK(plans.setRunPair(run.id, runPair(b, "failed")));
  ASSERT_OK(plans.finishRun(run.id, "failed"));

  BlrPlanDB::Run second = run;
  ASSERT_OK(plans.createRun(&second));
  ASSERT_OK(plans.delPlan("site", nullptr));

  BlrPlanDB::Run read;
  ASSERT_OK(plans.getRun(run.id, &read));
  EXPECT_EQ(read.state, "failed");
  EXPECT_EQ(read.endTime, static_cast<uint64_t>(kNow));
  EXPECT_EQ(read.user, "ops");
  ASSERT_EQ(read.pairs.size(), 2u);
  EXPECT_EQ(read.pairs.front(), runPair(a, "done"));
  EXPECT_EQ(read.pairs.back(), runPair(b, "failed"));

  std::list<BlrPlanDB::Run> runs;
  ASSERT_OK(plans.getRuns("site", &runs));
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs.front().id, second.id);
  EXPECT_TRUE(runs.front().pairs.empty());
  ASSERT_OK(plans.getRun(9999, &read));
  EXPECT_EQ(read.id, 0);

  // Refused: no such plan or run, texts beyond their columns.
  BlrPlanDB::Run orphan;
  orphan.planName = "site";
  orphan.workflow = "test";
  EXPECT_THAT(plans.createRun(&orphan).Summary(), HasSubstr("plan: no plan \"site\""));
  EXPECT_THAT(plans.setRunPair(9999, runPair(a, "done")).Summary(), HasSubstr("run: no run 9999"));
  EXPECT_THAT(plans.finishRun(9999, "done").Summary(), HasSubstr("run: no run 9999"));
  BlrPlanDB::RunPair tooLong = runPair(a, "done");
  tooLong.steps += "s";
  EXPECT_THAT(plans.setRunPair(run.id, tooLong).Summary(), HasSubstr("steps is 16384 bytes long; at most 16383 are stored"));
  ASSERT_OK(plans.getRun(run.id, &read));
  EXPECT_EQ(read.pairs.front(), runPair(a, "done"));
}

BLR_SQL_BACKENDS(PairDbPlansTest);

}  // namespace

// Recovery plans stored, read back, refused and deleted, end to end through
// the link on both backends.
#include <map>
#include <thread>
#include <vector>

#include "BLR/BlrPlanDB.h"
#include "BLR/BlrRetention.h"
#include "host/config/DWPlatformInfo.h"
#include "host/link/DwLink.h"
#include "host/log/EvEvent.h"
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

// Listed by name, and unknown names: PlansCliTest.PlanFilesAreChecked...
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

  BlrPlanDB::Plan read;
  ASSERT_OK(plans.getPlan("site-b", &read));
  site.id = id;
  site.created = site.modified = static_cast<uint64_t>(kNow);
  EXPECT_EQ(read, site);

  bool found = false;
  ASSERT_OK(plans.delPlan("site-b", &found));
  EXPECT_TRUE(found);
  ASSERT_OK(plans.delPlan("site-b", &found));
  EXPECT_FALSE(found);
  EXPECT_EQ(count("BlrPlanPair", "planId=" + std::to_string(id)), 0);
  EXPECT_EQ(count("BlrPlanGroup", "planId=" + std::to_string(id)), 0);
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
  const Case cases[] = {
      {plan(std::string(128, 'x'), {group(1, {member(a)})}), "name is 128 bytes long; at most 127 are stored"},
      {plan("taken", {group(1, {member(b)})}), "name: plan \"taken\" already exists"},
      {plan("p", {group(0, {member(a)})}), "groups[0].parallelism: must be at least 1"},
      // The unknown pair comes after good ones: nothing before it is kept.
      {plan("u", {group(1, {member(a)}), group(4, {member(b), member(9999)})}),
       "groups[1].pairs[1].pair: no pair 9999"},
      {plan("d", {group(1, {member(a), member(b)}), group(1, {member(a)})}),
       "groups[1].pairs[0].pair: pair " + std::to_string(a) + " is already in groups[0]"},
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
  EXPECT_EQ(run.state, "queued");
  EXPECT_EQ(run.startTime, static_cast<uint64_t>(kNow));

  ASSERT_OK(plans.setRunPair(run.id, runPair(a, "running")));
  ASSERT_OK(plans.setRunPair(run.id, runPair(a, "done")));  // replaces
  ASSERT_OK(plans.setRunPair(run.id, runPair(b, "failed")));
  ASSERT_OK(plans.finishRun(run.id, "failed"));

  BlrPlanDB::Run second = run;
  ASSERT_OK(plans.createRun(&second));
  // Not under a live run; a queued run stops at once.
  EXPECT_THAT(plans.delPlan("site", nullptr).Summary(),
              HasSubstr("run " + std::to_string(second.id) + " of plan \"site\" is live"));
  ASSERT_OK(plans.stopRun(second.id, &second));
  EXPECT_EQ(second.state, "stopped");
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

  // Refused: no such plan or run, texts beyond their columns.
  BlrPlanDB::Run orphan;
  orphan.planName = "site";
  orphan.workflow = "test";
  EXPECT_THAT(plans.createRun(&orphan).Summary(), HasSubstr("plan: no plan \"site\""));
  EXPECT_THAT(plans.setRunPair(9999, runPair(a, "done")).Summary(), HasSubstr("run: no run 9999"));
  BlrPlanDB::RunPair tooLong = runPair(a, "done");
  tooLong.steps += "s";
  EXPECT_THAT(plans.setRunPair(run.id, tooLong).Summary(), HasSubstr("steps is 16384 bytes long; at most 16383 are stored"));
}

BlrPlanDB::Run runOf(const std::string& planName, int pairId, const char* workflow = "failover") {
  BlrPlanDB::Run run;
  run.planName = planName;
  run.pairId = pairId;
  run.workflow = workflow;
  run.user = "ops";
  return run;
}

// A live run holds its pairs: a run that would touch one is refused naming
// the holder.  Runners claim runs under leases; a runner whose lease ran
// out or was taken over learns it and can record nothing more.
TEST_P(PairDbPlansTest, RunsHoldTheirPairsAndRunnersHoldRunsUnderLeases) {
  const int a = store(1, 1, 1).id, b = store(1, 2, 1).id, c = store(1, 3, 1).id;
  BlrPlanDB plans;
  ASSERT_OK(plans.createPlan(plan("site", {group(2, {member(a), member(b)})}), nullptr));
  ASSERT_OK(plans.createPlan(plan("other", {group(1, {member(b), member(c)})}), nullptr));

  BlrPlanDB::Run site = runOf("site", 0, "test");
  ASSERT_OK(plans.createRun(&site));
  EXPECT_FALSE(site.actor.empty());
  BlrPlanDB::Run other = runOf("other", 0);
  EXPECT_THAT(plans.createRun(&other).Summary(),
              HasSubstr("pair " + std::to_string(b) + " is held by run " + std::to_string(site.id) +
                        " (test of plan \"site\", started by " + site.actor + ")"));
  // (A run of one pair is refused so too: RunnerCliTest.ADetachedRunOutlives...)
  BlrPlanDB::Run single = runOf("", c);
  ASSERT_OK(plans.createRun(&single));

  // Oldest first, each to one runner.
  BlrPlanDB::Run claimed;
  ASSERT_OK(plans.claimRun("r1", 10, &claimed));
  EXPECT_EQ(claimed.id, site.id);
  EXPECT_EQ(claimed.state, "running");
  EXPECT_EQ(claimed.leaseUntil, static_cast<uint64_t>(kNow + 10));
  ASSERT_OK(plans.claimRun("r2", 10, &claimed));
  EXPECT_EQ(claimed.id, single.id);
  ASSERT_OK(plans.claimRun("r3", 10, &claimed));
  EXPECT_EQ(claimed.id, 0);
  EXPECT_THAT(plans.claimRun("r3", 10, &claimed, site.id).Summary(),
              HasSubstr("runner r1 holds it for 10 s more"));

  // The lease runs out: another runner takes the run over, and the first
  // learns it from its renewal and is refused what it records.
  clock_.advance(11);
  ASSERT_OK(plans.claimRun("r3", 10, &claimed, site.id));
  EXPECT_EQ(claimed.runner, "r3");
  BlrPlanDB::Run renewed;
  ASSERT_OK(plans.renewLease(site.id, "r1", 10, &renewed));
  EXPECT_EQ(renewed.runner, "r3");
  EXPECT_THAT(plans.setRunPair(site.id, runPair(a, "done"), "r1").Summary(),
              HasSubstr("no longer held by runner r1: runner r3 holds it"));
  EXPECT_THAT(plans.finishRun(site.id, "done", "r1").Summary(), HasSubstr("no longer held"));
  // A runner named gone is taken over whatever its lease.
  ASSERT_OK(plans.claimRun("r4", 10, &claimed, single.id, "r2"));
  EXPECT_EQ(claimed.runner, "r4");

  // Stop: the runner hears of it, ends the run, and the pairs are free.
  // Asked in a runner's process on behalf of the run's actor, the event of
  // the stop names that actor.
  {
    DwLink::ActingFor acting("alice");
    ASSERT_OK(plans.stopRun(site.id, &renewed));
  }
  std::vector<EvEventRecord> events;
  EvEvent::Filter all;
  all.limit = 0;
  ASSERT_OK(EvEvent::list(all, &events));
  int byAlice = 0;
  for (const EvEventRecord& e : events) byAlice += e.actor == "alice";
  EXPECT_EQ(byAlice, 1);
  ASSERT_OK(plans.renewLease(site.id, "r3", 10, &renewed));
  EXPECT_EQ(renewed.stopRequested, 1);
  ASSERT_OK(plans.setRunPair(site.id, runPair(a, "done"), "r3"));
  ASSERT_OK(plans.finishRun(site.id, "stopped", "r3"));
  EXPECT_THAT(plans.createRun(&other).Summary(),
              HasSubstr("pair " + std::to_string(c) + " is held by run " + std::to_string(single.id)));
  ASSERT_OK(plans.finishRun(single.id, "done", "r4"));
  other = runOf("other", 0);
  ASSERT_OK(plans.createRun(&other));

  // Resumed: it holds its pairs again, so not while "other" holds b.
  EXPECT_THAT(plans.resumeRun(site.id, &renewed).Summary(), HasSubstr("is held by run " + std::to_string(other.id)));
  ASSERT_OK(plans.stopRun(other.id, &renewed));
  ASSERT_OK(plans.resumeRun(site.id, &renewed, "r5", 10));
  EXPECT_EQ(renewed.state, "running");
  ASSERT_EQ(renewed.pairs.size(), 1u);  // what it did before

  // Bad input changes nothing.
  EXPECT_THAT(plans.resumeRun(single.id, &renewed).Summary(), HasSubstr("is done: nothing to resume"));
  EXPECT_THAT(plans.claimRun("r6", 0, &claimed).Summary(), HasSubstr("lease: must be 1 to 600 seconds"));
  EXPECT_THAT(plans.finishRun(site.id, "running", "r5").Summary(), HasSubstr("does not end a run"));
  ASSERT_OK(plans.getRun(site.id, &renewed));
  EXPECT_EQ(renewed.runner, "r5");
  EXPECT_EQ(renewed.state, "running");

  // A lease ending further ahead than any lease may (a clock that jumped
  // back) is not honoured; a run whose plan went is not resumed.
  clock_.advance(-(BlrPlanDB::kMaxLeaseSecs + 20));
  ASSERT_OK(plans.claimRun("r7", 10, &claimed));
  EXPECT_EQ(claimed.id, site.id);
  ASSERT_OK(plans.finishRun(site.id, "failed", "r7"));
  ASSERT_OK(plans.delPlan("site", nullptr));
  EXPECT_THAT(plans.resumeRun(site.id, &renewed).Summary(),
              HasSubstr("the plan \"site\" of run " + std::to_string(site.id) + " no longer exists"));
}

// Two submissions of each of five plans at the same moment: exactly one of
// each runs, the other is refused naming it.
TEST_P(PairDbPlansTest, SimultaneousSubmissionsOfOnePlanRunOnce) {
  BlrPlanDB plans;
  for (int i = 0; i < 5; ++i) {
    const int p = store(1, 10 + 2 * i, 1).id, q = store(1, 11 + 2 * i, 1).id;
    ASSERT_OK(plans.createPlan(plan("p" + std::to_string(i), {group(2, {member(p), member(q)})}),
                               nullptr));
  }
  std::vector<BlrPlanDB::Run> runs(10);
  std::vector<CZuError> errs(10);
  std::vector<std::thread> threads;
  for (int i = 0; i < 10; ++i)
    threads.emplace_back([&, i] {
      runs[i] = runOf("p" + std::to_string(i / 2), 0);
      errs[i] = BlrPlanDB().createRun(&runs[i]);
    });
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 10; i += 2) {
    SCOPED_TRACE("plan p" + std::to_string(i / 2));
    ASSERT_NE(errs[i].IsError(), errs[i + 1].IsError());
    const int winner = errs[i].IsError() ? i + 1 : i;
    const int loser = errs[i].IsError() ? i : i + 1;
    EXPECT_THAT(errs[loser].Summary(), HasSubstr("is held by run " + std::to_string(runs[winner].id)));
  }
  std::list<BlrPlanDB::Run> live;
  ASSERT_OK(plans.listRuns("queued", "", 0, &live));
  EXPECT_EQ(live.size(), 5u);
}

// The pruner's bounds, by age and by count, on events, statistics and
// finished runs; a run that has not ended stays whatever its age.
TEST_P(PairDbPlansTest, RetentionDropsWhatIsPastItsBounds) {
  for (const char* key : {"nEventSecs", "nStatsSecs", "nRunSecs"}) DWPlatformInfo::setNumber("Retention", key, 1000);
  DWPlatformInfo::setNumber("Retention", "nEventMax", 5);
  DWPlatformInfo::setNumber("Retention", "nStatsMaxPerPair", 3);
  DWPlatformInfo::setNumber("Retention", "nRunMax", 2);
  const std::string old = std::to_string(kNow - 2000), recent = std::to_string(kNow - 10);
  // Events 1-3 are old; of the seven new ones the count keeps the last five.
  for (int i = 0; i < 10; ++i)
    sql("INSERT INTO APP_Event(time, eventId, severity) VALUES(" + (i < 3 ? old : recent) + ", 7, 1)");
  // Pair 1: two old rows and four new, of which three stay; pair 2 keeps
  // its two new rows; pair 3 loses its only, old, row.
  std::string stats = "INSERT INTO BlrPairStats(pairId, timeStamp) VALUES(1, " + old + "), (1, " + old + ")";
  for (int i = 0; i < 4; ++i) stats += ", (1, " + std::to_string(kNow - 10 + i) + ")";
  stats += ", (2, " + recent + "), (2, " + recent + "), (3, " + old + ")";
  sql(stats, "HistoryDB");
  // Runs: 1 ended long ago; 2 began long ago and runs still; 3, 4 and 5
  // ended lately, and the count keeps 4 and 5.  Run 3 has more pairs than
  // one batch takes.
  const std::string runs[] = {"1, 'a', 1, " + old, "2, 'b', 1, 0", "3, 'c', " + recent + ", " + recent,
                              "4, 'd', " + recent + ", " + recent, "5, 'e', " + recent + ", " + recent};
  for (const std::string& run : runs)
    sql("INSERT INTO BlrPlanRun(id, planName, startTime, endTime) VALUES(" + run + ")");
  std::string pairs = "INSERT INTO BlrPlanRunPair(runId, pairId) VALUES(1, 1), (1, 2), (2, 1), (4, 1)";
  for (int i = 0; i < 1200; ++i) pairs += ", (3, " + std::to_string(i) + ")";
  sql(pairs);

  BlrRetention retention;
  ASSERT_OK(retention.prune());
  EXPECT_EQ(sql("SELECT MIN(id) FROM APP_Event"), 6);
  EXPECT_EQ(count("APP_Event"), 5);
  const std::string newest = std::to_string(kNow - 9);
  EXPECT_EQ(sql("SELECT COUNT(*) FROM BlrPairStats WHERE pairId=1 AND timeStamp >= " + newest, "HistoryDB"), 3);
  EXPECT_EQ(sql("SELECT COUNT(*) FROM BlrPairStats", "HistoryDB"), 5);
  EXPECT_EQ(sql("SELECT COUNT(*) FROM BlrPairStats WHERE pairId=3", "HistoryDB"), 0);
  EXPECT_EQ(count("BlrPlanRun", "id IN (2, 4, 5)"), 3);
  EXPECT_EQ(count("BlrPlanRun"), 3);
  EXPECT_EQ(count("BlrPlanRunPair"), 2);
  std::map<std::string, int64_t> rows;
  for (const BlrTableRows& t : BlrRetention::tableRows()) rows[t.table] = t.rows;
  EXPECT_EQ(rows, (std::map<std::string, int64_t>{
                      {"APP_Event", 5}, {"BlrPairStats", 5}, {"BlrPlanRun", 3}, {"BlrPlanRunPair", 2}}));
  ASSERT_OK(retention.prune());  // nothing more is due
  EXPECT_EQ(count("APP_Event") + count("BlrPlanRun"), 8);
}

BLR_SQL_BACKENDS(PairDbPlansTest);

}  // namespace

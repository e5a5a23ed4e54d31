// The order and parallelism of a plan's pairs, with an action that only
// records when it ran.  Failures stopping later groups or not: PlansCliTest.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "plans/PlanRunner.h"

namespace {

using Clock = std::chrono::steady_clock;
using Outcome = PlanRunner::Outcome;

BlrPlanDB::Plan planOf(const std::vector<std::pair<int, int>>& groups) {
  BlrPlanDB::Plan plan;
  int pairId = 1;
  for (const auto& g : groups) {  // (pairs, parallelism)
    BlrPlanDB::Group group;
    group.parallelism = g.second;
    for (int i = 0; i < g.first; ++i) {
      BlrPlanDB::Member m;
      m.pairId = pairId++;
      group.members.push_back(m);
    }
    plan.groups.push_back(group);
  }
  return plan;
}

// Records each pair's start and end and the most pairs running at once.
class Recorder {
 public:
  PlanRunner::Action action() {
    return [this](const BlrPlanDB::Member& m, int groupNo, BlrCtrlCache& connections,
                  std::string*) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        cacheOf_[{groupNo, std::this_thread::get_id()}].insert(&connections);
        starts_[m.pairId] = Clock::now();
        groupOf_[m.pairId] = groupNo;
        maxRunning_[groupNo] = std::max(maxRunning_[groupNo], ++running_);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      std::lock_guard<std::mutex> lock(mu_);
      --running_;
      ends_[m.pairId] = Clock::now();
      return 0;
    };
  }

  std::mutex mu_;
  std::map<int, Clock::time_point> starts_, ends_;
  std::map<int, int> groupOf_, maxRunning_;
  // Per group (threads are joined, and their ids reused, only between groups).
  std::map<std::pair<int, std::thread::id>, std::set<const BlrCtrlCache*>> cacheOf_;
  int running_ = 0;
};

void noListener(const PlanRunner::Result&, bool) {}

TEST(PlanRunnerTest, GroupsRunInOrderWithinTheirParallelism) {
  const BlrPlanDB::Plan plan = planOf({{10, 8}, {10, 3}, {10, 1}});
  Recorder rec;
  int started = 0, ended = 0;
  std::vector<PlanRunner::Result> results =
      PlanRunner::run(plan, {}, rec.action(), [&](const PlanRunner::Result&, bool begin) {
        ++(begin ? started : ended);  // serialised by the runner
      });
  ASSERT_EQ(results.size(), 30u);
  EXPECT_EQ(started, 30);
  EXPECT_EQ(ended, 30);
  for (const PlanRunner::Result& r : results) EXPECT_EQ(r.outcome, Outcome::kDone) << r.pairId;
  EXPECT_LE(rec.maxRunning_[0], 8);
  EXPECT_GT(rec.maxRunning_[0], 1) << "the first group ran in parallel";
  EXPECT_LE(rec.maxRunning_[1], 3);
  EXPECT_EQ(rec.maxRunning_[2], 1);
  // Each thread keeps one set of connections for all its pairs, its own.
  std::set<std::pair<int, const BlrCtrlCache*>> caches;
  for (const auto& thread : rec.cacheOf_) {
    EXPECT_EQ(thread.second.size(), 1u);
    EXPECT_TRUE(caches.insert({thread.first.first, *thread.second.begin()}).second);
  }
  for (const auto& later : rec.starts_)
    for (const auto& earlier : rec.ends_)
      if (rec.groupOf_[earlier.first] < rec.groupOf_[later.first]) {
        EXPECT_LE(earlier.second, later.second)
            << "pair " << later.first << " started before pair " << earlier.first << " ended";
      }
}

TEST(PlanRunnerTest, PairsDoneBeforeAreSkipped) {
  Recorder rec;
  std::vector<PlanRunner::Result> results =
      PlanRunner::run(planOf({{2, 1}, {2, 1}}), {1, 3}, rec.action(), noListener);
  EXPECT_EQ(results[0].outcome, Outcome::kSkipped);
  EXPECT_EQ(results[2].outcome, Outcome::kSkipped);
  EXPECT_EQ(results[3].outcome, Outcome::kDone);
  EXPECT_EQ(rec.starts_.size(), 2u);
  EXPECT_EQ(rec.starts_.count(1), 0u);
}

}  // namespace

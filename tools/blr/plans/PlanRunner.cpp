#include "plans/PlanRunner.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using Result = PlanRunner::Result;
using Outcome = PlanRunner::Outcome;

// Workers start at most this many at a time: until it has done its first
// pair, a worker sets up its connections, and servers shed handshakes beyond
// a bound per client address.
constexpr size_t kColdWorkers = 8;

// The pairs of one group, taken by its workers one at a time.
struct GroupRun {
  std::vector<const BlrPlanDB::Member*> members;
  std::vector<Result*> results;
  std::atomic<size_t> next{0};
  std::atomic<bool> stopPlan{false};
  std::mutex mu;
  std::condition_variable warmed;
  size_t warm = 0;  // workers past their first pair (or out of pairs)
};

void markWarm(GroupRun& group) {
  std::lock_guard<std::mutex> lock(group.mu);
  ++group.warm;
  group.warmed.notify_all();
}

void worker(GroupRun& group, int groupNo, const PlanRunner::Action& action,
            const PlanRunner::Listener& listener, const PlanRunner::Stopping& stopping,
            std::mutex& listenerMu) {
  bool first = true;
  BlrCtrlCache connections;
  for (size_t i = group.next++; i < group.members.size(); i = group.next++, first = false) {
    if (stopping && stopping()) {
      group.stopPlan = true;
      break;
    }
    const BlrPlanDB::Member& member = *group.members[i];
    Result& result = *group.results[i];
    {
      std::lock_guard<std::mutex> lock(listenerMu);
      listener(result, true);
    }
    std::string error;
    result.exitCode = action(member, groupNo, connections, &error);
    result.outcome = result.exitCode == 0 ? Outcome::kDone : Outcome::kFailed;
    result.error = error;
    if (result.exitCode != 0 && !member.has(BlrPlanDB::PLAN_CONTINUE_ON_ERROR))
      group.stopPlan = true;
    {
      std::lock_guard<std::mutex> lock(listenerMu);
      listener(result, false);
    }
    if (first) markWarm(group);
  }
  if (first) markWarm(group);
}

}  // namespace

std::vector<Result> PlanRunner::run(const BlrPlanDB::Plan& plan, const std::set<int>& done,
                                    const Action& action, const Listener& listener,
                                    const Stopping& stopping) {
  std::vector<Result> results;
  int groupNo = 0;
  for (const BlrPlanDB::Group& g : plan.groups) {
    for (const BlrPlanDB::Member& m : g.members) {
      Result r;
      r.pairId = m.pairId;
      r.groupNo = groupNo;
      r.outcome = done.count(m.pairId) ? Outcome::kSkipped : Outcome::kNotStarted;
      results.push_back(r);
    }
    ++groupNo;
  }
  std::mutex listenerMu;
  size_t first = 0;
  groupNo = 0;
  for (const BlrPlanDB::Group& g : plan.groups) {
    GroupRun group;
    size_t at = first;
    for (const BlrPlanDB::Member& m : g.members) {
      if (results[at].outcome == Outcome::kNotStarted) {
        group.members.push_back(&m);
        group.results.push_back(&results[at]);
      }
      ++at;
    }
    first = at;
    size_t threads =
        std::min(group.members.size(), static_cast<size_t>(std::max(1, g.parallelism)));
    std::vector<std::thread> workers;
    for (size_t i = 0; i < threads; ++i) {
      std::unique_lock<std::mutex> lock(group.mu);
      group.warmed.wait(lock, [&] { return i - group.warm < kColdWorkers; });
      lock.unlock();
      workers.emplace_back(worker, std::ref(group), groupNo, std::cref(action), std::cref(listener),
                           std::cref(stopping), std::ref(listenerMu));
    }
    for (std::thread& t : workers) t.join();
    if (group.stopPlan) break;
    ++groupNo;
  }
  return results;
}

const char* PlanRunner::outcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDone: return "done";
    case Outcome::kFailed: return "failed";
    case Outcome::kSkipped: return "skipped";
    case Outcome::kNotStarted: return "not started";
  }
  return "";
}

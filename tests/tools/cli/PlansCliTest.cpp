// blr plans end to end against a real central server and simulated proxies:
// plan files stored, shown and deleted, bad files refused with the place at
// fault; plans run (groups in order, the parallelism kept, failures stopping
// or not stopping the plan, a killed run resumed), their runs reported, and
// drills.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "CliEnv.h"
#include "host/config/DWPlatformInfo.h"
#include "support/SqlTestDb.h"

namespace {

using Json = CliEnv::Json;
using ::testing::HasSubstr;

// The identifiers the tests give VMs and disks: 32 lower-case hex digits,
// which is also how the simulators key a VM.
std::string guid(int value) {
  char hex[40];
  std::snprintf(hex, sizeof hex, "%032x", value);
  return hex;
}

// The plan of the end-to-end runs: three groups, the middle one large
// enough to keep all its threads busy; smaller under the address sanitizer,
// whose programs are several times slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kGroupSizes[] = {4, 10, 4}, kParallelism = 4;
#else
constexpr int kGroupSizes[] = {6, 18, 6}, kParallelism = 8;
#endif
constexpr int kGroups = 3;
constexpr int kPairs = kGroupSizes[0] + kGroupSizes[1] + kGroupSizes[2];

// The index of group `g`'s first pair among the plan's.
int groupStart(int g) {
  int at = 0;
  for (int i = 0; i < g; ++i) at += kGroupSizes[i];
  return at;
}

// A plan run's closing tally.
std::string tally(size_t done, size_t failed, size_t skipped, size_t notStarted) {
  return std::to_string(done) + " done, " + std::to_string(failed) + " failed, " +
         std::to_string(skipped) + " skipped (done before), " + std::to_string(notStarted) +
         " not started";
}

long long wallMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A VM's key in the simulators from its identifier as the pair database shows it.
std::string vmKey(const Json& dashed) {
  std::string key;
  for (char c : dashed.get<std::string>())
    if (c != '-') key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

class PlansCliTest : public ::testing::Test {
 protected:
  // Both simulators append every request they get to requests.log.
  void SetUp() override {
    env_.startAll("--set sync-delay-ms=300 --set flush-delay-ms=0 --request-log requests.log");
  }

  // A new pair on Head 2 and Tail 3 with one disk; its id.
  int createPair(int seed) {
    const std::string vm = "vm" + std::to_string(seed), g = guid(seed + 0x1000);
    Json pair = env_.json("pairs create --sub-client 7 --dst-client 3 --head 2 --tail 3" +
                          std::string(" --src-name ") + vm + " --src-guid " + g + " --dst-name " +
                          vm + "-dr --disk " + g + ":/vmfs/" + vm + "/disk0.vmdk");
    return pair.value("id", 0);
  }

  // `n` replicating pairs with destinations (so that their workflows can make
  // reverse pairs), imported at once and started; their ids.  Pair i has lag
  // i seconds and recovery VM guid(0x2000 + i).
  std::vector<int> runningPairs(int n) {
    Json records = Json::array();
    for (int i = 0; i < n; ++i) {
      const std::string vm = "vm" + std::to_string(i);
      records.push_back(Json{{"subClientId", 7}, {"dstClientId", 3}, {"headClientId", 2},
                             {"tailClientId", 3}, {"srcName", vm}, {"dstName", vm + "-dr"},
                             {"srcGuid", guid(0x1000 + i)}, {"dstGuid", guid(0x2000 + i)},
                             {"lagTime", i},
                             {"disks", Json::array({Json{{"srcGuid", guid(0x3000 + i)},
                                                         {"dstGuid", guid(0x4000 + i)},
                                                         {"srcPath", "/vmfs/" + vm + "/disk0.vmdk"},
                                                         {"dstPath", "/dr/" + vm}}})}});
    }
    env_.write("pairs.json", records.dump());
    EXPECT_EQ(env_.blr("pairs import pairs.json").code, 0);
    std::vector<int> ids;
    for (const Json& p : env_.json("pairs list")) ids.push_back(p["id"]);
    EXPECT_EQ(ids.size(), static_cast<size_t>(n));
    std::string loop = "for id in";
    for (int id : ids) loop += " " + std::to_string(id);
    CliEnv::Result r =
        env_.run(loop + "; do blr -r cli.reg proxies start $id >/dev/null || exit 1; done");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(env_.awaitStatus(ids, {4}));
    return ids;
  }

  // A plan of the pairs in groups of kGroupSizes, at kParallelism;
  // `options` per pair id, as JSON members ("\"continueOnError\": true").
  void storePlan(const std::string& name, const std::vector<int>& ids,
                 const std::map<int, std::string>& options = {}) {
    std::string text = "{\"name\": \"" + name + "\", \"groups\": [";
    for (int g = 0; g < kGroups; ++g) {
      text += std::string(g ? ", " : "") + "{\"parallelism\": " + std::to_string(kParallelism) +
              ", \"pairs\": [";
      for (int i = 0; i < kGroupSizes[g]; ++i) {
        const int id = ids[groupStart(g) + i];
        auto o = options.find(id);
        text += std::string(i ? ", " : "") + "{\"pair\": " + std::to_string(id) +
                (o == options.end() ? "" : ", " + o->second) + "}";
      }
      text += "]}";
    }
    createPlan(name, text + "]}");
  }

  // Stores plan `name` of one group of `ids` at `parallelism`.
  void storeGroup(const std::string& name, const std::vector<int>& ids, int parallelism) {
    std::string pairs;
    for (int id : ids) pairs += (pairs.empty() ? "" : ", ") + std::to_string(id);
    createPlan(name, "{\"name\": \"" + name + "\", \"groups\": [{\"parallelism\": " +
                         std::to_string(parallelism) + ", \"pairs\": [" + pairs + "]}]}");
  }

  // Stores plan `name` from the plan file `text`.
  void createPlan(const std::string& name, const std::string& text) {
    env_.write(name + ".json", text);
    env_.blr("plans create --file '" + name + ".json'", 0);
  }

  // The report of plan `name`'s run `i` (the latest first).
  Json report(const std::string& name, int i = 0) {
    const int run = env_.json("plans runs '" + name + "'")[i]["run"];
    return env_.json("plans report " + std::to_string(run));
  }

  // Each pair's first and last request to either simulator since `since`
  // (wall-clock microseconds), found by its id or its VMs.
  std::map<int, std::pair<long long, long long>> requestSpans(long long since) {
    std::map<std::string, int> byVm;
    for (const Json& p : env_.json("pairs list")) {
      byVm[vmKey(p["srcGuid"])] = p["id"];
      byVm[vmKey(p["dstGuid"])] = p["id"];
    }
    std::map<int, std::pair<long long, long long>> spans;
    std::istringstream log(env_.read("requests.log"));
    std::string line;
    while (std::getline(log, line)) {
      long long us = 0;
      int msg = 0, op = 0, pair = 0;
      char vm[40] = "";
      if (std::sscanf(line.c_str(), "%lld msg=%d op=%d pair=%d vm=%39s", &us, &msg, &op, &pair,
                      vm) != 5 || us < since)
        continue;
      if (pair == 0 && byVm.count(vm)) pair = byVm[vm];
      if (pair == 0) continue;
      auto it = spans.find(pair);
      if (it == spans.end())
        spans[pair] = {us, us};
      else
        it->second.second = std::max(it->second.second, us);
    }
    return spans;
  }

  // Expects a pair's documented state after a failover (`failedOver`) or
  // once back to normal, with the VMs' power in the simulators.
  void expectState(const Json& pair, bool failedOver, bool productionOn) {
    const int id = pair["id"], status = pair["statusCode"];
    if (failedOver) {
      EXPECT_EQ(status, 16) << id;
      EXPECT_EQ(pair["flags"], 8) << id;
    } else {
      EXPECT_TRUE(status == 3 || status == 4) << id << ": " << status;
      EXPECT_EQ(pair["flags"], 0) << id;
    }
    EXPECT_EQ(env_.vmOn("head1", vmKey(pair["srcGuid"]), true), productionOn) << id;
    EXPECT_EQ(env_.vmOn("tail1", vmKey(pair["dstGuid"]), false), failedOver) << id;
  }

  CliEnv env_;
};

// Each bad file exits 2 with one line naming the field, and stores nothing;
// good ones read back as they were written.
TEST_F(PlansCliTest, PlanFilesAreCheckedStoredShownAndDeleted) {
  const std::string a = std::to_string(createPair(1));
  const struct {
    const char* file;
    std::string text, message;
  } cases[] = {
      {"parse.json", "{\"name\": ", "Couldn't parse parse.json"},
      {"key.json", "{\"name\": \"k\", \"group\": []}", "plan: unknown key \"group\""},
      {"type.json", "{\"name\": \"t\", \"groups\": [{\"pairs\": [{\"pair\": \"" + a + "\"}]}]}",
       "groups[0].pairs[0]: \"pair\" must be a 32-bit integer"},
      {"flag.json",
       "{\"name\": \"f\", \"groups\": [{\"pairs\": [{\"pair\": " + a + ", \"toLatest\": 1}]}]}",
       "groups[0].pairs[0]: \"toLatest\" must be true or false"},
      {"unknown.json", "{\"name\": \"u\", \"groups\": [{\"pairs\": [" + a + ", 4242]}]}",
       "groups[0].pairs[1].pair: no pair 4242"},
      {"noname.json", "{\"groups\": [{\"pairs\": [" + a + "]}]}", "name: a plan needs a name"},
      {"rto.json", "{\"name\": \"r\", \"rtoSeconds\": 0, \"groups\": [{\"pairs\": [" + a + "]}]}",
       "plan: \"rtoSeconds\" must be at least 1"},
      {"long.json",
       "{\"name\": \"" + std::string(200, 'n') + "\", \"groups\": [{\"pairs\": [" + a + "]}]}",
       "name is 200 bytes long; at most 127 are stored"},
  };
  for (const auto& c : cases) {
    env_.write(c.file, c.text);
    CliEnv::Result r = env_.blr(std::string("plans create --file ") + c.file, 2);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.file << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
  }
  EXPECT_EQ(env_.json("plans list"), Json::array());
  EXPECT_EQ(env_.blr("plans create --file missing.json").code, 2);

  // Good files are stored, shown, listed and deleted.
  const int b = createPair(2), c = createPair(3);
  env_.write("site.json", "{\"name\": \"site b\", \"healthTimeout\": 90, \"rtoSeconds\": 600, \"groups\": ["
                          "{\"parallelism\": 2, \"pairs\": [" + std::to_string(b) +
                              ", {\"pair\": " + a + ", \"toLatest\": true}]},"
                              "{\"pairs\": [{\"pair\": " + std::to_string(c) +
                              ", \"keepProductionOff\": true}]}]}");
  EXPECT_THAT(env_.blr("plans create --file site.json", 0).out, HasSubstr("Stored plan site b"));

  Json plan = env_.json("plans show 'site b'");
  EXPECT_EQ(plan["healthTimeout"], 90);
  EXPECT_EQ(plan["rtoSeconds"], 600);
  EXPECT_EQ(plan["rpoSeconds"], nullptr) << "not set";
  ASSERT_EQ(plan["groups"].size(), 2u);
  EXPECT_EQ(plan["groups"][1]["parallelism"], 1) << "the default";
  EXPECT_EQ(plan["groups"][0]["pairs"][0], (Json{{"pair", b}, {"toLatest", false},
                                                 {"keepProductionOff", false},
                                                 {"continueOnError", false}}));
  EXPECT_EQ(plan["groups"][0]["pairs"][1]["toLatest"], true);

  // What --json shows is a plan file: stored again under another name, it reads back the same.
  plan["name"] = "copy";
  createPlan("copy", plan.dump());
  Json copy = env_.json("plans show copy");
  EXPECT_EQ(copy["groups"], plan["groups"]);
  EXPECT_EQ(copy["rtoSeconds"], 600);
  Json list = env_.json("plans list");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["name"], "copy");

  env_.removeOnce("plans delete copy", "plans show copy");
  EXPECT_EQ(env_.json("plans list").size(), 1u);
  EXPECT_EQ(env_.json("pairs list").size(), 3u) << "deleting a plan keeps its pairs";
}

// A drill boots each pair's recovery VM from replicated data, waits for it
// to report on and shuts it down again, group by group: production,
// replication and the pair database are left as they were.  A drill killed
// while its test VMs wait leaves boot VM records that lead test-cleanup and
// the next drill to what must be undone; a test VM that never reports on
// fails its pair with the time-out, and is undone too.
TEST_F(PlansCliTest, DrillsLeaveAllAsItWasEvenInterruptedOrTimedOut) {
  const std::vector<int> ids = runningPairs(2);
  const int a = ids[0], b = ids[1];
  createPlan("d", "{\"name\": \"d\", \"healthTimeout\": 60, \"groups\": [{\"pairs\": [" +
                  std::to_string(a) + "]}, {\"pairs\": [" + std::to_string(b) + "]}]}");
  createPlan("t", "{\"name\": \"t\", \"healthTimeout\": 2, \"groups\": [{\"parallelism\": 2, "
                  "\"pairs\": [{\"pair\": " + std::to_string(a) +
                  ", \"continueOnError\": true}, " + std::to_string(b) + "]}]}");
  const Json pairsBefore = env_.json("pairs list");
  const std::string headBefore = env_.read("head1.state");
  auto leftovers = [&] {
    Json all = Json::array();
    for (int id : {a, b})
      for (const Json& vm : env_.json("bootvms list --pair " + std::to_string(id)))
        all.push_back(vm);
    return all;
  };
  auto nothingLeft = [&](const char* when) {
    EXPECT_EQ(leftovers(), Json::array()) << when;
    const std::string tail = env_.read("tail1.state");
    EXPECT_EQ(tail.find("testboot"), std::string::npos) << when << ": " << tail;
    for (int i : {0, 1}) EXPECT_FALSE(env_.vmOn("tail1", guid(0x2000 + i), false)) << when;
    EXPECT_EQ(env_.json("pairs list"), pairsBefore) << when;
  };

  env_.write("tail1.ctl", "set test-vm-boot-ms 200\n");
  CliEnv::Result r = env_.blr("plans test d", 0);
  EXPECT_THAT(r.out, HasSubstr("2 done, 0 failed, 0 not started"));
  nothingLeft("after the drill");
  EXPECT_EQ(env_.read("head1.state"), headBefore) << "nothing was asked of the Head";
  const std::string tail = env_.read("tail1.state");
  for (int i : {0, 1})
    EXPECT_THAT(tail, HasSubstr("vm " + guid(0x2000 + i) + " off\n")) << "powered on and off";
  ASSERT_EQ(env_.json("plans runs d").size(), 1u);
  Json report = this->report("d");
  EXPECT_EQ(report["workflow"], "test");
  EXPECT_EQ(report["state"], "done");
  ASSERT_EQ(report["pairs"].size(), 2u);
  for (const Json& p : report["pairs"]) {
    EXPECT_EQ(p["outcome"], "done") << p;
    EXPECT_GT(p["seqNum"].get<uint64_t>(), 0u) << "the recovery point booted";
    EXPECT_FALSE(p["steps"].empty()) << p;
    for (const Json& step : p["steps"]) EXPECT_EQ(step["result"], "done") << step;
  }
  EXPECT_EQ(report["pairs"][0]["pair"], a) << "group 1 first";

  env_.write("tail1.ctl", "set test-vm-boot-ms -1\n");  // test VMs never report on
  CliEnv::Result k = env_.blrKilled("plans test t --here", 300, "Waiting for the test VM");
  ASSERT_EQ(k.code, -9) << k.out << k.err;
  ASSERT_FALSE(leftovers().empty()) << k.out;
  EXPECT_NE(env_.read("tail1.state").find("testboot"), std::string::npos);

  // The next drill undoes what the killed one left, then times out on both pairs.
  r = env_.blr("plans test t", 1);
  EXPECT_THAT(r.out, HasSubstr("test boot(s) left by a drill"));
  EXPECT_THAT(r.out, HasSubstr("0 done, 2 failed"));
  nothingLeft("after the timed-out drill");
  Json runs = env_.json("plans runs t");
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0]["state"], "failed");
  EXPECT_EQ(runs[1]["state"], "interrupted");
  report = this->report("t");
  ASSERT_EQ(report["pairs"].size(), 2u);
  for (const Json& p : report["pairs"]) {
    EXPECT_EQ(p["outcome"], "failed");
    EXPECT_NE(p["error"].get<std::string>().find(
                  "The test VM of pair " + std::to_string(p["pair"].get<int>()) +
                  " did not report on within 2 s"),
              std::string::npos)
        << p;
  }
  const Json killedRun = this->report("t", 1);
  for (const Json& p : killedRun["pairs"])
    EXPECT_NE(p["outcome"], "running") << "the killed run's pairs are closed";

  k = env_.blrKilled("plans test t --here", 300, "Waiting for the test VM");
  ASSERT_EQ(k.code, -9) << k.out << k.err;
  ASSERT_FALSE(leftovers().empty());
  r = env_.blr("plans test-cleanup t", 0);
  EXPECT_THAT(r.out, HasSubstr("test boot(s) cleaned up"));
  nothingLeft("after test-cleanup");

  // A Tail that can't end a test boot: the VM is off again, and the record
  // stays for test-cleanup.
  const std::string pa = " " + std::to_string(a);
  env_.write("tail1.ctl", "fault TESTBOOT_CROSSED=fail:5:busy\n");
  r = env_.blr("pairs test" + pa, 1);
  EXPECT_THAT(r.err, HasSubstr("its record is kept"));
  ASSERT_EQ(leftovers().size(), 1u);
  EXPECT_EQ(leftovers()[0]["statusCode"], 5) << "powering off, done";
  EXPECT_FALSE(env_.vmOn("tail1", guid(0x2000), true));
  EXPECT_EQ(env_.blr("pairs test-cleanup" + pa).code, 1) << "the Tail still refuses";
  ASSERT_EQ(env_.run("rm tail1.ctl").code, 0);
  r = env_.blr("pairs test-cleanup" + pa, 0);
  EXPECT_THAT(r.out, HasSubstr("1 test boot(s) cleaned up"));
  nothingLeft("after the pair's test-cleanup");
}

// The groups of a plan's failover run one after the other and never more
// than the parallelism of a group at once (as the simulators saw the
// requests); every pair ends failed over with its recovery point and lag
// recorded, and the plan's cancel brings all back, one production VM kept
// off by its option.  A plan's switch of roles replaces failed-over pairs by
// started reverse pairs.
TEST_F(PlansCliTest, PlanFailoverKeepsGroupOrderAndParallelism) {
  const std::vector<int> ids = runningPairs(kPairs);
  ASSERT_EQ(ids.size(), static_cast<size_t>(kPairs));
  // The first half of each group's parallelism goes to the latest state,
  // whose flush markers take 1.5 s: the other pairs of the group pass by them,
  // and a thread too many would show as one more pair under way.
  const int kept = ids[groupStart(1)];
  std::map<int, std::string> options;
  for (int g = 0; g < kGroups; ++g)
    for (int i = 0; i < kParallelism / 2; ++i)
      options[ids[groupStart(g) + i]] = "\"toLatest\": true";
  options[kept] += ", \"keepProductionOff\": true";
  storePlan("site", ids, options);
  env_.write("head1.ctl", "fault INS_FLUSH_MARKER_REQ=delay:1500\n");
  const long long mark = wallMicros();
  CliEnv::Result r = env_.blr("plans failover site", 0);
  const long long end = wallMicros();
  EXPECT_THAT(r.out, HasSubstr(tally(ids.size(), 0, 0, 0)));
  env_.run("rm head1.ctl");

  std::map<int, std::pair<long long, long long>> spans = requestSpans(mark);
  ASSERT_EQ(spans.size(), ids.size());
  long long previousEnd = 0;
  int most = 0;
  for (int g = 0; g < kGroups; ++g) {
    long long first = end, last = 0;
    std::vector<std::pair<long long, int>> edges;
    for (int i = 0; i < kGroupSizes[g]; ++i) {
      const std::pair<long long, long long>& span = spans[ids[groupStart(g) + i]];
      first = std::min(first, span.first);
      last = std::max(last, span.second);
      edges.push_back({span.first, 1});
      edges.push_back({span.second, -1});
    }
    EXPECT_GT(first, previousEnd) << "group " << g + 1 << " began before the one before ended";
    previousEnd = last;
    std::sort(edges.begin(), edges.end());
    int running = 0;
    for (const auto& edge : edges) most = std::max(most, running += edge.second);
  }
  EXPECT_EQ(most, kParallelism) << "at most the parallelism, and all of it used";

  for (const Json& pair : env_.json("pairs list")) expectState(pair, true, false);
  Json runs = env_.json("plans runs site");
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0]["workflow"], "failover");
  Json report = this->report("site");
  ASSERT_EQ(report["pairs"].size(), ids.size());
  for (const Json& p : report["pairs"]) {
    const int at = static_cast<int>(std::find(ids.begin(), ids.end(), p["pair"]) - ids.begin());
    EXPECT_EQ(p["outcome"], "done");
    EXPECT_EQ(p["group"], at < groupStart(1) ? 1 : at < groupStart(2) ? 2 : 3);
    EXPECT_EQ(p["lagAtStart"], at);
    // The simulated Tail's sequence numbers are microseconds of its clock.
    const long long seq = p["seqNum"];
    EXPECT_TRUE(seq > mark && seq < end) << p["pair"] << ": " << seq;
  }

  r = env_.blr("plans cancel-failover site", 0);
  for (const Json& pair : env_.json("pairs list")) expectState(pair, false, pair["id"] != kept);

  const std::vector<int> swapped(ids.begin(), ids.begin() + 3);
  storeGroup("swap", swapped, 2);
  ASSERT_EQ(env_.blr("plans failover swap").code, 0);
  r = env_.blr("plans switch-roles swap --start", 0);
  for (int id : swapped) EXPECT_EQ(env_.blr("pairs show " + std::to_string(id)).code, 3);
  Json reverse = env_.json("pairs list --flags REVERSE");
  ASSERT_EQ(reverse.size(), swapped.size());
  for (const Json& pair : reverse) {
    const int status = pair["statusCode"];
    EXPECT_TRUE(status == 3 || status == 4) << "started: " << status;
    EXPECT_EQ(pair["headClientId"], 3);
  }
}

// A failing pair (a stopped one) fails alone under continue on error; without
// it the rest of its group finishes and no pair of a later group is touched.
// A run killed while a group is under way is resumed by running it again; a
// finished run is not.  A plan's failback brings its pairs back.
TEST_F(PlansCliTest, PlanFailuresAndAKilledRunResumed) {
  const std::vector<int> ids = runningPairs(kPairs);
  ASSERT_EQ(ids.size(), static_cast<size_t>(kPairs));
  const int bad = ids[1];
  const std::string n = std::to_string(ids.size());
  storePlan("site", ids);
  const std::string coe = "c<o>&e";  // a name the run's page must escape
  storePlan(coe, ids, {{bad, "\"continueOnError\": true"}});
  ASSERT_EQ(env_.blr("proxies stop " + std::to_string(bad)).code, 0);
  ASSERT_TRUE(env_.awaitStatus({bad}, {6}));

  CliEnv::Result r = env_.blr("plans failover '" + coe + "'", 1);
  EXPECT_THAT(r.out, HasSubstr(tally(ids.size() - 1, 1, 0, 0)));
  Json report = this->report(coe);
  for (const Json& p : report["pairs"])
    EXPECT_EQ(p["exitCode"], p["pair"] == bad ? 200 : 0) << p["pair"];
  // The run as a self-contained page, the texts of its records escaped.
  const std::string coeRun = std::to_string(report["run"].get<int>());
  r = env_.blr("plans report " + coeRun + " --format html", 0);
  EXPECT_EQ(r.out.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_THAT(r.out, HasSubstr("of plan c&lt;o&gt;&amp;e</h1>"));
  EXPECT_THAT(r.out, HasSubstr("Can&#39;t failover stopped pair " + std::to_string(bad)));
  EXPECT_EQ(r.out.find("<o>"), std::string::npos);
  EXPECT_EQ(r.out.find("http"), std::string::npos) << "self-contained";
  EXPECT_EQ(env_.blr("plans report 999").code, 3);
  EXPECT_EQ(env_.blr("plans report " + coeRun + " --last 2").code, 2) << "--last needs --history";
  // The plan's history: each run with its outcomes and recovery time.
  Json history = env_.json("plans report '" + coe + "' --history");
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0]["run"], report["run"]);
  EXPECT_EQ(history[0]["outcomes"], (Json{{"done", ids.size() - 1}, {"failed", 1}}));
  EXPECT_EQ(history[0]["recoveryTime"]["pairs"], ids.size() - 1);
  r = env_.blr("plans report '" + coe + "' --history --format html", 0);
  EXPECT_THAT(r.out, HasSubstr("<svg class=\"history\""));
  EXPECT_THAT(r.out, HasSubstr("Runs of plan c&lt;o&gt;&amp;e</h1>"));
  ASSERT_EQ(env_.blr("plans cancel-failover '" + coe + "'").code, 0);

  const long long mark = wallMicros();
  r = env_.blr("plans failover site", 1);
  EXPECT_THAT(r.out, HasSubstr(tally(kGroupSizes[0] - 1, 1, 0, ids.size() - kGroupSizes[0])));
  std::map<int, std::pair<long long, long long>> spans = requestSpans(mark);
  for (size_t i = kGroupSizes[0]; i < ids.size(); ++i) {
    EXPECT_EQ(spans.count(ids[i]), 0u) << ids[i] << " was not to be touched";
    EXPECT_EQ(env_.json("pairs show " + std::to_string(ids[i]))["flags"], 0) << ids[i];
  }

  // Every pause takes 600 ms: the kill comes while the second group runs.
  ASSERT_EQ(env_.blr("proxies start " + std::to_string(bad)).code, 0);
  ASSERT_TRUE(env_.awaitStatus({bad}, {4}));
  env_.write("head1.ctl", "fault PAUSE=delay:600\n");
  CliEnv::Result killed = env_.blrKilled("plans failover site --here", 250, "done in");
  env_.run("rm head1.ctl");
  ASSERT_EQ(killed.code, -9) << killed.out << killed.err;
  Json runs = env_.json("plans runs site");
  ASSERT_EQ(runs.size(), 1u);
  const std::string run = std::to_string(runs[0]["run"].get<int>());
  EXPECT_NE(runs[0]["state"], "done");
  int cut = 0;
  report = env_.json("plans report " + run);
  for (const Json& p : report["pairs"]) cut += p["outcome"] == "running";
  EXPECT_GE(cut, 1) << "some pair was killed in its workflow\n" << killed.out << report.dump(1);

  r = env_.blr("plans failover site", 0);
  EXPECT_THAT(r.out, HasSubstr("run " + run + ", resumed: " + std::to_string(kGroupSizes[0]) +
                               " pairs done before"));
  for (const Json& pair : env_.json("pairs list")) expectState(pair, true, false);
  runs = env_.json("plans runs site");
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0]["state"], "done");
  report = env_.json("plans report " + run);
  ASSERT_EQ(report["pairs"].size(), ids.size());
  for (const Json& p : report["pairs"]) EXPECT_EQ(p["outcome"], "done") << p["pair"];

  // Each failback waits one synchronisation poll: a few pairs at once.
  const std::vector<int> back(ids.begin(), ids.begin() + 3);
  storeGroup("back", back, 3);
  r = env_.blr("plans failback back", 0);
  EXPECT_THAT(r.out, HasSubstr(tally(back.size(), 0, 0, 0)));
  for (const Json& pair : env_.json("pairs list"))
    if (std::count(back.begin(), back.end(), pair["id"].get<int>())) expectState(pair, false, true);
  EXPECT_EQ(env_.blr("plans failback back").code, 1) << "nothing is failed over";
  EXPECT_EQ(env_.json("plans runs back").size(), 2u) << "the finished run is not resumed";
}

// Two central servers on one database carry out the runs handed to them,
// with short leases so that a killed server's runs are taken over soon.
class RunnerCliTest : public PlansCliTest {
 protected:
  void SetUp() override {
    // Each pair's failover to the latest state waits 800 ms on its flush.
    env_.startAll("--set sync-delay-ms=300 --set flush-delay-ms=800",
                  "[Runner]\nnLeaseSecs = 3\nnPollMs = 200\n", 2);
  }

  // The process of the central server whose runner holds run `run`
  // ("runner@HOST:PID"), 0 while none does.
  pid_t holder(const std::string& run) {
    const std::string runner = env_.json("runs show " + run).value("runner", "");
    const size_t colon = runner.rfind(':');
    return runner.rfind("runner@", 0) == 0 && colon != std::string::npos
               ? static_cast<pid_t>(std::stoi(runner.substr(colon + 1)))
               : 0;
  }

  // Kills the central server holding run `run` as a crash would, and waits
  // for the other to take the run over: within the lease (3 s) and 5 s
  // more; the sanitizer's programs start several times slower.  When the
  // kill came.
  std::chrono::steady_clock::time_point killHolder(const std::string& run) {
    const std::string runner = env_.json("runs show " + run)["runner"];
    const pid_t pid = holder(run);
    EXPECT_NE(pid, 0) << runner;
    env_.kill9(pid, false);
    const auto killed = std::chrono::steady_clock::now();
    EXPECT_TRUE(CliEnv::eventually([&] { return env_.json("runs show " + run)["runner"] != runner; }));
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(20));
#else
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(8));
#endif
    return killed;
  }

  // The server carrying a plan's failover out is killed 1 to 3 times at
  // random moments (BLR_RUNNER_SEED repeats a case) and started again each
  // time.  The run ends done with every pair failed over, and at every look
  // no pair has both its VMs on, and none the run has not reached has lost
  // its production VM.
  void killRandomly() {
    const char* given = std::getenv("BLR_RUNNER_SEED");
    const unsigned seed = given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device()();
    SCOPED_TRACE("BLR_RUNNER_SEED=" + std::to_string(seed));
    std::mt19937 rng(seed);
    const int n = 20;
    const std::vector<int> ids = runningPairs(n);
    std::string pairs;
    for (int id : ids) pairs += (pairs.empty() ? "" : ", ") + ("{\"pair\": " + std::to_string(id) + ", \"toLatest\": true}");
    createPlan("site", "{\"name\": \"site\", \"groups\": [{\"parallelism\": 4, \"pairs\": [" + pairs + "]}]}");
    // The VMs are read before the run: a pair the run had not reached then
    // had not been touched, and its production VM must run.
    std::string run;
    auto neverBothOn = [&] {
      std::vector<bool> prod(n), rec(n);
      for (int i = 0; i < n; ++i) {
        prod[i] = env_.vmOn("head1", guid(0x1000 + i), true);
        rec[i] = env_.vmOn("tail1", guid(0x2000 + i), false);
      }
      std::set<int> reached;
      const Json shown = run.empty() ? Json() : env_.json("runs show " + run);
      if (!run.empty())
        for (const Json& p : shown["pairs"]) reached.insert(p["pair"].get<int>());
      for (int i = 0; i < n; ++i) {
        ASSERT_FALSE(prod[i] && rec[i]) << "both VMs of pair " << ids[i] << " run";
        ASSERT_TRUE(prod[i] || reached.count(ids[i]) || run.empty())
            << "pair " << ids[i] << " lost production outside its failover; the run reached "
            << reached.size() << " pairs";
      }
    };
    run = submitted(env_.blr("plans failover site --detach", 0));
    const int kills = 1 + static_cast<int>(rng() % 3);
    for (int k = 0; k < kills; ++k) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300 + rng() % 3000);
      while (std::chrono::steady_clock::now() < until) {
        neverBothOn();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      // The server holding the run: either, or none while the run waits for
      // its next holder.
      if (const pid_t pid = holder(run); env_.serves(pid)) {
        ASSERT_NE(env_.kill9(pid, true), "");
      }
      neverBothOn();
    }
    CliEnv::Result r = env_.blr("runs watch " + run, 0);
    EXPECT_THAT(r.out, HasSubstr("run " + run + ": done"));
    EXPECT_TRUE(env_.awaitStatus(ids, {16})) << "every pair failed over";
    neverBothOn();
    for (int i = 0; i < n; ++i)
      EXPECT_TRUE(env_.vmOn("tail1", guid(0x2000 + i), false)) << "the recovery VM of pair " << ids[i] << " runs";
  }

  // The run number in the last line of a submission ("run N").
  static std::string submitted(const CliEnv::Result& r) {
    const size_t at = r.out.rfind("run ");
    return at == std::string::npos ? "" : r.out.substr(at + 4, r.out.find('\n', at) - at - 4);
  }
};

// A run handed over with --detach goes on without the command that
// submitted it, and past the kill of the server carrying it out: the other
// server takes it over within the lease and 5 s, and finishes it.
// Overlapping runs are refused meanwhile, naming the holder; the actor is
// the certificate name.
TEST_F(RunnerCliTest, ADetachedRunOutlivesItsTerminalAndAKilledServer) {
  const std::vector<int> ids = runningPairs(6);
  std::string pairs;
  for (int id : ids) pairs += (pairs.empty() ? "" : ", ") + ("{\"pair\": " + std::to_string(id) + ", \"toLatest\": true}");
  createPlan("far", "{\"name\": \"far\", \"groups\": [{\"parallelism\": 2, \"pairs\": [" + pairs + "]}]}");
  const std::string run = submitted(env_.blr("plans failover far --detach", 0));
  ASSERT_FALSE(run.empty());
  CliEnv::Result r = env_.blr("failover " + std::to_string(ids[0]), 1);
  EXPECT_THAT(r.err, HasSubstr("is held by run " + run + " (failover of plan \"far\", started by cli)"));
  EXPECT_THAT(env_.blr("plans failover far --detach", 1).err, HasSubstr("run " + run + " is "));

  ASSERT_TRUE(CliEnv::eventually([&] {
    const Json shown = env_.json("runs show " + run);
    for (const Json& p : shown["pairs"])
      if (p["outcome"] == "done") return true;
    return false;
  })) << "the server carries it out\n" << env_.blr("runs show " + run).out;
  const Json before = env_.json("runs show " + run);
  ASSERT_NE(before["state"], "done") << "the kill comes mid-run";
  killHolder(run);
  r = env_.blr("runs watch " + run, 0);
  EXPECT_THAT(r.out, HasSubstr("run " + run + ": done"));
  const Json shown = env_.json("runs show " + run);
  EXPECT_EQ(shown["state"], "done");
  EXPECT_EQ(shown["actor"], "cli");
  EXPECT_EQ(shown["kind"], "failover");
  EXPECT_EQ(shown["pairs"].size(), ids.size());
  for (const Json& p : shown["pairs"]) EXPECT_EQ(p["outcome"], "done") << p.dump();
  EXPECT_TRUE(env_.awaitStatus(ids, {16})) << "every pair failed over";
  r = env_.blr("runs list --state done", 0);
  EXPECT_THAT(r.out, HasSubstr("plan far"));
  // A run of one pair goes the same way; watching it gives the pair's status.
  const std::string single =
      submitted(env_.blr("cancel-failover " + std::to_string(ids[0]) + " --detach", 0));
  ASSERT_FALSE(single.empty());
  EXPECT_EQ(env_.blr("runs watch " + single).code, 0);
  EXPECT_EQ(env_.json("runs show " + single)["pair"], ids[0]);
  const Json report = env_.json("runs report " + single);
  EXPECT_EQ(report["state"], "done");
  ASSERT_EQ(report["pairs"].size(), 1u);
  EXPECT_EQ(report["pairs"][0]["pair"], ids[0]);
  EXPECT_THAT(env_.blr("runs report " + run + " --format html", 0).out, HasSubstr("<html"));
  EXPECT_TRUE(env_.awaitStatus({ids[0]}, {4})) << "the cancel restarted the pair";
  EXPECT_EQ(env_.blr("runs stop " + run).code, 1) << "it has ended";
  EXPECT_EQ(env_.blr("runs show 999").code, 3);
}

TEST_F(RunnerCliTest, RandomKillsOfTheServerNeitherStopNorBreakARun) { killRandomly(); }

// Two central servers on one PostgreSQL database, as above; and the one
// carrying out a 100-pair plan is killed mid-run, and the other takes the
// run over within the lease and 5 s and finishes it.
class RunnerPgCliTest : public RunnerCliTest {
 protected:
  void SetUp() override {
    std::string whyNot;
    if (!db_.setUp(DWSqlBackend::kPostgres, &whyNot)) GTEST_SKIP() << whyNot;
    std::string conninfo;
    DWPlatformInfo().getString("Database", "sPostgresConnInfo", &conninfo);
    env_.startAll("--set sync-delay-ms=300 --set flush-delay-ms=800",
                  "[Runner]\nnLeaseSecs = 3\nnPollMs = 200\n[Database]\nsBackend = postgresql\n"
                  "sPostgresConnInfo = " + conninfo + "\n",
                  2);
  }
  void TearDown() override { db_.tearDown(); }

  SqlTestDb db_;
};

TEST_F(RunnerPgCliTest, RandomKillsOfTheServerNeitherStopNorBreakARun) { killRandomly(); }

TEST_F(RunnerPgCliTest, TheOtherServerFinishesAHundredPairPlanAfterAKill) {
  // Each pair's pause is answered late: the run lasts long enough for the
  // kill to come mid-run, even from the sanitizer's slower commands.
#if defined(__SANITIZE_ADDRESS__)
  const int n = 40, pauseMs = 1000;
#else
  const int n = 100, pauseMs = 200;
#endif
  const std::vector<int> ids = runningPairs(n);
  ASSERT_EQ(ids.size(), static_cast<size_t>(n));
  std::string pairs;
  for (int id : ids) pairs += (pairs.empty() ? "" : ", ") + std::to_string(id);
  createPlan("site", "{\"name\": \"site\", \"groups\": [{\"parallelism\": 2, \"pairs\": [" + pairs + "]}]}");
  env_.write("head1.ctl", "fault PAUSE=delay:" + std::to_string(pauseMs) + "\n");
  const std::string run = submitted(env_.blr("plans failover site --detach", 0));
  ASSERT_FALSE(run.empty());
  ASSERT_TRUE(CliEnv::eventually([&] {
    int done = 0;
    const Json shown = env_.json("runs show " + run);
    for (const Json& p : shown["pairs"]) done += p["outcome"] == "done";
    return done >= 2;
  })) << env_.blr("runs show " + run).out;
  ASSERT_EQ(env_.json("runs show " + run)["state"], "running") << "the kill comes mid-run";
  const auto killed = killHolder(run);
  env_.write("head1.ctl", "");
  EXPECT_EQ(env_.blr("runs watch " + run).code, 0);
  const double finished = std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
  std::printf("taken over and finished %.1f s after the kill\n", finished);
  const Json shown = env_.json("runs show " + run);
  EXPECT_EQ(shown["state"], "done");
  ASSERT_EQ(shown["pairs"].size(), ids.size());
  for (const Json& p : shown["pairs"]) EXPECT_EQ(p["outcome"], "done") << p.dump();
  EXPECT_TRUE(env_.awaitStatus(ids, {16})) << "every pair failed over";
}

}  // namespace

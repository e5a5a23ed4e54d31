// blr plans end to end against a real central server: plan files stored,
// shown and deleted, and bad files refused with the place at fault; plan
// runs and drills.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "BLR/BlrPlanDB.h"
#include "CliEnv.h"
#include "host/DWPlatformInfo.h"
#include "host/DwLinkPool.h"

namespace {

using Json = CliEnv::Json;

// A VM's key in the simulators' state files: its identifier in hex.
std::string vmKey(int value) {
  char hex[40];
  std::snprintf(hex, sizeof hex, "%032x", value);
  return hex;
}

class PlansCliTest : public ::testing::Test {
 protected:
  void SetUp() override { env_.startAll(); }

  // A new pair on Head 2 and Tail 3 with one disk; its id.
  int createPair(int seed) {
    char guid[40];
    std::snprintf(guid, sizeof guid, "%032x", seed + 0x1000);
    Json pair = env_.json(
        "pairs create --sub-client 7 --dst-client 3 --head 2 --tail 3 --src-name vm" +
        std::to_string(seed) + " --src-guid " + guid + " --dst-name vm" + std::to_string(seed) +
        "-dr --disk " + guid + ":/vmfs/vm" + std::to_string(seed) + "/disk0.vmdk");
    return pair.value("id", 0);
  }

  // A pair that replicates (status 4), with destination disks so that its
  // workflows can make reverse pairs.
  int runningPair(int seed) {
    const int id = createPair(seed);
    const std::string p = " " + std::to_string(id);
    Json disk = env_.json("pairs show" + p)["disks"][0];
    char guid[40];
    std::snprintf(guid, sizeof guid, "%032x", seed + 0x2000);
    EXPECT_EQ(env_.blr("pairs set-dest" + p + " --dst-guid " + guid + " --disk " +
                       std::to_string(disk["id"].get<int>()) + "=" + guid + ":/dr/" +
                       std::to_string(seed))
                  .code,
              0);
    EXPECT_EQ(env_.blr("proxies start" + p).code, 0);
    int status = 0;
    for (int i = 0; i < 100 && status != 4; ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      status = env_.json("pairs show" + p)["statusCode"].get<int>();
    }
    EXPECT_EQ(status, 4);
    return id;
  }

  CliEnv env_;
};

TEST_F(PlansCliTest, PlanFilesAreStoredShownListedAndDeleted) {
  const int a = createPair(1), b = createPair(2), c = createPair(3);
  env_.write("site.json",
             "{\"name\": \"site b\", \"healthTimeout\": 90, \"groups\": ["
             "{\"parallelism\": 2, \"pairs\": [" +
                 std::to_string(b) + ", {\"pair\": " + std::to_string(a) +
                 ", \"toLatest\": true, \"continueOnError\": true}]},"
                 "{\"pairs\": [{\"pair\": " +
                 std::to_string(c) + ", \"keepProductionOff\": true}]}]}");
  CliEnv::Result r = env_.blr("plans create --file site.json");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Stored plan site b"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("with 2 groups and 3 pairs"), std::string::npos) << r.out;

  Json plan = env_.json("plans show 'site b'");
  EXPECT_EQ(plan["healthTimeout"], 90);
  ASSERT_EQ(plan["groups"].size(), 2u);
  EXPECT_EQ(plan["groups"][0]["parallelism"], 2);
  EXPECT_EQ(plan["groups"][1]["parallelism"], 1) << "the default";
  EXPECT_EQ(plan["groups"][0]["pairs"][0], (Json{{"pair", b},
                                                 {"toLatest", false},
                                                 {"keepProductionOff", false},
                                                 {"continueOnError", false}}));
  EXPECT_EQ(plan["groups"][0]["pairs"][1], (Json{{"pair", a},
                                                 {"toLatest", true},
                                                 {"keepProductionOff", false},
                                                 {"continueOnError", true}}));
  EXPECT_EQ(plan["groups"][1]["pairs"][0]["keepProductionOff"], true);

  // What --json shows is a plan file: stored again under another name, it reads back the same.
  plan["name"] = "copy";
  env_.write("copy.json", plan.dump());
  ASSERT_EQ(env_.blr("plans create --file copy.json").code, 0);
  Json copy = env_.json("plans show copy");
  EXPECT_EQ(copy["groups"], plan["groups"]);

  r = env_.blr("plans show 'site b'");
  EXPECT_NE(r.out.find("continueOnError"), std::string::npos) << r.out;
  Json list = env_.json("plans list");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["name"], "copy");

  ASSERT_EQ(env_.blr("plans delete copy").code, 0);
  EXPECT_EQ(env_.blr("plans delete copy").code, 3);
  EXPECT_EQ(env_.blr("plans show copy").code, 3);
  EXPECT_EQ(env_.json("plans list").size(), 1u);
  EXPECT_EQ(env_.json("pairs list").size(), 3u) << "deleting a plan keeps its pairs";
}

// Each bad file exits 2 with one line naming the field, and stores nothing.
TEST_F(PlansCliTest, BadPlanFilesAreRefusedNamingTheField) {
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
      {"empty.json", "{\"name\": \"e\", \"groups\": [{\"pairs\": [" + a + "]}, {\"pairs\": []}]}",
       "groups[1].pairs: empty group"},
      {"unknown.json", "{\"name\": \"u\", \"groups\": [{\"pairs\": [" + a + ", 4242]}]}",
       "groups[0].pairs[1].pair: no pair 4242"},
      {"twice.json",
       "{\"name\": \"d\", \"groups\": [{\"pairs\": [" + a + "]}, {\"pairs\": [" + a + "]}]}",
       "groups[1].pairs[0].pair: pair " + a + " is already in groups[0]"},
      {"noname.json", "{\"groups\": [{\"pairs\": [" + a + "]}]}", "name: a plan needs a name"},
  };
  for (const auto& c : cases) {
    env_.write(c.file, c.text);
    CliEnv::Result r = env_.blr(std::string("plans create --file ") + c.file);
    EXPECT_EQ(r.code, 2) << c.file << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.file << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
  }
  EXPECT_EQ(env_.json("plans list"), Json::array());
  EXPECT_EQ(env_.blr("plans create --file missing.json").code, 2);

  // Texts too long to store are refused before anything is sent: with no
  // central server to ask, the field is still named.
  ASSERT_EQ(env_.run("cp cli.reg off.reg && printf '[Link]\\nnServerPort = 1\\n' >>off.reg").code,
            0);
  const std::string group = "\"groups\": [{\"pairs\": [" + a + "]}]";
  env_.write("long.json", "{\"name\": \"" + std::string(200, 'n') + "\", " + group + "}");
  env_.write("short.json", "{\"name\": \"" + std::string(127, 'n') + "\", " + group + "}");
  CliEnv::Result r = env_.run("blr -r off.reg plans create --file long.json");
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_NE(r.err.find("name is 200 bytes long; at most 127 are stored"), std::string::npos)
      << r.err;
  EXPECT_EQ(env_.run("blr -r off.reg plans create --file short.json").code, 1)
      << "the longest name goes on to the server";
  EXPECT_EQ(env_.blr("plans create --file short.json").code, 0);
}

// A plan's failback stops at a failed group and, run again, resumes the
// same run: the pairs it did are skipped.
TEST_F(PlansCliTest, PlanFailbackStopsAtAFailedGroupAndResumes) {
  const int a = runningPair(1), b = runningPair(2), c = runningPair(3);
  for (int id : {a, c}) ASSERT_EQ(env_.blr("failover " + std::to_string(id)).code, 0);
  // b was never failed over: its failback fails and group 2 must not start.
  env_.write("p.json", "{\"name\": \"p\", \"groups\": [{\"parallelism\": 2, \"pairs\": [" +
                           std::to_string(a) + ", " + std::to_string(b) + "]}, {\"pairs\": [" +
                           std::to_string(c) + "]}]}");
  ASSERT_EQ(env_.blr("plans create --file p.json").code, 0);

  CliEnv::Result r = env_.blr("plans failback p");
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("1 done, 1 failed, 0 skipped (done before), 1 not started"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("pair " + std::to_string(a) + ": done in "), std::string::npos) << r.out;
  EXPECT_EQ(env_.json("pairs show " + std::to_string(c))["statusCode"], 16) << "not started";
  Json runs = env_.json("plans runs p");
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0]["state"], "failed");
  const int runId = runs[0]["run"];
  Json report = env_.json("plans report " + std::to_string(runId));
  ASSERT_EQ(report["pairs"].size(), 2u);
  EXPECT_EQ(report["pairs"][1]["outcome"], "failed");
  EXPECT_GE(report["pairs"][1]["exitCode"].get<int>(), 200);
  EXPECT_FALSE(report["pairs"][0]["steps"].empty());

  ASSERT_EQ(env_.blr("failover " + std::to_string(b)).code, 0);
  r = env_.blr("plans failback p");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("run " + std::to_string(runId) + ", resumed: 1 pairs done before"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("2 done, 0 failed, 1 skipped (done before), 0 not started"),
            std::string::npos)
      << r.out;
  for (int id : {a, b, c}) {
    Json pair = env_.json("pairs show " + std::to_string(id));
    int status = pair["statusCode"];
    EXPECT_TRUE(status == 3 || status == 4) << id << ": " << status;  // syncing or running
    EXPECT_EQ(pair["flags"], 0) << id;
  }
  runs = env_.json("plans runs p");
  ASSERT_EQ(runs.size(), 1u) << "resumed, not a new run";
  EXPECT_EQ(runs[0]["state"], "done");
  EXPECT_EQ(env_.json("plans report " + std::to_string(runId))["pairs"].size(), 3u);

  // A finished run is not resumed: the next failback is a run of its own.
  r = env_.blr("plans failback p");
  EXPECT_EQ(env_.json("plans runs p").size(), 2u);
}

// A run recorded as a plan runner does, read back as a list, JSON and an
// HTML page where texts from the records are escaped.
TEST_F(PlansCliTest, RunsAreListedAndReported) {
  const int a = createPair(1), b = createPair(2);
  env_.write("p.json", "{\"name\": \"p\", \"groups\": [{\"pairs\": [" + std::to_string(a) +
                           "]}, {\"pairs\": [" + std::to_string(b) + "]}]}");
  ASSERT_EQ(env_.blr("plans create --file p.json").code, 0);
  EXPECT_NE(env_.blr("plans runs p").out.find("No runs of plan p."), std::string::npos);

  ASSERT_FALSE(DWPlatformInfo::loadRegistryFile(env_.dir + "/cli.reg").IsError());
  BlrPlanDB db;
  BlrPlanDB::Run run;
  run.planName = "p";
  run.workflow = "failover";
  run.user = "ops";
  CZuError err = db.createRun(&run);
  BlrPlanDB::RunPair done, failed;
  done.pairId = a;
  done.outcome = "done";
  done.startTime = 1700000000;
  done.endTime = 1700000042;
  done.seqNum = 77;
  done.steps = "[{\"title\": \"Stopping VM on the Head\", \"seconds\": 1.5}]";
  failed.pairId = b;
  failed.groupNo = 1;
  failed.outcome = "failed";
  failed.exitCode = 202;
  failed.error = "Couldn't power off VM <db01> & co";
  if (!err.IsError()) err = db.setRunPair(run.id, done);
  if (!err.IsError()) err = db.setRunPair(run.id, failed);
  if (!err.IsError()) err = db.finishRun(run.id, "failed");
  DwLinkPool::instance().clear();
  DWPlatformInfo::reset();
  ASSERT_FALSE(err.IsError()) << err.AsString();

  Json runs = env_.json("plans runs p");
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0]["state"], "failed");
  EXPECT_EQ(runs[0]["user"], "ops");

  Json report = env_.json("plans report " + std::to_string(run.id));
  ASSERT_EQ(report["pairs"].size(), 2u);
  EXPECT_EQ(report["pairs"][0]["seconds"], 42);
  EXPECT_EQ(report["pairs"][0]["seqNum"], 77);
  EXPECT_EQ(report["pairs"][0]["steps"][0]["seconds"], 1.5) << "kept as JSON";
  EXPECT_EQ(report["pairs"][1]["group"], 2);
  EXPECT_EQ(report["pairs"][1]["exitCode"], 202);

  CliEnv::Result r = env_.blr("plans report " + std::to_string(run.id) + " --format html");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(r.out.find("1 done, 1 failed"), std::string::npos);
  EXPECT_NE(r.out.find("Couldn&#39;t power off VM &lt;db01&gt; &amp; co"), std::string::npos);
  EXPECT_EQ(r.out.find("<db01>"), std::string::npos);
  EXPECT_EQ(r.out.find("http"), std::string::npos) << "self-contained";

  EXPECT_EQ(env_.blr("plans report 999").code, 3);
  EXPECT_EQ(env_.blr("plans report " + std::to_string(run.id) + " --format pdf").code, 2);
}

// A drill boots each pair's recovery VM from replicated data, waits for it
// to report on and shuts it down again, group by group: production,
// replication and the pair database are left as they were.
TEST_F(PlansCliTest, DrillLeavesProductionReplicationAndThePairDatabaseAsTheyWere) {
  const int a = runningPair(1), b = runningPair(2);
  env_.write("d.json", "{\"name\": \"d\", \"healthTimeout\": 60, \"groups\": [{\"pairs\": [" +
                           std::to_string(a) + "]}, {\"pairs\": [" + std::to_string(b) + "]}]}");
  ASSERT_EQ(env_.blr("plans create --file d.json").code, 0);
  env_.write("tail1.ctl", "set test-vm-boot-ms 200\n");
  const Json pairsBefore = env_.json("pairs list");
  const std::string headBefore = env_.read("head1.state");

  CliEnv::Result r = env_.blr("plans test d");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("2 done, 0 failed, 0 not started"), std::string::npos) << r.out;

  EXPECT_EQ(env_.json("pairs list"), pairsBefore);
  EXPECT_EQ(env_.read("head1.state"), headBefore) << "nothing was asked of the Head";
  const std::string tail = env_.read("tail1.state");
  for (int seed : {1, 2}) {
    EXPECT_NE(tail.find("vm " + vmKey(seed + 0x2000) + " off\n"), std::string::npos)
        << "test VM " << seed << " was powered on and off again: " << tail;
  }
  EXPECT_EQ(tail.find("testboot"), std::string::npos) << tail;
  for (int id : {a, b})
    EXPECT_EQ(env_.json("bootvms list --pair " + std::to_string(id)), Json::array());

  Json runs = env_.json("plans runs d");
  ASSERT_EQ(runs.size(), 1u);
  Json report = env_.json("plans report " + std::to_string(runs[0]["run"].get<int>()));
  EXPECT_EQ(report["workflow"], "test");
  EXPECT_EQ(report["state"], "done");
  ASSERT_EQ(report["pairs"].size(), 2u);
  for (const Json& p : report["pairs"]) {
    EXPECT_EQ(p["outcome"], "done") << p;
    EXPECT_GT(p["seqNum"].get<uint64_t>(), 0u) << "the recovery point booted";
    ASSERT_EQ(p["steps"].size(), 7u) << p;
    EXPECT_EQ(p["steps"][3]["title"], "Waiting for the test VM to report on");
    for (const Json& step : p["steps"]) EXPECT_EQ(step["result"], "done") << step;
  }
  EXPECT_EQ(report["pairs"][0]["pair"], a) << "group 1 first";
}

// A drill killed while its test VMs wait leaves boot VM records that lead
// test-cleanup and the next drill to what must be undone; a test VM that
// never reports on fails its pair with the time-out, and is undone too.
TEST_F(PlansCliTest, InterruptedDrillsAreCleanedUpAndHealthTimeoutsFailTheirPair) {
  const int a = runningPair(1), b = runningPair(2);
  env_.write("t.json", "{\"name\": \"t\", \"healthTimeout\": 2, \"groups\": [{\"parallelism\": 2, "
                           "\"pairs\": [{\"pair\": " + std::to_string(a) +
                           ", \"continueOnError\": true}, " + std::to_string(b) + "]}]}");
  ASSERT_EQ(env_.blr("plans create --file t.json").code, 0);
  const Json pairsBefore = env_.json("pairs list");
  env_.write("tail1.ctl", "set test-vm-boot-ms -1\n");  // test VMs never report on
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
    for (int seed : {1, 2}) EXPECT_FALSE(env_.vmOn("tail1", vmKey(seed + 0x2000), false)) << when;
    EXPECT_EQ(env_.json("pairs list"), pairsBefore) << when;
  };

  CliEnv::Result k = env_.blrKilled("plans test t", 300, "Waiting for the test VM");
  ASSERT_EQ(k.code, -9) << k.out << k.err;
  Json left = leftovers();
  ASSERT_FALSE(left.empty()) << k.out;
  for (const Json& vm : left) {
    EXPECT_EQ(vm["bootType"], 1);
    EXPECT_EQ(vm["disks"].size(), 1u);
  }
  EXPECT_NE(env_.read("tail1.state").find("testboot"), std::string::npos);

  // The next drill undoes what the killed one left, then times out on both pairs.
  CliEnv::Result r = env_.blr("plans test t");
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("test boot(s) left by a drill"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("0 done, 2 failed"), std::string::npos) << r.out;
  nothingLeft("after the timed-out drill");
  Json runs = env_.json("plans runs t");
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0]["state"], "failed");
  EXPECT_EQ(runs[1]["state"], "interrupted");
  Json report = env_.json("plans report " + std::to_string(runs[0]["run"].get<int>()));
  ASSERT_EQ(report["pairs"].size(), 2u);
  for (const Json& p : report["pairs"]) {
    EXPECT_EQ(p["outcome"], "failed");
    EXPECT_NE(p["error"].get<std::string>().find(
                  "The test VM of pair " + std::to_string(p["pair"].get<int>()) +
                  " did not report on within 2 s"),
              std::string::npos)
        << p;
  }
  const Json killed = env_.json("plans report " + std::to_string(runs[1]["run"].get<int>()));
  for (const Json& p : killed["pairs"])
    EXPECT_NE(p["outcome"], "running") << "the killed run's pairs are closed";

  k = env_.blrKilled("plans test t", 300, "Waiting for the test VM");
  ASSERT_EQ(k.code, -9) << k.out << k.err;
  ASSERT_FALSE(leftovers().empty());
  r = env_.blr("plans test-cleanup t");
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("test boot(s) cleaned up"), std::string::npos) << r.out;
  nothingLeft("after test-cleanup");

  // A Tail that can't end a test boot: the VM is off again, and the record
  // stays for test-cleanup.
  const std::string pa = " " + std::to_string(a);
  env_.write("tail1.ctl", "fault TESTBOOT_CROSSED=fail:5:busy\n");
  r = env_.blr("pairs test" + pa);
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("its record is kept"), std::string::npos) << r.err;
  ASSERT_EQ(leftovers().size(), 1u);
  EXPECT_EQ(leftovers()[0]["statusCode"], 5) << "powering off, done";
  EXPECT_FALSE(env_.vmOn("tail1", vmKey(0x2001), true));
  EXPECT_EQ(env_.blr("pairs test-cleanup" + pa).code, 1) << "the Tail still refuses";
  ASSERT_EQ(env_.run("rm tail1.ctl").code, 0);
  r = env_.blr("pairs test-cleanup" + pa);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("1 test boot(s) cleaned up"), std::string::npos) << r.out;
  nothingLeft("after the pair's test-cleanup");

  // Healthy again, one pair's drill passes on its own.
  Json one = env_.json("pairs test" + pa);
  EXPECT_GT(one["seqNum"].get<uint64_t>(), 0u);
  EXPECT_EQ(one["error"], nullptr);
  nothingLeft("after the pair's drill");
}

}  // namespace

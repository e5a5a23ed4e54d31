// The blr program end to end against a real central server and simulated
// proxies: exit statuses, JSON output read back, and the messages people see.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <regex>

#include "BLR/BlrDB.h"
#include "CliEnv.h"
#include "support/SamplePair.h"
#include "host/config/DWPlatformInfo.h"
#include "host/link/DwLinkPool.h"

namespace {

using Json = CliEnv::Json;

constexpr char kPairArgs[] =
    "--sub-client 7 --dst-client 3 --head 2 --tail 3 --src-name web01 "
    "--src-guid 6f1c0a3e5b7d4c2a9e8f1a2b3c4d5e6f --dst-name web01-dr "
    "--disk 11111111111111111111111111111111:/vmfs/web01/disk0.vmdk "
    "--disk 22222222-2222-2222-2222-222222222222:/vmfs/web01/disk1.vmdk";

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { env_.startAll(); }

  int createPair() {
    Json pair = env_.json(std::string("pairs create ") + kPairArgs);
    return pair.value("id", 0);
  }

  // The error output of `args`, which must exit with `code`.
  std::string err(const std::string& args, int code) {
    CliEnv::Result r = env_.blr(args);
    EXPECT_EQ(r.code, code) << args << "\n" << r.err;
    return r.err;
  }

  CliEnv env_;
};

// A record of `blr pairs import`: pair n of sub-client 8 with one disk.
std::string record(int n, const std::string& srcPath, const std::string& srcName = "") {
  char guid[33];
  std::snprintf(guid, sizeof guid, "%032x", n);
  return Json{{"subClientId", 8}, {"dstClientId", 3}, {"headClientId", 2}, {"tailClientId", 3},
              {"srcName", srcName.empty() ? "vm" + std::to_string(n) : srcName}, {"srcGuid", guid},
              {"disks", Json::array({Json{{"srcGuid", guid}, {"srcPath", srcPath}}})}}
      .dump();
}

// Whether every line of `table` has a cell where the header has one, two
// blanks after the cell before it; offsets count characters.
bool columnsInLine(const std::string& table) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(table);
  for (std::string text; std::getline(in, text);) {
    lines.emplace_back();
    for (char c : text)
      if ((c & 0xC0) == 0x80)
        lines.back().back() += c;
      else
        lines.back().emplace_back(1, c);
  }
  if (lines.size() < 2) return false;
  std::vector<size_t> starts;
  const std::vector<std::string>& header = lines[0];
  for (size_t i = 2; i < header.size(); ++i)
    if (header[i] != " " && header[i - 1] == " " && header[i - 2] == " ") starts.push_back(i);
  for (const auto& line : lines)
    for (size_t s : starts)
      if (s >= line.size() || line[s] == " " || line[s - 1] != " " || line[s - 2] != " ") return false;
  return !starts.empty();
}

TEST_F(CliTest, PairsReadBackAsJsonAndBadInputIsRefused) {
  int id = createPair();
  ASSERT_GT(id, 0);
  Json pair = env_.json("pairs show " + std::to_string(id));
  EXPECT_EQ(pair["srcGuid"], "6F1C0A3E-5B7D-4C2A-9E8F-1A2B3C4D5E6F");
  EXPECT_EQ(pair["tailHostName"], env_.json("clients show 3")["mangled"]);
  ASSERT_EQ(pair["disks"].size(), 2u);
  EXPECT_EQ(pair["disks"][1]["srcPath"], "/vmfs/web01/disk1.vmdk");

  EXPECT_EQ(env_.json("pairs list --tail 3 --src-name web01").size(), 1u);
  EXPECT_EQ(env_.json("pairs list --tail 9").size(), 0u);
  EXPECT_EQ(env_.json("pairs list --status 4").size(), 0u);
  // Pages by id; the table streams under its header.
  EXPECT_EQ(env_.json("pairs list --limit 1").size(), 1u);
  EXPECT_EQ(env_.json("pairs list --after-id " + std::to_string(id)).size(), 0u);
  EXPECT_EQ(env_.json("pairs list --after-id " + std::to_string(id - 1))[0]["id"], id);
  CliEnv::Result table = env_.blr("pairs list");
  EXPECT_EQ(table.out.compare(0, 4, "ID  "), 0) << table.out;
  EXPECT_NE(table.out.find("\n" + std::to_string(id) + " "), std::string::npos) << table.out;
  EXPECT_EQ(env_.blr("pairs list --after-id " + std::to_string(id)).out, "No pairs.\n");

  std::string p = " " + std::to_string(id);
  for (const char* change : {"set-status%s 14 --message 'by hand'", "set-flags%s FAILOVER,0x40",
                             "clear-flags%s 64", "set-lag%s 30", "set-event%s 77",
                             "set-pending-status%s 6", "stats add%s --rep-data 4096 --iops 12"}) {
    std::string args = change;
    env_.blr("pairs " + args.replace(args.find("%s"), 2, p), 0);
  }
  pair = env_.json("pairs show" + p);
  EXPECT_EQ(pair["statusCode"], 14);
  EXPECT_EQ(pair["status"], "failing over");
  EXPECT_EQ(pair["statusMessage"], "by hand");
  EXPECT_EQ(pair["flagNames"], Json::array({"FAILOVER"}));
  EXPECT_EQ(pair["lagTime"], 30);
  EXPECT_EQ(pair["eventId"], 77);
  EXPECT_EQ(pair["pendingStatusCode"], 6);
  EXPECT_EQ(env_.json("pairs list --flags failover").size(), 1u);

  // Properties, with quotes and blanks kept.
  ASSERT_EQ(env_.blr("pairs props set" + p + " note \"it's a 'test'\"").code, 0);
  CliEnv::Result r = env_.blr("pairs props get" + p + " note");
  EXPECT_EQ(r.out, "it's a 'test'\n");
  EXPECT_EQ(env_.json("pairs props list" + p)["note"], "it's a 'test'");
  ASSERT_EQ(env_.blr("pairs props delete" + p + " note").code, 0);
  EXPECT_EQ(err("pairs props get" + p + " note", 3),
            "blr: Pair " + std::to_string(id) + " has no property \"note\"\n");

  // A disk of no pair of this id is refused before anything changes.
  int disk = pair["disks"][0]["id"];
  const std::string dstDisk = "=a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1:/dr/0.vmdk";
  r = env_.blr("pairs set-dest" + p + " --dst-name dr --disk " + std::to_string(disk) + dstDisk +
               " --disk 999" + dstDisk);
  EXPECT_EQ(r.code, 3) << r.err;
  EXPECT_EQ(env_.json("pairs show" + p)["dstName"], "web01-dr");
  EXPECT_EQ(env_.blr("pairs set-dest" + p + " --disk " + std::to_string(disk) + "=/dr/0.vmdk").code, 2);
  ASSERT_EQ(env_.blr("pairs set-dest" + p + " --dst-guid 99999999999999999999999999999999 "
                     "--disk " + std::to_string(disk) + dstDisk).code, 0);
  pair = env_.json("pairs show" + p);
  EXPECT_EQ(pair["dstGuid"], "99999999-9999-9999-9999-999999999999");
  EXPECT_EQ(pair["disks"][0]["dstPath"], "/dr/0.vmdk");
  EXPECT_EQ(pair["disks"][0]["dstGuid"], "A1A1A1A1-A1A1-A1A1-A1A1-A1A1A1A1A1A1");

  // Deleting several pairs names a missing one and deletes none.
  EXPECT_NE(err("pairs delete" + p + " 4242", 3).find("No pair 4242: nothing deleted"), std::string::npos);
  ASSERT_EQ(env_.blr("pairs delete" + p).code, 0);
  EXPECT_EQ(err("pairs show" + p, 3), "blr: No pair " + std::to_string(id) + "\n");

  // Bytes that are not text.
  std::string args = kPairArgs;
  const std::string name = "--src-name web01";
  args.replace(args.find(name), name.size(), "--src-name \"$(printf 'a\\377\\376\\033[2J\\r')\"");
  ASSERT_EQ(env_.blr("pairs create " + args).code, 0);
  pair = env_.json("pairs list")[0];
  EXPECT_EQ(pair["srcName"], "hex:61fffe1b5b324a0d");  // not UTF-8: its bytes in hex
  r = env_.blr("pairs show " + std::to_string(pair["id"].get<int>()));
  EXPECT_NE(r.out.find("a\\xff\\xfe\\x1b[2J\\x0d"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);

  // Listed whole (up to 100 pairs) and as the pairs arrive (more): the same
  // escapes and JSON, columns in line, a long value cut only when streamed;
  // both end with the lag summary of the pairs listed.
  const std::string odd = std::to_string(pair["id"].get<int>());
  ASSERT_EQ(env_.blr("pairs set-status " + odd + " 3").code, 0);
  ASSERT_EQ(env_.blr("pairs set-flags " + odd + " REVERSE").code, 0);
  ASSERT_EQ(env_.blr("pairs set-lag " + odd + " 3780").code, 0);
  const std::string longName = "\u00fcn\u00efc\u00f6d\u00e9-vm-with-a-very-long-name";
  std::string bulk;
  for (int n = 1; n <= 100; ++n) bulk += record(n, "/d", n == 1 ? longName : "") + "\n";
  env_.write("bulk.jsonl", bulk);
  ASSERT_EQ(env_.blr("pairs import bulk.jsonl").code, 0);
  const CliEnv::Result whole = env_.blr("pairs list --limit 2"), streamed = env_.blr("pairs list");
  const std::pair<const CliEnv::Result*, std::string> summaries[] = {
      {&whole, "lag: median 0 s, p95 1 h 3 min, max 1 h 3 min over 2 pairs\n"},
      {&streamed, "lag: median 0 s, p95 0 s, max 1 h 3 min over 101 pairs\n"}};
  for (const auto& [listed, summary] : summaries) {
    const size_t last = listed->out.rfind('\n', listed->out.size() - 2) + 1;
    EXPECT_EQ(listed->out.substr(last), summary);
    EXPECT_TRUE(columnsInLine(listed->out.substr(0, last))) << listed->out;
    EXPECT_NE(listed->out.find("\n" + odd + " "), std::string::npos) << listed->out;
    EXPECT_NE(listed->out.find(" a\\xff\\xfe\\x1b[2J\\x0d  "), std::string::npos) << listed->out;
    EXPECT_EQ(listed->out.find('\x1b'), std::string::npos);
  }
  EXPECT_EQ(std::count(streamed.out.begin(), streamed.out.end(), '\n'), 103);
  EXPECT_NE(whole.out.find(" " + longName + "  "), std::string::npos) << whole.out;
  EXPECT_NE(streamed.out.find(" \u00fcn\u00efc\u00f6d\u00e9-vm-with-a-v\u2026  "), std::string::npos);
  Json list = env_.json("pairs list");
  ASSERT_EQ(list.size(), 101u);
  Json shown = env_.json("pairs show " + odd);
  shown.erase("properties");
  EXPECT_EQ(list[0], shown);
  ASSERT_EQ(env_.blr("pairs delete --sub-client 8").code, 0);

  // The JSON form reads back to the same bytes and updates the pair in place.
  pair["dstName"] = "hex:";  // "hex:" and nothing: the empty text, left unchanged
  pair["disks"].erase(1);
  env_.write("pair.json", pair.dump());
  Json stored = env_.json("pairs update --file pair.json");
  EXPECT_EQ(stored["id"], pair["id"]);
  EXPECT_EQ(stored["srcName"], "hex:61fffe1b5b324a0d");
  EXPECT_EQ(stored["dstName"], "web01-dr");
  EXPECT_EQ(stored["disks"].size(), 1u);

  env_.write("nul.json", R"({"srcName": "a\u0000b"})");
  EXPECT_EQ(err("pairs create --file nul.json", 2), "blr: pair: \"srcName\" holds a NUL byte at offset 1\n");

  env_.write("typo.json", R"({"srcName": "x", "dstname": "y"})");
  EXPECT_EQ(err("pairs create --file typo.json", 2), "blr: pair: unknown key \"dstname\"\n");
  r = env_.run("echo '{\"disks\": [{\"srcGuid\": \"nope\"}]}' | blr -r cli.reg pairs create --file -", 2);
  EXPECT_EQ(r.err, "blr: disk 1: \"srcGuid\" is not an identifier\n");
  err("pairs create --file pair.json --src-name other", 2);  // --file excludes the field options
  EXPECT_NE(err("pairs create --sub-client 7 --src-name x --src-guid 6f1c0a3e5b7d4c2a9e8f1a2b3c4d5e6f", 1)
                .find("BlrPair must have dstClientId set"),
            std::string::npos);

  // Import: all records or none.
  // JSON lines, a bad record in the middle: its position and field, nothing stored.
  env_.write("bad.jsonl", record(1, "/a") + "\n\n" + record(2, "") + "\n" + record(3, "/c") + "\n");
  EXPECT_EQ(err("pairs import bad.jsonl", 2),
            "blr: Record 2: disk 1: field \"srcPath\" is missing; nothing was imported\n");
  EXPECT_EQ(env_.json("pairs list --sub-client 8").size(), 0u);

  env_.write("good.json", "[" + record(1, "/a") + ", " + record(2, "/b") + "]");
  r = env_.blr("pairs import good.json", 0);
  EXPECT_EQ(r.out.find("Imported 2 pairs with 2 disks in "), 0u) << r.out;
  EXPECT_EQ(env_.json("pairs list --sub-client 8").size(), 2u);
}

// The central server ends between committing an import and answering it:
// the message bounds what is stored, and the same import run again, on the
// server started anew, completes it without duplicates.
TEST(CliImportTest, AnswerLostAfterCommitIsBoundedAndRunningAgainCompletes) {
  CliEnv env;
  const std::string aid = "\n[Test]\nsExitAfterCommit = create_pairs\n";
  env.startAll("--set sync-delay-ms=0 --set flush-delay-ms=0", aid);
  env.write("pairs.jsonl", record(1, "/a") + "\n" + record(2, "/b") + "\n");
  CliEnv::Result r = env.blr("pairs import pairs.jsonl", 1);
  EXPECT_EQ(r.err.rfind("blr: Couldn't import the records from 1 on: at least 0, at most 2 stored; "
                        "running the same import again completes it without duplicates: ",
                        0),
            0u)
      << r.err;
  const std::string registry = env.read("anchor.reg");
  env.write("anchor.reg", registry.substr(0, registry.find(aid)));
  ASSERT_NE(env.start("blr-anchor serve --registry anchor.reg"), "");
  EXPECT_EQ(env.json("pairs list").size(), 2u);  // committed, only the answer was lost
  EXPECT_EQ(env.json("pairs import pairs.jsonl")["ids"].size(), 2u);
  Json pairs = env.json("pairs list");
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[1]["srcName"], "vm2");
}

TEST_F(CliTest, ErrorsProxiesBootVmsAndClients) {
  // Errors are one line unless verbose.
  CliEnv::Result r = env_.blr("proxies ping 9", 1);
  // The server's error comes as one line with its code and request id.
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("blr: Couldn't find the host of client 9: Couldn't get the host name of "
                        "client 9: There is no client with id 9 \\(code 1, request [0-9a-f]{16}\\)\n")))
      << r.err;
  r = env_.blr("--verbose proxies ping 9");
  EXPECT_NE(r.err.find("error code 1:\nProxiesCmd:"), std::string::npos) << r.err;

  r = env_.run("blr -r missing.reg pairs list", 1);
  EXPECT_EQ(r.err.rfind("blr: Couldn't load the registry file missing.reg (see --registry)", 0), 0u);
  EXPECT_NE(err("pairs list --src-guid xyz", 2).find("--src-guid: not an identifier"), std::string::npos);
  EXPECT_EQ(env_.blr("pairs show 0").code, 2);
  EXPECT_EQ(env_.blr("proxies ping nobody").code, 2);
  EXPECT_EQ(env_.blr("pairs").code, 2);
  r = env_.blr("pairs props set --help", 0);
  EXPECT_NE(r.out.find("Exit status:"), std::string::npos);

  // Proxy requests reach the simulator.
  int id = createPair();
  std::string p = " " + std::to_string(id);
  std::string head = env_.json("clients show 2")["mangled"];
  EXPECT_EQ(env_.json("proxies ping 2")["alive"], true);
  EXPECT_EQ(env_.json("proxies ping " + head)["proxy"], head);

  Json started = env_.json("proxies start" + p);
  EXPECT_EQ(started["proxy"], head);
  EXPECT_TRUE(env_.awaitStatus({id}, {4}));

  env_.write("head1.ctl", "fault STOP=fail:7:pair is busy\n");
  EXPECT_EQ(err("proxies stop" + p, 1),
            "blr: Couldn't BLR_CTRL_PAIROP_STOP pair " + std::to_string(id) + ": pair is busy\n");
  env_.write("head1.ctl", "");
  ASSERT_EQ(env_.blr("proxies stop" + p).code, 0);
  EXPECT_TRUE(env_.awaitStatus({id}, {6}));

  EXPECT_EQ(env_.json("proxies resync" + p + " --full --tail")["operation"],
            "BLR_CTRL_PAIROP_FULL_RESYNC");
  EXPECT_EQ(env_.blr("proxies apply-config 6f1c0a3e5b7d4c2a9e8f1a2b3c4d5e6f").code, 0);
  err("proxies apply-config 0123456789abcdef0123456789abcdef", 3);
  EXPECT_EQ(env_.blr("proxies job-done 99 --proxy 3").code, 0);

  // Boot VM records, stored as a drill does.
  ASSERT_FALSE(DWPlatformInfo::loadRegistryFile(env_.dir + "/cli.reg").IsError());
  BlrDB::BootVM vm = sampleBootVM(id, 1);
  vm.name = "web01-test";
  vm.creationTime = 1700000000;
  vm.disks.front().path = "/dr/boot0.vmdk";
  int vmId = 0;
  CZuError err = BlrDB().addBootVM(vm, &vmId);
  DwLinkPool::instance().clear();
  DWPlatformInfo::reset();
  ASSERT_FALSE(err.IsError()) << err.AsString();

  Json list = env_.json("bootvms list --pair " + std::to_string(id));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["name"], "web01-test");
  EXPECT_EQ(env_.json("bootvms list --tail 3").size(), 1u);
  r = env_.blr("bootvms show " + std::to_string(vmId));
  EXPECT_NE(r.out.find("2023-11-14 22:13:20 UTC"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("/dr/boot0.vmdk"), std::string::npos) << r.out;
  env_.removeOnce("bootvms delete " + std::to_string(vmId), "bootvms show " + std::to_string(vmId));
  EXPECT_EQ(env_.blr("bootvms list").code, 2) << "--pair or --tail is required";

  // Clients; the Tail's removal comes last.
  env_.run("blr certs init . --client x", 1);  // an existing authority is never replaced
  EXPECT_EQ(env_.run("blr certs issue . ../escape").code, 1);
  Json clients = env_.json("clients list");
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(clients[1]["name"], "tail1");
  EXPECT_EQ(env_.blr("clients add --id 3 --name again --host h --dwd-port 1 --evmgrc-port 2").code, 1);
  env_.removeOnce("clients remove 3", "clients show 3", 1);
}

// Workflows need a pair that synchronises for a while, so that failback's
// wait can be seen.  Two central servers, which blr and the proxies know by
// [Link] sServers alone.
class CliWorkflowTest : public CliTest {
 protected:
  void SetUp() override { env_.startAll("--set sync-delay-ms=1000 --set flush-delay-ms=0", "", 2); }

  // Workflows make reverse pairs, whose disks need the destination paths.
  // Sets p_ to " <id>".
  int runningPair() {
    int id = createPair();
    p_ = " " + std::to_string(id);
    Json disks = env_.json("pairs show " + std::to_string(id))["disks"];
    std::string dest = " --dst-guid 0c9d8e7f6a5b4c3d2e1f0a9b8c7d6e5f";
    for (int i : {0, 1})
      dest += " --disk " + std::to_string(disks[i]["id"].get<int>()) + "=a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a" +
              std::to_string(i) + ":/dr/" + std::to_string(i);
    EXPECT_EQ(env_.blr("pairs set-dest " + std::to_string(id) + dest).code, 0);
    EXPECT_EQ(env_.blr("proxies start " + std::to_string(id)).code, 0);
    EXPECT_TRUE(env_.awaitStatus({id}, {4}));
    return id;
  }

  // The power of the pair's production VM (on the Head) and recovery VM.
  bool productionOn() {
    return env_.vmOn("head1", BlrUUID(std::string("6f1c0a3e5b7d4c2a9e8f1a2b3c4d5e6f")).toHex(), true);
  }
  bool recoveryOn() {
    return env_.vmOn("tail1", BlrUUID(std::string("0c9d8e7f6a5b4c3d2e1f0a9b8c7d6e5f")).toHex(), false);
  }

  // Runs `command` with `fault` on `proxy`, killing blr once it shows `step`;
  // the fault is cleared once `done` holds (the proxy acts after the kill).
  void killDuring(const std::string& command, const std::string& proxy, const std::string& fault,
                  const std::string& step, const std::function<bool()>& done) {
    env_.write(proxy + ".ctl", "fault " + fault + "\n");
    CliEnv::Result r = env_.blrKilled(command + p_ + " --here", 300, step);
    EXPECT_EQ(r.code, -SIGKILL) << r.out << r.err;
    EXPECT_TRUE(CliEnv::eventually(done)) << env_.read(proxy + ".state");
    env_.write(proxy + ".ctl", "");
  }

  std::string p_;
};

TEST_F(CliWorkflowTest, WorkflowsShowTheirStepsAndCancelTurnsTheRecoveryVmOffFirst) {
  // The proxies are found through the servers of the list, and report to them.
  ASSERT_EQ(env_.read("head1.reg").find("sServerHost"), std::string::npos);
  CliEnv::Result doctor = env_.blr("doctor", 0);
  for (const char* line : {"ok    central servers 127.0.0.1:", "ok    proxy head1 (client 2)",
                           "ok    proxy tail1 (client 3)"})
    EXPECT_NE(doctor.out.find(line), std::string::npos) << doctor.out;
  EXPECT_EQ(env_.json("proxies ping 3")["alive"], true);
  int id = runningPair();
  CliEnv::Result r = env_.blr("failover" + p_ + " --latest", 0);
  EXPECT_NE(r.out.find("  ->  Stopping VM on the Head\n  ok  Stopping VM on the Head ("),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Last seqnum on tail: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Pipeline flushed        DONE"), std::string::npos) << r.out;
  Json pair = env_.json("pairs show" + p_);
  EXPECT_EQ(pair["statusCode"], 16);
  EXPECT_EQ(pair["flagNames"], Json::array({"FAILOVER"}));

  // The hidden pair synchronises for a second: --no-wait returns 201 first.
  Json run = env_.json("failback" + p_ + " --no-wait", 201);
  EXPECT_EQ(run["exitCode"], 201);
  EXPECT_NE(run["error"].get<std::string>().find("is still smart-syncing"), std::string::npos);
  EXPECT_TRUE(CliEnv::eventually([&] { return env_.blr("failback" + p_ + " --no-wait").code == 0; }));
  EXPECT_TRUE(env_.awaitStatus({id}, {4}));
  EXPECT_EQ(env_.json("pairs show" + p_)["flags"], 0);
  EXPECT_EQ(env_.json("pairs props list" + p_), Json::object()) << "progress cleared";

  // A failed step: its code, and a cancel undoes it.
  env_.write("head1.ctl", "fault POWER_ON_OFF_VM_REQ=fail:5:VM is locked\n");
  run = env_.json("failover" + p_, 202);
  EXPECT_EQ(run["exitCode"], 202);
  EXPECT_NE(run["error"].get<std::string>().find("VM is locked"), std::string::npos);
  EXPECT_FALSE(std::regex_search(run["error"].get<std::string>(), std::regex(R"(\w+:\d+ \()")))
      << run["error"] << ": operators see messages, not source locations";
  EXPECT_EQ(run["steps"].back()["result"], "failed");
  EXPECT_EQ(run["progress"]["failoverVmStopped"], "0");
  // Carried out in blr instead of watched: the same answer.
  const Json here = env_.json("failover" + p_ + " --here", 202);
  for (const auto& field : run.items()) EXPECT_TRUE(here.contains(field.key())) << field.key();
  EXPECT_EQ(here["error"], run["error"]);
  EXPECT_EQ(here["steps"].size(), run["steps"].size());
  env_.write("head1.ctl", "");
  r = env_.blr("cancel-failover" + p_, 0);
  EXPECT_EQ(env_.json("pairs show" + p_)["flags"], 0);
  EXPECT_EQ(env_.blr("cancel-failover" + p_).code, 0) << "nothing left to undo";

  // A cancel turns the recovery VM off first.
  ASSERT_TRUE(env_.awaitStatus({id}, {4}));
  ASSERT_EQ(env_.blr("failover" + p_ + " --latest").code, 0);
  EXPECT_TRUE(recoveryOn());
  EXPECT_FALSE(productionOn());

  // The recovery VM can't be powered off: nothing is undone.
  env_.write("tail1.ctl", "fault POWER_ON_OFF_VM_REQ=fail:5:VM is locked\n");
  EXPECT_NE(err("cancel-failover" + p_, 1).find("nothing was undone (--force cancels anyway)"),
            std::string::npos);
  Json props = env_.json("pairs props list" + p_);
  EXPECT_EQ(props["failoverSnapTaken"], "1");
  EXPECT_EQ(props["recoveryVmPoweredOn"], "1");
  EXPECT_FALSE(productionOn());

  env_.write("tail1.ctl", "");
  r = env_.blr("cancel-failover" + p_, 0);
  EXPECT_FALSE(recoveryOn());
  EXPECT_TRUE(productionOn());
  EXPECT_EQ(env_.json("pairs props list" + p_), Json::object());
  EXPECT_TRUE(env_.awaitStatus({id}, {4}));

  // A production VM that could not be stopped keeps the recovery VM off.
  env_.write("head1.ctl", "fault POWER_ON_OFF_VM_REQ=fail:5:VM is locked\n");
  EXPECT_NE(err("failover" + p_ + " --continue-on-error", 1)
                .find("is not known to be off: the recovery VM stays off"),
            std::string::npos);
  EXPECT_FALSE(recoveryOn());
  EXPECT_EQ(env_.json("pairs show" + p_)["statusCode"], 14);
  env_.write("head1.ctl", "");
  ASSERT_EQ(env_.blr("cancel-failover" + p_).code, 0);

  // --force cancels although the recovery VM can't be powered off.
  ASSERT_EQ(env_.blr("failover" + p_).code, 0);
  env_.write("tail1.ctl", "fault POWER_ON_OFF_VM_REQ=fail:5:VM is locked\n");
  r = env_.blr("cancel-failover" + p_ + " --force", 0);
  EXPECT_NE(r.out.find("cancelling anyway: "), std::string::npos) << r.out;
  EXPECT_EQ(env_.json("pairs show" + p_)["flags"], 0);

  // A switch of roles names the pair that replaces this one.
  env_.write("tail1.ctl", "");
  ASSERT_TRUE(env_.awaitStatus({id}, {4}));
  ASSERT_EQ(env_.blr("failover" + p_).code, 0);
  r = env_.blr("switch-roles" + p_, 0);
  const Json pairs = env_.json("pairs list");
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_NE(r.out.find("Reverse pair " + std::to_string(pairs[0]["id"].get<int>()) +
                       " replaces pair " + std::to_string(id)),
            std::string::npos) << r.out;
}

// blr killed while a proxy is about to act: the next failover or cancel
// finds what the killed one left and finishes or undoes it.  A command that
// only watches a runner's run leaves the run going when it is interrupted.
TEST_F(CliWorkflowTest, KilledFailoversAndCancelsAreResumedOrUndone) {
  int id = runningPair();
  env_.write("head1.ctl", "fault POWER_ON_OFF_VM_REQ=delay:1500\n");
  CliEnv::Result watched = env_.blrKilled("failover" + p_, 200, ": run ", SIGINT);
  env_.write("head1.ctl", "");
  EXPECT_EQ(watched.code, 130) << watched.out << watched.err;
  const std::string run = watched.out.substr(watched.out.find(": run ") + 6);
  const std::string runId = run.substr(0, run.find('\n'));
  EXPECT_NE(watched.err.find("run " + runId + " goes on; `blr runs watch " + runId + "`"),
            std::string::npos) << watched.err;
  EXPECT_EQ(env_.blr("runs watch " + runId).code, 0);
  ASSERT_TRUE(env_.awaitStatus({id}, {16}));
  ASSERT_EQ(env_.blr("cancel-failover" + p_).code, 0);
  ASSERT_TRUE(env_.awaitStatus({id}, {4}));

  // The power-off is answered late; blr is killed while it waits, and the
  // Head then switches the VM off.
  killDuring("failover", "head1", "POWER_ON_OFF_VM_REQ=delay:1500", "Stopping VM on the Head",
             [&] { return !productionOn(); });
  ASSERT_EQ(env_.blr("failover" + p_).code, 0);  // finds the VM off already
  EXPECT_EQ(env_.json("pairs props list" + p_)["powerBeforeFailover"], "1");
  ASSERT_EQ(env_.blr("cancel-failover" + p_).code, 0);
  EXPECT_TRUE(productionOn());
  EXPECT_FALSE(recoveryOn());
  ASSERT_TRUE(env_.awaitStatus({id}, {4}));

  // The Tail blocks replication after blr is killed waiting for its answer.
  auto blocked = [&] { return env_.read("tail1.state").find("blocked ") != std::string::npos; };
  killDuring("failover", "tail1", "FAILOVER_CROSSING=delay:1500",
             "Blocking replication on Tail due to failover", blocked);
  ASSERT_EQ(env_.blr("cancel-failover" + p_).code, 0);
  EXPECT_FALSE(blocked());
  // Replication reaches the Tail again: a failover to the latest state
  // does not wait out its flush.
  ASSERT_TRUE(env_.awaitStatus({id}, {4}));
  CliEnv::Result r = env_.blr("failover" + p_ + " --latest", 0);

  const std::string snapshot = "snapshot " + std::to_string(id) + "\n";
  auto hasSnapshot = [&] { return env_.read("tail1.state").find(snapshot) != std::string::npos; };
  // The Tail reverts after blr is killed waiting for its answer.
  auto killCancelAfterTheRevert = [&] {
    killDuring("cancel-failover", "tail1", "DELETE_FAILOVER_SNAP=delay:1500",
               "Reverting to failover snapshot on Tail", [&] { return !hasSnapshot(); });
  };
  // A resumed failover takes a new snapshot, which the next cancel reverts to.
  killCancelAfterTheRevert();
  ASSERT_EQ(env_.blr("failover" + p_).code, 0);
  EXPECT_TRUE(hasSnapshot());
  r = env_.blr("cancel-failover" + p_, 0);
  ASSERT_TRUE(env_.awaitStatus({id}, {4}));

  // A repeated cancel finds the revert done.
  ASSERT_EQ(env_.blr("failover" + p_).code, 0);
  killCancelAfterTheRevert();
  r = env_.blr("cancel-failover" + p_, 0);
  EXPECT_EQ(env_.json("pairs show" + p_)["flags"], 0);
}

}  // namespace

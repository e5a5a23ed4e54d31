// Random sequences of recovery commands, simulator faults and kills of blr
// (SIGKILL at a random moment) against the real programs: blr-anchor, a Head
// and a Tail blr-proxy, and blr.  After every command the production and the
// recovery VM of the pair are never both on, and a command that succeeded
// left its documented state (docs/workflow.md).  Each episode ends with the
// faults cleared and the resume or undo commands the state calls for, which
// must bring the pair to a documented state.
//
// BLR_INVARIANT_STEPS: commands in all (default 200, 60 under the address
// sanitizer, and no new command after 150 s but those that resolve the
// episode); BLR_INVARIANT_SEED replays a run (printed first).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BLR/BlrDB.h"
#include "BLR/BlrSvcWorkflow.h"
#include "CliEnv.h"
#include "support/SamplePair.h"
#include "host/config/DWPlatformInfo.h"
#include "host/link/DwLinkPool.h"

namespace {

using W = BlrSvcWorkflow;

constexpr int kHead = 2, kTail = 3;  // client ids of CliEnv::startAll
constexpr int kDelayMs = 300;        // of injected delays
constexpr int kCommandCapSecs = 90;  // far over any command of a healthy run
// Commands of a run by default: under two minutes, fewer where sanitizers slow
// every program down.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultSteps = 60;
#else
constexpr int kDefaultSteps = 200;
#endif

int envNumber(const char* name, int otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoi(value) : otherwise;
}

bool startsWithAny(const std::string& name, std::initializer_list<const char*> prefixes) {
  for (const char* p : prefixes)
    if (name.rfind(p, 0) == 0) return true;
  return false;
}

struct PairState {
  bool exists = false;
  int status = -1;
  int flags = 0;
  std::map<std::string, std::string> props;

  bool failover() const { return exists && (flags & W::FAILOVER); }
  bool has(const char* prefix) const {
    for (const auto& entry : props)
      if (entry.first.rfind(prefix, 0) == 0) return true;
    return false;
  }
  bool failbackBegun() const {
    return has("failback") || props.count(W::FBPROP_POWER_BEFORE_FAILBACK);
  }
  bool switchBegun() const { return has("switchRoles"); }
  // Progress of any workflow, or blr's own record.
  bool anyProgress() const {
    for (const auto& entry : props)
      if (startsWithAny(entry.first, {"failover", "failback", "switchRoles", "statusBefore",
                                      "powerBefore", "recoveryVm"}))
        return true;
    return false;
  }
  std::string text() const {
    if (!exists) return "no pair";
    std::ostringstream out;
    out << "status " << status << " flags " << flags;
    for (const auto& [name, value] : props) out << " " << name << "=" << value;
    return out.str();
  }
};

// What the test knows of one cycle of a pair: failover to its undo.
struct Cycle {
  bool prodBefore = true;     // production VM on when the failover began
  bool prodUnsure = false;    // a failover was interrupted, or the Head refused power requests
  bool keptOff = false;       // a cancel asked to keep the production VM off
  bool recBefore = false;     // recovery VM on when the failback began
  bool recUnsure = false;     // a failback was interrupted
  bool resetRan = false;      // a reset (powering the recovery VM off) ran during the failback
};

class RecoveryInvariantTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.startAll("--set sync-delay-ms=0 --set flush-delay-ms=0");
    ASSERT_FALSE(DWPlatformInfo::loadRegistryFile(env_.dir + "/cli.reg").IsError());
  }
  void TearDown() override {
    DwLinkPool::instance().clear();
    DWPlatformInfo::reset();
  }

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool chance(int percent) { return pick(100) < percent; }

  PairState read(int id) {
    PairState s;
    BlrDB::Pair pair;
    EXPECT_FALSE(BlrDB().getPair(id, &pair).IsError());
    if (pair.id != id) return s;
    s.exists = true;
    s.status = pair.statusCode;
    s.flags = pair.flags;
    EXPECT_FALSE(BlrDB().getPairProps(id, &s.props).IsError());
    for (const char* setting : {"curAnchorTime", "userStartTime", "recoveryMode", "ccrpInterval",
                                "acrpInterval", "maxRpInterval", "rpMergeDelay", "rpRetention",
                                "maxRpStoreOfflineTime", "useOffPeakSchedule"})
      s.props.erase(setting);
    return s;
  }
  bool prodOn() { return env_.vmOn("head1", src_.toHex(), true); }
  bool recOn() { return env_.vmOn("tail1", dst_.toHex(), false); }
  bool hiddenPairs() {
    std::list<BlrDB::Pair> all;
    EXPECT_FALSE(BlrDB().getPairs(BlrDB::Pair(), &all).IsError());
    for (const BlrDB::Pair& p : all)
      if (p.flags & W::HIDDEN) return true;
    return false;
  }

  // A running pair between fresh VMs.
  void newPair() {
    auto guid = [this] {
      char hex[33];
      std::snprintf(hex, sizeof hex, "%08x%08x%08x%08x", static_cast<unsigned>(rng_()),
                    static_cast<unsigned>(rng_()), static_cast<unsigned>(rng_()),
                    static_cast<unsigned>(rng_()));
      return BlrUUID(std::string(hex));
    };
    BlrDB::Pair pair = samplePair("vm" + std::to_string(++episode_));
    pair.subClientId = 7;
    pair.dstClientId = pair.tailClientId = kTail;
    pair.headClientId = kHead;
    pair.dstName = pair.srcName + "-dr";
    pair.srcGuid = src_ = guid();
    pair.dstGuid = dst_ = guid();
    pair.disks.front().srcPath = "/src/disk0";
    pair.disks.front().dstPath = "/dst/disk0";
    pair.disks.front().srcGuid = guid();
    pair.disks.front().dstGuid = guid();
    ASSERT_FALSE(BlrDB().createOrUpdatePair(pair).IsError());
    id_ = pair.id;
    ASSERT_EQ(env_.blr("proxies start " + std::to_string(id_)).code, 0);
    cycle_ = Cycle();
  }

  // Both simulators' control files: the stop reports of this episode, and
  // at most one fault each.
  void writeControl() {
    for (const char* side : {"head1", "tail1"}) {
      std::string text = std::string("set report-every-stop ") + (everyStop_ ? "on" : "off") + "\n";
      auto fault = faults_.find(side);
      if (fault != faults_.end()) text += "fault " + fault->second + "\n";
      env_.write(std::string(side) + ".ctl", text);
    }
  }
  void changeFaults() {
    if (chance(40)) {
      faults_.clear();
    } else {
      // No lasting failure of the sequence-number query: a failover that
      // continues on errors would poll it for 300 s.
      static const char* const kOps[] = {"POWER_ON_OFF_VM_REQ", "PAUSE", "STOP", "CLEANUP",
                                         "START", "FAILOVER_CROSSING", "FAILOVER_CROSSED",
                                         "CREATE_FAILOVER_SNAP", "DELETE_FAILOVER_SNAP",
                                         "INS_FLUSH_MARKER_REQ", "GET_LAST_SEQNUM_REQ"};
      const std::string delay = "delay:" + std::to_string(kDelayMs);
      const std::string actions[] = {"fail:5:injected", "drop", delay};
      std::string op = kOps[pick(11)];
      std::string action = op == "GET_LAST_SEQNUM_REQ" ? delay : actions[pick(3)];
      faults_[chance(50) ? "head1" : "tail1"] = op + "=" + action;
    }
    writeControl();
  }
  bool headPowerFault() {
    auto f = faults_.find("head1");
    return f != faults_.end() && f->second.rfind("POWER_ON_OFF_VM_REQ", 0) == 0;
  }

  static bool resettable(const PairState& s) {
    return s.status == W::STATUS_FAILBACK_FAILED ||
           (s.status == W::STATUS_STOPPED && s.failover() && s.failbackBegun());
  }

  // A random command for the pair, its arguments after "blr": mostly one
  // that the state allows, else any.
  std::string randomCommand(const PairState& s) {
    std::string p = " " + std::to_string(id_);
    int kind = pick(9);
    if (chance(70)) {
      std::vector<int> allowed;  // kinds below
      if (!s.failover())
        allowed = {0};
      else if (s.switchBegun() || s.status >= W::STATUS_SWITCHING_ROLES)
        allowed = {8};
      else if (s.failbackBegun() || resettable(s) || s.status == W::STATUS_FAILING_BACK)
        allowed = {5, 7};
      else if (s.status == W::STATUS_FAILED_OVER)
        allowed = {0, 3, 5, 8};
      else
        allowed = {0, 3};
      kind = allowed[pick(static_cast<int>(allowed.size()))];
    }
    switch (kind) {
      case 0:
      case 1:
      case 2: {
        std::string args = "failover" + p;
        if (!s.failover() && chance(50)) args += " --latest";  // a resumed flush may wait 300 s
        if (chance(25)) args += " --continue-on-error";
        if (chance(20)) args += " --no-power-on";
        return args;
      }
      case 3:
      case 4:
        return "cancel-failover" + p + (chance(15) ? " --keep-vm-off" : "");
      case 5:
      case 6:
        return "failback" + p + " --no-wait";  // a synchronisation poll sleeps 15 s
      case 7:
        return "reset-after-failback" + p;
      default:
        return "switch-roles" + p + (chance(50) ? " --start" : "");
    }
  }

  // The command the state calls for to resume or undo, or "" when none.
  std::string resolvingCommand(const PairState& s) {
    std::string p = " " + std::to_string(id_);
    if (!s.exists) return "";
    if (resettable(s) && (!s.failover() || chance(50))) return "reset-after-failback" + p;
    if (!s.failover()) return "";
    if (s.switchBegun() || s.status == W::STATUS_SWITCHING_ROLES ||
        s.status == W::STATUS_SWITCH_ROLES_FAILED)
      return "switch-roles" + p;
    if (s.failbackBegun() || s.status == W::STATUS_FAILING_BACK || resettable(s))
      return "failback" + p + " --no-wait";
    if (s.status == W::STATUS_FAILED_OVER && chance(50))
      return chance(50) ? "failback" + p + " --no-wait" : "switch-roles" + p;
    return chance(60) ? "cancel-failover" + p : "failover" + p;
  }

  // Runs a command, killed at a random moment when `kill`; the exit code,
  // -9 when killed.
  int run(const std::string& args, bool kill) {
    if (!kill) {
      // A command that outlives its cap is a hang: the run's log then says which.
      int code = env_.run("timeout -s KILL " + std::to_string(kCommandCapSecs) +
                          " blr -r cli.reg " + args)
                     .code;
      EXPECT_NE(code, 137) << args << " ran over " << kCommandCapSecs << " s";
      return code;
    }
    // Killed in the midst of its work: carried out in blr's own process.
    int code = env_.blrKilled(args + " --here", 20 + pick(400)).code;
    // Requests the proxies still hold are carried out and answered into the
    // void; room is left for a loaded machine.
    std::this_thread::sleep_for(std::chrono::milliseconds(kDelayMs + 300));
    return code;
  }

  // Notes what a command about to run means for the cycle.
  void beforeCommand(const std::string& args, const PairState& s) {
    if (args.rfind("failover", 0) == 0 && !s.failover() && s.status != W::STATUS_STOPPED) {
      cycle_ = Cycle();
      cycle_.prodBefore = prodOn();
    }
    if (args.rfind("failback", 0) == 0 && s.failover() && s.status == W::STATUS_FAILED_OVER &&
        !s.failbackBegun()) {
      cycle_.recBefore = recOn();
      cycle_.recUnsure = false;
      cycle_.resetRan = false;
    }
    if (args.find("--keep-vm-off") != std::string::npos) cycle_.keptOff = true;
    if (args.rfind("reset-after-failback", 0) == 0) cycle_.resetRan = true;
    if (headPowerFault()) cycle_.prodUnsure = true;
  }

  // The checks after every command; `args` succeeded when `code` is 0.
  void check(const std::string& args, int code, const PairState& before) {
    bool prod = prodOn(), rec = recOn();
    ASSERT_FALSE(prod && rec) << "both VMs run after: " << args;
    PairState s = read(id_);
    if (s.exists && !s.failover()) {
      EXPECT_TRUE(s.status == 3 || s.status == 4 || s.status == W::STATUS_STOPPED ||
                  s.status == W::STATUS_FAILBACK_FAILED)
          << "undocumented state after " << args << ": " << s.text();
    }
    if (args.rfind("failover", 0) == 0 && code != 0) cycle_.prodUnsure = true;
    if (args.rfind("failback", 0) == 0 && code != 0) cycle_.recUnsure = true;
    if (code != 0) return;

    std::string what = args.substr(0, args.find(' '));
    SCOPED_TRACE("after " + args + ": " + s.text());
    // Back from a workflow: nothing of it left, the recovery VM off.
    auto expectBack = [&] {
      EXPECT_FALSE(s.failover());
      EXPECT_FALSE(s.anyProgress());
      EXPECT_FALSE(rec);
    };
    if (what == "failover") {
      EXPECT_TRUE(s.failover());
      EXPECT_EQ(s.status, W::STATUS_FAILED_OVER);
      // Continuing on errors goes past a production VM that would not stop;
      // the two are still never both on (checked above).
      const bool stopSkipped =
          args.find("--continue-on-error") != std::string::npos && headPowerFault();
      if (!stopSkipped) {
        EXPECT_FALSE(prod);
      }
      if (args.find("--no-power-on") == std::string::npos) {
        EXPECT_TRUE(rec);
      }
    } else if (what == "cancel-failover" && before.failover()) {
      expectBack();
      if (!cycle_.keptOff && !cycle_.prodUnsure) {
        EXPECT_EQ(prod, cycle_.prodBefore) << "production VM as before the failover";
      }
    } else if (what == "failback") {
      expectBack();
      EXPECT_TRUE(s.status == 3 || s.status == 4);
      EXPECT_FALSE(hiddenPairs());
      if (!cycle_.resetRan && (cycle_.recBefore || !cycle_.recUnsure)) {
        EXPECT_EQ(prod, cycle_.recBefore) << "production VM on as the recovery VM was";
      }
    } else if (what == "reset-after-failback" && !resettable(before)) {
      EXPECT_EQ(s.text(), before.text()) << "nothing to reset";
    } else if (what == "reset-after-failback") {
      expectBack();
      EXPECT_EQ(s.status, W::STATUS_STOPPED);
      EXPECT_FALSE(hiddenPairs());
    } else if (what == "switch-roles") {
      EXPECT_FALSE(s.exists);
      // A failover that went on past a production VM that would not stop
      // left it on; the switch does not stop it either.
      if (!cycle_.prodUnsure) {
        EXPECT_FALSE(prod);
      }
      std::list<BlrDB::Pair> reverse;
      BlrDB::Pair filter;
      filter.srcGuid = dst_;
      EXPECT_FALSE(BlrDB().getPairs(filter, &reverse).IsError());
      ASSERT_EQ(reverse.size(), 1u);
      EXPECT_EQ(reverse.front().flags, W::REVERSE);
    }
  }

  // One command: maybe killed; the checks after it.
  void step(const std::string& args, bool kill) {
    PairState before = read(id_);
    beforeCommand(args, before);
    auto began = std::chrono::steady_clock::now();
    int code = run(args, kill);
    auto secs =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began)
            .count();
    log_ << (kill ? "  kill " : "  ") << args << " -> " << code;
    if (secs >= 5) log_ << " (" << secs << " s)";
    log_ << std::endl;
    check(args, code, before);
  }

  // Clears the faults and resumes or undoes until the state is documented.
  void resolve() {
    faults_.clear();
    writeControl();
    log_ << "  resolving:\n";
    for (int i = 0; i < 8; ++i) {
      PairState s = read(id_);
      std::string args = resolvingCommand(s);
      if (args.empty()) break;
      step(args, false);
      if (::testing::Test::HasFatalFailure()) return;
    }
    PairState s = read(id_);
    EXPECT_TRUE(!s.exists || (!s.failover() && (s.status == 3 || s.status == 4 ||
                                                 s.status == W::STATUS_STOPPED)))
        << "left stuck: " << s.text();
  }

  void removePairs() {
    std::list<BlrDB::Pair> all;
    EXPECT_FALSE(BlrDB().getPairs(BlrDB::Pair(), &all).IsError());
    for (const BlrDB::Pair& p : all) EXPECT_FALSE(BlrDB().delPair(p.id).IsError());
  }

  CliEnv env_;
  std::mt19937 rng_;
  // The commands as they run: on the output even when the test is killed.
  std::ostream& log_ = std::cout;
  std::map<std::string, std::string> faults_;  // proxy -> fault
  bool everyStop_ = false;
  int episode_ = 0;
  int id_ = 0;
  BlrUUID src_, dst_;
  Cycle cycle_;
};

TEST_F(RecoveryInvariantTest, RandomCommandsFaultsAndKills) {
  const unsigned seed =
      static_cast<unsigned>(envNumber("BLR_INVARIANT_SEED", std::random_device()()));
  const int steps = envNumber("BLR_INVARIANT_STEPS", kDefaultSteps);
  // No new random command after this long, unless a number of commands was asked for.
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::seconds(std::getenv("BLR_INVARIANT_STEPS") ? 24 * 3600 : 150);
  rng_.seed(seed);
  SCOPED_TRACE("BLR_INVARIANT_SEED=" + std::to_string(seed));
  // Shown even when the test is killed for running too long.
  std::cout << "BLR_INVARIANT_SEED=" << seed << std::endl;
  for (int done = 0;
       done < steps && !HasFailure() && std::chrono::steady_clock::now() < deadline;) {
    everyStop_ = chance(50);
    faults_.clear();
    writeControl();
    newPair();
    if (HasFatalFailure()) break;
    log_ << "episode " << episode_ << " pair " << id_
         << (everyStop_ ? " (every stop reported)" : "") << "\n";
    for (int n = 3 + pick(10); n > 0 && done < steps && read(id_).exists && !HasFailure() &&
                               std::chrono::steady_clock::now() < deadline;
         --n) {
      if (chance(25)) {
        changeFaults();
        log_ << "  faults:";
        for (const auto& [side, fault] : faults_) log_ << " " << side << " " << fault;
        log_ << "\n";
      }
      step(randomCommand(read(id_)), chance(30));
      ++done;
    }
    if (!HasFailure()) resolve();
    removePairs();
  }
  log_ << std::flush;
}

}  // namespace

// The servers under a service manager, played by a datagram socket of the
// test: READY once they serve, watchdog pings at half the period (and none
// without one), a reload on SIGHUP that takes in new debug levels and a new
// revocation list, and STOPPING on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "ServiceLoop.h"
#include "support/NotifySocket.h"
#include "tools/cli/CliEnv.h"

namespace {

using Clock = std::chrono::steady_clock;

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(env_.run("blr certs init . --proxy head1 --proxy tail1 --operator cli --registries").code, 0);
    ASSERT_TRUE(manager_.bound());
  }

  // Starts `command` as the manager would, with a watchdog period of
  // `watchdogUsec` (none when 0); returns its first line.
  std::string startManaged(const std::string& command, int watchdogUsec = 0) {
    std::string vars = "NOTIFY_SOCKET=" + manager_.path();
    if (watchdogUsec > 0) vars += " WATCHDOG_USEC=" + std::to_string(watchdogUsec);
    return env_.start("env " + vars + " " + command);
  }

  // The next state other than a watchdog ping ("" after 10 s).
  std::string nextState() {
    for (;;) {
      std::string state = manager_.next(10000);
      if (state != "WATCHDOG=1") return state;
    }
  }

  // SIGHUP to server `index`, then the two states of a reload.
  void reload(size_t index) {
    ASSERT_EQ(kill(env_.serverPid(index), SIGHUP), 0);
    EXPECT_EQ(nextState().rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u);
    EXPECT_EQ(nextState(), "READY=1");
  }

  // SIGTERM to server `index`: STOPPING=1, then a clean exit.
  void stop(size_t index) {
    pid_t pid = env_.serverPid(index);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(nextState(), "STOPPING=1");
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }

  CliEnv env_;
  NotifySocket manager_{env_.dir + "/notify"};
};

// Started at debug level 1 and without a revocation list, under a watchdog.
TEST_F(ServiceTest, AnchorIsReadyPingsTheWatchdogReloadsItsSettingsAndStops) {
  std::string registry = env_.read("anchor.reg");
  size_t crl = registry.find("sCRLFile");
  ASSERT_NE(crl, std::string::npos);
  env_.write("anchor.reg", registry.erase(crl, registry.find('\n', crl) + 1 - crl) +
                               "[EventManager]\nBLR_DEBUGLEVEL = 1\n");
  std::string banner = startManaged("blr-anchor serve --registry anchor.reg", 400000);
  ASSERT_NE(banner.find("listening on"), std::string::npos) << banner;
  ASSERT_EQ(manager_.next(10000), "READY=1");
  auto served = [&](const char* client) {
    return env_.run(std::string("blr -r ") + client + ".reg pairs list").code == 0;
  };
  const std::string requestLine = "request from cli";  // logged at level 2
  ASSERT_TRUE(served("cli")) << env_.read(".err");
  EXPECT_EQ(env_.read("anchor.log").find(requestLine), std::string::npos);

  // Half of 400 ms: about six pings in 1.2 s, never a gap of three intervals.
  for (std::string queued = manager_.next(0); !queued.empty(); queued = manager_.next(0))
    ASSERT_EQ(queued, "WATCHDOG=1");
  int pings = 0;
  for (Clock::time_point end = Clock::now() + std::chrono::milliseconds(1200); Clock::now() < end;) {
    ASSERT_EQ(manager_.next(600), "WATCHDOG=1") << "after " << pings << " pings";
    ++pings;
  }
  EXPECT_GE(pings, 4);
  EXPECT_LE(pings, 9);

  // Levels are otherwise read again only every minute.
  env_.append("anchor.reg", "BLR_DEBUGLEVEL = 2\n");
  ASSERT_TRUE(served("cli"));
  EXPECT_EQ(env_.read("anchor.log").find(requestLine), std::string::npos);
  reload(0);
  ASSERT_TRUE(served("cli"));
  EXPECT_NE(env_.read("anchor.log").find(requestLine), std::string::npos) << env_.read("anchor.log");

  ASSERT_TRUE(served("tail1"));
  ASSERT_EQ(env_.run("blr certs revoke . tail1").code, 0);
  EXPECT_TRUE(served("tail1"));  // no list in force yet
  // A list that can't be read is refused, and the settings in force stay.
  env_.append("anchor.reg", "[Security]\nsCRLFile = " + env_.dir + "/missing.crl\n");
  reload(0);
  EXPECT_NE(env_.read("anchor.log").find("Kept the TLS settings in force"), std::string::npos);
  EXPECT_TRUE(served("cli"));
  env_.append("anchor.reg", "sCRLFile = " + env_.dir + "/ca.crl\n");
  reload(0);
  EXPECT_FALSE(served("tail1"));
  EXPECT_TRUE(served("cli"));
  EXPECT_EQ(manager_.next(1000), "WATCHDOG=1");  // pinging on after the reloads
  stop(0);
}

TEST_F(ServiceTest, ProxyIsReadyAndStopsWithoutPingsWhenNoWatchdogWatches) {
  ASSERT_NE(env_.start("blr-anchor serve --registry anchor.reg"), "");
  std::string banner = startManaged("blr-proxy --registry head1.reg");
  ASSERT_NE(banner.find("BlrCtrlSvc on ports"), std::string::npos) << banner;
  EXPECT_EQ(manager_.next(10000), "READY=1");
  EXPECT_EQ(manager_.next(500), "");
  reload(1);
  stop(1);
}

// The loop on a thread of this process, signals sent to that thread: pings
// only while the server says it is alive, the reload done on the loop.
TEST(ServiceLoopTest, PingsOnlyWhileAliveAndReloadsOnTheLoop) {
  std::string path = "/tmp/blr-loop-notify-" + std::to_string(getpid());
  NotifySocket manager(path);
  ASSERT_TRUE(manager.bound());
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  setenv("WATCHDOG_USEC", "100000", 1);  // a ping every 50 ms
  std::atomic<bool> healthy{true};
  std::atomic<int> reloads{0};
  std::thread::id reloadedOn;
  ServiceHooks hooks;
  hooks.alive = [&] { return healthy.load(); };
  hooks.reload = [&] {
    reloadedOn = std::this_thread::get_id();
    ++reloads;
  };
  std::promise<pthread_t> started;
  std::thread::id loopId;
  std::future<int> stopped = std::async(std::launch::async, [&] {
    sigset_t signals = serviceBlockSignals();
    loopId = std::this_thread::get_id();
    started.set_value(pthread_self());
    return serviceRun(signals, hooks);
  });
  pthread_t loop = started.get_future().get();
  EXPECT_EQ(manager.next(2000), "READY=1");
  EXPECT_EQ(manager.next(500), "WATCHDOG=1");
  EXPECT_EQ(manager.next(500), "WATCHDOG=1");

  healthy = false;  // pings sent before may still be queued; then none
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  while (!manager.next(0).empty()) {
  }
  EXPECT_EQ(manager.next(400), "");
  healthy = true;
  EXPECT_EQ(manager.next(500), "WATCHDOG=1");

  auto nextState = [&] {  // the next state other than a ping
    std::string state;
    do state = manager.next(2000);
    while (state == "WATCHDOG=1");
    return state;
  };
  ASSERT_EQ(pthread_kill(loop, SIGHUP), 0);
  EXPECT_EQ(nextState().rfind("RELOADING=1", 0), 0u);
  EXPECT_EQ(nextState(), "READY=1");
  EXPECT_EQ(reloads.load(), 1);
  EXPECT_EQ(reloadedOn, loopId);

  ASSERT_EQ(pthread_kill(loop, SIGTERM), 0);
  EXPECT_EQ(stopped.get(), SIGTERM);
  EXPECT_EQ(nextState(), "STOPPING=1");
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
}

}  // namespace

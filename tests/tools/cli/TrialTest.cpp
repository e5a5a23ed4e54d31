// Trials of `blr certs init --registries` and what `blr doctor` finds in
// them: two trials side by side on one machine, and each way a set-up can
// be wrong.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <set>
#include <thread>

#include "CliEnv.h"
#include "host/net/DwTcp.h"
#include "host/tls/KrpCertAuthority.h"
#include "host/tls/KrpSocket.h"
#include "support/ChildProcess.h"

namespace {

using Json = CliEnv::Json;

// The checks `blr doctor` fails (or, with `warned`, passes with a warning)
// with the registry `reg`, by name without the file or address that follows.
std::set<std::string> failedChecks(const CliEnv& env, const std::string& reg, bool warned = false) {
  CliEnv::Result r = env.run("blr --json -r " + reg + " doctor");
  std::set<std::string> failed;
  Json out = Json::parse(r.out.empty() ? "null" : r.out);
  if (!out.is_object()) return {"(no JSON: " + r.err + ")"};
  EXPECT_EQ(r.code, out["ok"].get<bool>() ? 0 : 1);
  for (const Json& c : out["checks"]) {
    if (warned ? !c["warning"].get<bool>() : c["ok"].get<bool>()) continue;
    EXPECT_FALSE(c["fix"].get<std::string>().empty()) << c.dump();
    std::string name = c["check"].get<std::string>();
    failed.insert(name.substr(0, name.find(" /")));
  }
  return failed;
}

// cli.reg with `overrides` appended (a later key replaces an earlier one).
std::string variant(const CliEnv& env, const std::string& name, const std::string& overrides) {
  env.write(name, env.read("cli.reg") + overrides);
  return name;
}

TEST(TrialTest, TwoTrialsRunSideBySideAndDoctorNamesEachFault) {
  CliEnv first, second;
  first.startAll();
  second.startAll();
  ASSERT_FALSE(HasFailure());
  EXPECT_NE(first.read("anchor.reg"), second.read("anchor.reg"));
  for (CliEnv* env : {&first, &second}) {
    CliEnv::Result r = env->blr("doctor", 0);
    EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("proxy tail1 (client 3)"), std::string::npos) << r.out;
  }
  first.blr("pairs create --sub-client 7 --dst-client 3 --head 2 --tail 3 --src-name a "
            "--src-guid 6f1c0a3e5b7d4c2a9e8f1a2b3c4d5e6f --disk "
            "11111111111111111111111111111111:/a.vmdk", 0);
  EXPECT_EQ(first.json("pairs list").size(), 1u);
  EXPECT_EQ(second.json("pairs list").size(), 0u) << "each trial has its own database";

  // Every process of a trial finds its job results directory.
  EXPECT_EQ(first.read("anchor.log").find("JobResults"), std::string::npos);
  EXPECT_EQ(first.read("head1.log").find("ERROR"), std::string::npos) << first.read("head1.log");

  // A named base whose ports are taken is refused before anything is written.
  int taken = numberAfter(first.read("anchor.reg"), "nListenPort = ");
  CliEnv::Result r = second.run("blr certs init third --proxy p --registries --port-base " +
                                std::to_string(taken), 1);
  EXPECT_NE(r.err.find("Port " + std::to_string(taken)), std::string::npos) << r.err;
  EXPECT_FALSE(std::ifstream(second.dir + "/third/ca.crt").good());

  // The doctor names each fault of a set-up.
  CliEnv& env = first;
  EXPECT_EQ(failedChecks(env, "cli.reg"), std::set<std::string>{});

  // A certificate fault also keeps the central server from accepting this
  // client; the local check names the cause.  The kind: built-in, from the
  // installation's own authority.
  env.craftCert("expired", "cli", 3, -2 * 86400, -86400);
  KrpCertAuthority ca;
  ASSERT_FALSE(KrpCertAuthority::open(env.dir, &ca).IsError());
  ASSERT_FALSE(ca.issue("cli", KRP_CERT_KIND_PRODUCT, 30, env.dir + "/product").IsError());
  const std::string d = "[Security]\n", at = " = " + env.dir;
  const std::pair<std::string, std::string> kCertFaults[] = {
      {"CA file", d + "sCAFile" + at + "/gone.crt\n"},
      {"private key", d + "sKeyFile" + at + "/tail1.key\n"},
      {"certificate dates", d + "sCertFile" + at + "/expired.crt\nsKeyFile" + at + "/expired.key\n"},
      {"certificate", d + "sCertFile" + at + "/product/cli.crt\nsKeyFile" + at + "/product/cli.key\n"}};
  std::string server = "central server 127.0.0.1:" + std::to_string(numberAfter(env.read("cli.reg"), "nServerPort = "));
  for (const auto& [check, overrides] : kCertFaults)
    EXPECT_EQ(failedChecks(env, variant(env, "fault.reg", overrides)),
              (std::set<std::string>{check, server})) << check;

  int port = freePort();
  EXPECT_EQ(failedChecks(env, variant(env, "noserver.reg", "[Link]\nnServerPort = " + std::to_string(port) + "\n")),
            std::set<std::string>{"central server 127.0.0.1:" + std::to_string(port)});

  // A server that cuts every handshake short, as one shedding them does, is
  // not taken for a certificate fault.
  CZuSocket shedding;
  int shedPort = 0;
  ASSERT_FALSE(dwTcpListen("127.0.0.1", 0, 16, &shedding, &shedPort).IsError());
  std::atomic<bool> done{false};
  std::thread shedder([&] {
    while (!done) {
      DwWait w;
      dwWaitFd(shedding.GetDescriptor(), POLLIN, 50, -1, &w);
      int fd = w == DwWait::kReady ? ::accept(shedding.GetDescriptor(), nullptr, nullptr) : -1;
      if (fd < 0) continue;
      char hello[512];
      ::recv(fd, hello, sizeof hello, 0);
      ::close(fd);
    }
  });
  CliEnv::Result shed =
      env.run("blr -r " + variant(env, "shed.reg", "[Link]\nnServerPort = " + std::to_string(shedPort) + "\n") +
              " doctor", 1);
  done = true;
  shedder.join();
  EXPECT_NE(shed.out.find("not accepting handshakes in time (overloaded or under attack)"), std::string::npos)
      << shed.out;

  // Certificates near their end pass with a warning: this client's, and the
  // central server's as met there (renewed short, then reloaded).
  ASSERT_FALSE(ca.issue("cli", KRP_CERT_KIND_CLIENT, 10, env.dir + "/soon").IsError());
  ASSERT_FALSE(ca.renew(env.dir, "anchor", 10).IsError());
  kill(env.serverPid(0), SIGHUP);
  const std::string soon = variant(env, "soon.reg", d + "sCertFile" + at + "/soon/cli.crt\nsKeyFile" +
                                                        at + "/soon/cli.key\n");
  const std::set<std::string> nearEnd = {"certificate dates", "certificate of server anchor"};
  EXPECT_TRUE(CliEnv::eventually([&] { return failedChecks(env, soon, true) == nearEnd; }));
  EXPECT_EQ(failedChecks(env, soon), std::set<std::string>{});
  EXPECT_NE(env.run("blr -r soon.reg doctor", 0).out.find("WARN  certificate dates: expires on"),
            std::string::npos);

  env.blr("clients add --id 9 --name ghost --host 127.0.0.1 --dwd-port " +
          std::to_string(freePort()) + " --evmgrc-port 1", 0);
  std::set<std::string> failed = failedChecks(env, "cli.reg");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed.begin()->rfind("proxy ghost (client 9)", 0), 0u) << *failed.begin();
}

}  // namespace

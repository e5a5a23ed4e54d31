// Who may connect where, against the real programs of a trial installation:
// names the installation doesn't know are refused after the handshake on
// the request link, the port lookup and the control port, before anything
// is read; revocation takes effect without a restart; blr certs writes its
// files with fixed modes.
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "host/net/DwTcp.h"
#include "host/tls/KrpCertAuthority.h"
#include "host/tls/KrpSocket.h"
#include "host/tls/TlsContext.h"
#include "support/Check.h"
#include "support/ChildProcess.h"
#include "tools/cli/CliEnv.h"

namespace {

enum class Outcome { kServed, kClosed, kNoHandshake };

// Connects to `port` as the holder of `<dir>/<name>.crt`, sends nothing and
// tells whether the server keeps the connection open for a request (served)
// or closes it.
Outcome probe(const CliEnv& env, int port, const std::string& name) {
  TlsConfig config{env.dir + "/ca.crt", env.dir + "/" + name + ".crt",
                   env.dir + "/" + name + ".key", env.dir + "/ca.crl"};
  std::shared_ptr<TlsContext> tls;
  EXPECT_FALSE(TlsContext::create(config, &tls).IsError());
  CZuSocket sock;
  EXPECT_FALSE(dwTcpConnect("127.0.0.1", port, 5000, &sock).IsError());
  KrpSocket* s = nullptr;
  EXPECT_FALSE(krpInitSocketWithContext(sock, KRP_INIT_DEFAULT, tls, &s).IsError());
  Outcome out = Outcome::kNoHandshake;
  if (!krpAuthSocketMs(s, KRP_ROLE_CLIENT, nullptr, 5000).IsError()) {
    char byte;
    CZuError err;
    krpRecvMs(s, &byte, 1, 1000, &err);
    out = err.Code() == ETIMEDOUT ? Outcome::kServed : Outcome::kClosed;
  }
  krpDestroySocket(s);
  return out;
}

class AccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.startAll();
    anchorPort = numberAfter(env.read(".server0"), "127.0.0.1:");
    std::string head = env.read(".server1");
    ctrlPort = numberAfter(head, "on ports ");
    lookupPort = numberAfter(head, "port lookup on ");
    ASSERT_TRUE(anchorPort != 0 && ctrlPort != 0 && lookupPort != 0) << head;
  }
  // The outcome on each of the three ports, in the order anchor, lookup, control.
  std::vector<Outcome> probeAll(const std::string& name) {
    return {probe(env, anchorPort, name), probe(env, lookupPort, name),
            probe(env, ctrlPort, name)};
  }

  CliEnv env;
  int anchorPort = 0, ctrlPort = 0, lookupPort = 0;
};

const std::vector<Outcome> kServedEverywhere(3, Outcome::kServed);
const std::vector<Outcome> kClosedEverywhere(3, Outcome::kClosed);

// Every change names who asked for it; then who is served, and revocation
// (which shuts out the Tail and the central server) last.
TEST_F(AccessTest, ChangesNameWhoAskedAndOnlyRegisteredNamesAreServedUntilRevoked) {
  CliEnv::Json pair = env.json(
      "pairs create --sub-client 7 --dst-client 3 --head 2 --tail 3 --src-name web01 "
      "--src-guid 6f1c0a3e5b7d4c2a9e8f1a2b3c4d5e6f --dst-name web01-dr "
      "--disk 11111111111111111111111111111111:/vmfs/web01/disk0.vmdk");
  std::string id = std::to_string(pair.value("id", 0));
  int disk = env.json("pairs show " + id)["disks"][0]["id"];
  env.blr("pairs set-dest " + id + " --dst-guid 0c9d8e7f6a5b4c3d2e1f0a9b8c7d6e5f --disk " +
          std::to_string(disk) + "=a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a0:/dr/0", 0);
  ASSERT_EQ(env.blr("proxies start " + id).code, 0);
  ASSERT_TRUE(env.awaitStatus({std::stoi(id)}, {4}));
  CliEnv::Result r = env.blr("failover " + id + " --no-power-on", 0);
  ASSERT_EQ(env.blr("pairs set-status " + id + " 6").code, 0);
  ASSERT_EQ(env.blr("pairs delete " + id).code, 0);

  std::string byCli = env.run("blr-anchor events list --by cli --limit 0 --registry anchor.reg").out;
  std::string entity = "entity=187/" + id;
  for (const char* line : {" \"create_or_update_pair\" by=cli", " \"update_dest_info\" by=cli",
                           " \"del_pairs\" by=cli"})
    EXPECT_NE(byCli.find(line), std::string::npos) << line << " in\n" << byCli;
  // Failing over, failed over (the workflow run by blr) and stopped (by hand).
  for (const char* event : {"0x025A008E", "0x025A008F", "0x025A0095"})
    EXPECT_NE(byCli.find(std::string(event) + " severity=1 " + entity), std::string::npos)
        << event << " in\n" << byCli;
  EXPECT_EQ(byCli.find("by=head1"), std::string::npos) << byCli;
  // The Head's own report of the running pair is its own.
  std::string byHead = env.run("blr-anchor events list --by head1 --registry anchor.reg").out;
  EXPECT_NE(byHead.find("0x025A0094 severity=1 " + entity), std::string::npos) << byHead;

  EXPECT_EQ(probeAll("cli"), kServedEverywhere);    // operator
  EXPECT_EQ(probeAll("tail1"), kServedEverywhere);  // registered client
  ASSERT_EQ(env.run("blr certs issue . stranger").code, 0);
  env.craftCert("nocn", nullptr, 0);
  env.craftCert("newline", "tail1\nroot", 10);
  env.craftCert("nul", "tail1\0x", 7);
  for (const char* name : {"stranger", "nocn", "newline", "nul"})
    EXPECT_EQ(probeAll(name), kClosedEverywhere) << name;
  // A name retrying is logged once a minute, with the reason.
  EXPECT_EQ(probe(env, anchorPort, "stranger"), Outcome::kClosed);
  std::string log = env.read("anchor.log");
  size_t first = log.find("stranger is neither a registered client nor an operator");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("stranger is neither", first + 1), std::string::npos) << log;
  EXPECT_NE(log.find("is not a client name"), std::string::npos) << log;

  // A registered client may use the database but not re-point the directory.
  EXPECT_EQ(env.run("blr -r tail1.reg pairs list").code, 0) << env.read(".err");
  r = env.run("blr -r tail1.reg clients add --id 9 --name stranger --host 127.0.0.1 "
                             "--dwd-port 1 --evmgrc-port 1");
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("only operators"), std::string::npos) << r.err;

  // Registering a name lets it in once the servers look again (a refused
  // name makes them look at most every two seconds).
  env.blr("clients add --id 9 --name stranger --host 127.0.0.1 --dwd-port 1 "
          "--evmgrc-port 1", 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(probe(env, anchorPort, "stranger"), Outcome::kServed);
  EXPECT_EQ(probe(env, ctrlPort, "stranger"), Outcome::kServed);

  // Revocation takes effect without a restart.
  EXPECT_EQ(probeAll("tail1"), kServedEverywhere);
  r = env.run("blr certs revoke . tail1", 0);
  EXPECT_NE(env.run("blr certs list .").out.find("revoked"), std::string::npos);
  // The servers refuse the peer in the handshake.
  for (Outcome o : probeAll("tail1")) EXPECT_NE(o, Outcome::kServed);
  EXPECT_EQ(probeAll("cli"), kServedEverywhere);

  // A client refuses a revoked server.
  EXPECT_EQ(env.blr("pairs list").code, 0);
  ASSERT_EQ(env.run("blr certs revoke . anchor").code, 0);
  r = env.blr("pairs list");
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("revoked"), std::string::npos) << r.err;
}

TEST(CertFiles, ModesDoNotFollowTheUmaskNamesAndRenewal) {
  CliEnv env;
  ASSERT_EQ(env.run("umask 000 && blr certs init t --client a --operator op --registries "
                    "--server anchor=anc.example,10.0.0.2").code,
            0);
  auto mode = [&](const std::string& file) {
    struct stat st {};
    EXPECT_EQ(::stat((env.dir + "/t/" + file).c_str(), &st), 0) << file;
    return st.st_mode & 0777;
  };
  EXPECT_EQ(mode("a.key"), 0600u);
  EXPECT_EQ(mode("ca.key"), 0600u);
  EXPECT_EQ(mode("a.reg"), 0640u);
  EXPECT_EQ(mode("anchor.reg"), 0640u);

  // Servers are named by what clients dial; leaves last at most 397 days.
  KRP_Cert anchor, before, after;
  ASSERT_OK(krpReadCertFile(env.dir + "/t/anchor.crt", &anchor));
  EXPECT_EQ(anchor.altNames, (std::vector<std::string>{"anchor", "10.0.0.2", "127.0.0.1", "anc.example"}));
  EXPECT_NEAR(double(anchor.notAfter - time(nullptr)), 397 * 86400.0, 3600);
  EXPECT_EQ(env.run("blr certs issue t b --days 398").code, 2);  // usage
  EXPECT_EQ(env.run("blr certs issue t b --host 'x y'").code, 1);

  // Renewal keeps the key file and the names.
  const std::string key = env.read("t/a.key");
  ASSERT_OK(krpReadCertFile(env.dir + "/t/a.crt", &before));
  ASSERT_EQ(env.run("blr certs renew t a --days 5").code, 0);
  ASSERT_OK(krpReadCertFile(env.dir + "/t/a.crt", &after));
  EXPECT_EQ(env.read("t/a.key"), key);
  EXPECT_EQ(after.altNames, before.altNames);
  EXPECT_NEAR(double(after.notAfter - time(nullptr)), 5 * 86400.0, 3600);
  EXPECT_NE(env.run("blr certs list t").out.find("expiring"), std::string::npos);
  EXPECT_EQ(env.run("blr certs renew t nobody").code, 1);

  ASSERT_EQ(env.run("umask 000 && blr certs revoke t a").code, 0);
  EXPECT_EQ(mode("ca.crl"), 0644u);
}

}  // namespace

// The real blr-anchor program on SQLite in a temporary directory, with fresh
// certificates, answering client calls over TLS.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "BLR/BlrDB.h"
#include "host/DWClient.h"
#include "host/DWPlatformInfo.h"
#include "host/DwHostName.h"
#include "host/DwLinkPool.h"
#include "host/KrpCertAuthority.h"
#include "host/KrpSocket.h"

namespace {

class BlrAnchorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/blr-anchor-test-XXXXXX";
    dir_ = mkdtemp(tmpl);
    KrpCertAuthority ca;
    ASSERT_FALSE(KrpCertAuthority::create(dir_, "Test CA", 30, &ca).IsError());
    ASSERT_FALSE(ca.issue("anchor", KRP_CERT_KIND_CLIENT, 30, dir_).IsError());
    ASSERT_FALSE(ca.issue("job1", KRP_CERT_KIND_CLIENT, 30, dir_).IsError());
    registry_ = dir_ + "/anchor.reg";
    std::ofstream(registry_) << "[Security]\nsCAFile = " << dir_ << "/ca.crt\nsCertFile = "
                             << KrpCertAuthority::certPath(dir_, "anchor") << "\nsKeyFile = "
                             << KrpCertAuthority::keyPath(dir_, "anchor")
                             << "\n[Link]\nsListenAddress = 127.0.0.1\nnListenPort = 0\n"
                             << "[Database]\nsSqliteDir = " << dir_ << "/db\n"
                             << "[EventManager]\nsLogFile = " << dir_ << "/anchor.log\n";
    ASSERT_EQ(anchor("client add --id 20 --name tail1 --host 10.0.0.7 --dwd-port 8400 "
                     "--evmgrc-port 8401"),
              0);
    startServer();

    DWPlatformInfo::reset();
    DwLinkPool::instance().clear();
    DWPlatformInfo::setValue("Security", "sCAFile", dir_ + "/ca.crt");
    DWPlatformInfo::setValue("Security", "sCertFile", KrpCertAuthority::certPath(dir_, "job1"));
    DWPlatformInfo::setValue("Security", "sKeyFile", KrpCertAuthority::keyPath(dir_, "job1"));
    DWPlatformInfo::setValue("Link", "sServerHost", "127.0.0.1");
    DWPlatformInfo::setNumber("Link", "nServerPort", port_);
    DWPlatformInfo::setNumber("Link", "nTimeoutSecs", 10);
  }

  void TearDown() override {
    DwLinkPool::instance().clear();
    DWPlatformInfo::reset();
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::filesystem::remove_all(dir_);
  }

  // Runs an admin command; its exit status, its standard output in `out`.
  int anchor(const std::string& args, std::string* out = nullptr) {
    std::string command = std::string(BLR_ANCHOR_PATH) + " " + args + " --registry " + registry_;
    FILE* p = popen(command.c_str(), "r");
    char buf[512];
    std::string text;
    while (p && std::fgets(buf, sizeof buf, p)) text += buf;
    int status = p ? pclose(p) : -1;
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void startServer() {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      execl(BLR_ANCHOR_PATH, BLR_ANCHOR_PATH, "serve", "--registry", registry_.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    FILE* out = fdopen(fds[0], "r");
    char line[256] = {};
    bool got = std::fgets(line, sizeof line, out) != nullptr;
    std::fclose(out);
    ASSERT_TRUE(got) << "blr-anchor did not start; see " << dir_ << "/anchor.log";
    ASSERT_EQ(std::sscanf(line, "listening on 127.0.0.1:%d", &port_), 1) << line;
  }

  std::string log() const {
    std::ifstream in(dir_ + "/anchor.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static BlrDB::Pair pair(int seed) {
    BlrDB::Pair p;
    p.subClientId = 3;
    p.dstClientId = 11;
    p.headClientId = 12;
    p.tailClientId = 20;
    p.srcName = "vm'" + std::to_string(seed);
    char hex[33];
    std::snprintf(hex, sizeof hex, "%032x", seed);
    p.srcGuid = BlrUUID(std::string(hex));
    BlrDB::Disk d;
    d.srcPath = "/d";
    d.srcGuid = p.srcGuid;
    p.disks.push_back(d);
    return p;
  }

  std::string dir_, registry_;
  pid_t pid_ = -1;
  int port_ = 0;
};

TEST_F(BlrAnchorTest, ServesClientsOverTlsKeepsEventsAndStopsCleanly) {
  BlrDB db;
  BlrDB::Pair p = pair(1);
  CZuError err = db.createOrUpdatePair(p);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(p.tailHostName, MangleHostName("10.0.0.7", "tail1", 8400, 8401));
  ASSERT_FALSE(db.setPairStatus(p.id, 4, "replicating", 0).IsError());
  ASSERT_FALSE(db.setPairProp(p.id, "step", "1").IsError());
  std::string value;
  ASSERT_FALSE(db.getPairProp(p.id, "step", &value).IsError());
  EXPECT_EQ(value, "1");

  std::string mangled;
  DWClient tail(20);
  ASSERT_EQ(tail.getNetworkHostnameMangled(mangled, nullptr), 0) << tail.lastError().AsString();
  EXPECT_EQ(mangled, p.tailHostName);
  DWClient unknown(21);
  EXPECT_NE(unknown.getNetworkHostnameMangled(mangled, nullptr), 0);
  EXPECT_NE(unknown.lastError().AsString().find("There is no client with id 21"),
            std::string::npos);

  std::string out;
  ASSERT_EQ(anchor("events list --entity-type 187 --entity-id " + std::to_string(p.id), &out), 0);
  EXPECT_NE(out.find("0x025A0094 severity=1 entity=187/" + std::to_string(p.id) + " \"vm'1\""),
            std::string::npos)
      << out;
  ASSERT_EQ(anchor("client list", &out), 0);
  EXPECT_NE(out.find("tail1"), std::string::npos);
  ASSERT_EQ(anchor("client remove --id 20"), 0);
  EXPECT_NE(anchor("client remove --id 20"), 0);
  EXPECT_NE(tail.getNetworkHostnameMangled(mangled, nullptr), 0);

  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(log().find("stopping after the requests in flight"), std::string::npos) << log();
}

}  // namespace

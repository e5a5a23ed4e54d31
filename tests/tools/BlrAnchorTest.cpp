// The real blr-anchor program on SQLite in a temporary directory, answering
// client calls over TLS.
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "BLR/BlrDB.h"
#include "host/DWClient.h"
#include "host/DWPlatformInfo.h"
#include "host/DwHostName.h"
#include "host/DwLinkPool.h"
#include "support/Check.h"
#include "support/SamplePair.h"
#include "support/ChildProcess.h"
#include "support/TestCerts.h"

namespace {

class BlrAnchorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TlsConfig anchor = TestCerts::get().config("anchor");
    registry_ = dir_.path() + "/anchor.reg";
    std::ofstream(registry_) << "[Security]\nsCAFile = " << anchor.caFile << "\nsCertFile = "
                             << anchor.certFile << "\nsKeyFile = " << anchor.keyFile
                             << "\nsOperatorNames = job1\n[Link]\nsListenAddress = 127.0.0.1\nnListenPort = 0\n"
                             << "[Database]\nsSqliteDir = " << dir_.path() << "/db\n"
                             << "[EventManager]\nsLogFile = " << dir_.path() << "/anchor.log\n";
    ASSERT_EQ(admin("client add --id 20 --name tail1 --host 10.0.0.7 --dwd-port 8406 "
                    "--evmgrc-port 8407"),
              0);
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{BLR_ANCHOR_PATH, "serve", "--registry", registry_});
    std::string line = server_->readLine();
    int port = numberAfter(line, "listening on 127.0.0.1:");
    ASSERT_NE(port, 0) << line << "; see " << dir_.path() << "/anchor.log";
    EXPECT_THAT(line, HasSubstr("clients: [Link] sServerHost = 127.0.0.1, nServerPort = " +
                                std::to_string(port) + ")"));

    DWPlatformInfo::reset();
    DwLinkPool::instance().clear();
    TlsConfig job = TestCerts::get().config("job1");
    DWPlatformInfo::setValue("Security", "sCAFile", job.caFile);
    DWPlatformInfo::setValue("Security", "sCertFile", job.certFile);
    DWPlatformInfo::setValue("Security", "sKeyFile", job.keyFile);
    DWPlatformInfo::setValue("Link", "sServerHost", "127.0.0.1");
    DWPlatformInfo::setNumber("Link", "nServerPort", port);
    DWPlatformInfo::setNumber("Link", "nTimeoutSecs", 10);
  }

  void TearDown() override {
    DwLinkPool::instance().clear();
    DWPlatformInfo::reset();
  }

  // Runs an admin command; its exit status, its standard output in `out`.
  int admin(const std::string& args, std::string* out = nullptr) {
    std::string command = std::string(BLR_ANCHOR_PATH) + " " + args + " --registry " + registry_;
    FILE* p = popen(command.c_str(), "r");
    char buf[512];
    std::string text;
    while (p && std::fgets(buf, sizeof buf, p)) text += buf;
    int status = p ? pclose(p) : -1;
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  TempDir dir_;
  std::string registry_;
  std::unique_ptr<ChildProcess> server_;
};

// blr clients and blr pairs drive the same calls end to end (CliTest); here
// what only the library's callers and the admin commands see.
TEST_F(BlrAnchorTest, ServesClientsOverTlsKeepsEventsAndStopsCleanly) {
  BlrDB db;
  BlrDB::Pair p = samplePair("vm'1");
  ASSERT_OK(db.createOrUpdatePair(p));
  ASSERT_OK(db.setPairStatus(p.id, 4, "replicating", 0));
  std::string mangled;
  DWClient tail(20);
  ASSERT_EQ(tail.getNetworkHostnameMangled(mangled, nullptr), 0) << tail.lastError().AsString();
  EXPECT_EQ(mangled, MangleHostName("10.0.0.7", "tail1", 8406, 8407));
  EXPECT_EQ(mangled, p.tailHostName);
  DWClientInfo bad;
  bad.id = 22;
  bad.name = "head2";
  bad.netHostName = "10.0.0.8";
  bad.dwdPort = 70000;
  bad.evmgrcPort = 8501;
  EXPECT_THAT(DWClient::add(bad).AsString(), HasSubstr("two ports from 1 to 65535"));

  std::string out;
  ASSERT_EQ(admin("events list --entity-type 187 --entity-id " + std::to_string(p.id), &out), 0);
  EXPECT_THAT(out, HasSubstr("0x025A0094 severity=1 entity=187/" + std::to_string(p.id) +
                             " \"vm'1\""));
  ASSERT_EQ(admin("client list", &out), 0);
  EXPECT_THAT(out, HasSubstr("tail1"));
  ASSERT_EQ(admin("client remove --id 20"), 0);
  EXPECT_NE(admin("client remove --id 20"), 0);
  EXPECT_NE(tail.getNetworkHostnameMangled(mangled, nullptr), 0);

  EXPECT_EQ(server_->stop(), 0);
  std::ifstream log(dir_.path() + "/anchor.log");
  EXPECT_THAT(std::string(std::istreambuf_iterator<char>(log), {}),
              HasSubstr("stopping after the requests in flight"));
}

TEST(ClientDirectoryEdits, NeedACertificateOfTheirOwn) {
  DWClientDirectorySvc directory;  // refuses before reaching any database
  KRP_Cert shared;
  shared.kind = KRP_CERT_KIND_PRODUCT;
  for (const char* req : {"add_client", "remove_client"}) {
    DwLinkSvc::Map resp;
    EXPECT_THAT(directory.dispatch({{"req", req}, {"id", "5"}}, &resp, "someone", shared).AsString(),
                HasSubstr("Client someone may not edit the client directory"));
  }
}

}  // namespace

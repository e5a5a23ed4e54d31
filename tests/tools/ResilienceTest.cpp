// The real blr-anchor and blr-proxy programs under attack: idle plain
// sockets, idle authenticated connections and trickled requests are held open
// while a good client's requests must all succeed; and many clients sending
// frames at the size bound at once must not take the server past its memory
// budget.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrDB.h"
#include "BLR/BlrReg.h"
#include "host/DWPlatformInfo.h"
#include "host/DwHostName.h"
#include "host/DwLinkFrame.h"
#include "host/DwLinkPool.h"
#include "support/Check.h"
#include "support/SamplePair.h"
#include "support/ChildProcess.h"
#include "support/LinkAttack.h"
#include "support/TestCerts.h"
#include "support/WorkflowEnv.h"

namespace {

using Clock = std::chrono::steady_clock;

// Registry settings of this process for the client side: job1's certificate.
void useClientCertificate() {
  DWPlatformInfo::reset();
  DwLinkPool::instance().clear();
  TlsConfig job = TestCerts::get().config("job1");
  DWPlatformInfo::setValue("Security", "sCAFile", job.caFile);
  DWPlatformInfo::setValue("Security", "sCertFile", job.certFile);
  DWPlatformInfo::setValue("Security", "sKeyFile", job.keyFile);
  DWPlatformInfo::setNumber("Link", "nTimeoutSecs", 20);
  DWPlatformInfo::setNumber("BLR", "nAuthTimeoutSecs", 20);
  DWPlatformInfo::setNumber("BLR", "nCtrlTimeoutSecs", 20);
}

// Runs `request` `count` times; fails the test on any failure, and reports
// the slowest time.
void goodClient(const char* what, int count, const std::function<CZuError()>& request) {
  std::vector<double> ms;
  for (int i = 0; i < count; ++i) {
    auto begin = Clock::now();
    CZuError err = request();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    ASSERT_OK(err) << what << " request " << i;
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%s: %d requests, median %.1f ms, slowest %.1f ms\n", what, count,
              ms[ms.size() / 2], ms.back());
}

class ResilienceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    raiseDescriptorLimit(4096);
    tls_ = TestCerts::get().context("job1");
  }
  void TearDown() override {
    DwLinkPool::instance().clear();
    DWPlatformInfo::reset();
  }

  // Starts blr-anchor with `extra` registry lines in its [Link] section.
  void startAnchor(const std::string& extra = "") {
    TlsConfig anchor = TestCerts::get().config("anchor");
    std::string registry = dir_.path() + "/anchor.reg";
    std::ofstream(registry) << "[Security]\nsCAFile = " << anchor.caFile << "\nsCertFile = "
                            << anchor.certFile << "\nsKeyFile = " << anchor.keyFile
                            << "\nsOperatorNames = job1\n[Link]\nsListenAddress = 127.0.0.1\nnListenPort = 0\n"
                            << extra << "[Database]\nsSqliteDir = " << dir_.path() << "/db\n"
                            << "[EventManager]\nsLogFile = " << dir_.path() << "/anchor.log\n";
    std::string add = std::string(BLR_ANCHOR_PATH) +
                      " client add --id 20 --name tail1 --host 10.0.0.7 --dwd-port 8406 "
                      "--evmgrc-port 8407 --registry " + registry + " >/dev/null";
    ASSERT_EQ(std::system(add.c_str()), 0);
    anchor_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{BLR_ANCHOR_PATH, "serve", "--registry", registry});
    anchorPort_ = numberAfter(anchor_->readLine(), "listening on 127.0.0.1:");
    ASSERT_NE(anchorPort_, 0);
    useClientCertificate();
    DWPlatformInfo::setValue("Link", "sServerHost", "127.0.0.1");
    DWPlatformInfo::setNumber("Link", "nServerPort", anchorPort_);
  }

  int storePair() {
    BlrDB::Pair p = samplePair();
    EXPECT_OK(BlrDB().createOrUpdatePair(p));
    return p.id;
  }

  TempDir dir_;
  std::shared_ptr<TlsContext> tls_;
  std::unique_ptr<ChildProcess> anchor_;
  int anchorPort_ = 0;
};

TEST_F(ResilienceTest, AnchorServesAGoodClientUnderAttack) {
  startAnchor();
  int id = storePair();
  LinkAttack attack({{anchorPort_, false}}, tls_, LinkAttack::Counts());
  EXPECT_EQ(attack.trickling(), 20);
  EXPECT_GT(attack.idleAuthenticated(), 150);  // some lose their slot while others connect
  goodClient("get_pairs by id", 50, [&] {
    DwLinkPool::instance().clear();  // a new connection each time: the harder case
    BlrDB::Pair pair;
    CZuError err = BlrDB().getPair(id, &pair);
    if (!err.IsError() && pair.id != id)
      err = FXErrorUtil::ErrorInt(FXLOC, 1, "Got pair %d", pair.id);
    return err;
  });
}

TEST_F(ResilienceTest, ProxyListenersServeAGoodClientUnderAttack) {
  ProxyProcess proxy(BLR_PROXY_BIN, "head1", 0);
  int ctrlPort = numberAfter(proxy.banner, "on ports ");
  ASSERT_NE(ctrlPort, 0) << proxy.banner;
  ASSERT_NE(proxy.dwdPort, 0) << proxy.banner;
  useClientCertificate();
  std::string host = MangleHostName("127.0.0.1", "head1", proxy.dwdPort, 0);
  LinkAttack attack({{proxy.dwdPort, false}, {ctrlPort, true}}, tls_, LinkAttack::Counts());
  EXPECT_EQ(attack.trickling(), 20);
  goodClient("port lookup and control ping", 20, [&] {
    DwLinkPool::instance().clear();
    BlrCtrl ctrl;
    CZuError err = ctrl.connect(host);
    if (!err.IsError()) err = ctrl.ping();
    return err;
  });
}

// Each frame is charged twice its size, so a budget of 128 MiB admits one
// frame at the size bound at a time; the rest wait their turn.
TEST_F(ResilienceTest, FramesAtTheSizeBoundStayWithinTheMemoryBudget) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer keeps freed memory in quarantine";
#endif
  const long kBudgetMiB = 128, kOverheadMiB = 64;
  startAnchor("nMemoryBudgetMB = " + std::to_string(kBudgetMiB) + "\n");
  long before = anchor_->memoryKiB("VmRSS");
  DwLinkMessage big;
  big.name = "BLR";
  big.entries["req"] = "get_pairs";
  big.entries["blob"] = std::string(kDwLinkMaxFrameBytes - 64, '0');
  std::string frame;
  ASSERT_OK(dwLinkEncode(big, kDwLinkMaxFrameBytes, &frame));
  big.entries.clear();
  const int kClients = 32;
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      // Spread over sources: handshakes from one address are bounded too.
      RawPeer peer("127.0.0.1", anchorPort_, "127.0.0." + std::to_string(10 + i));
      if (peer.authenticate(tls_).IsError()) return;
      std::string payload;
      bool started = false;
      DwLinkMessage answer;
      CZuError err = dwLinkSendFrame(peer.tls, frame, 60000);
      if (!err.IsError())
        err = dwLinkRecvFrame(peer.tls, kDwLinkMaxFrameBytes, 60000, &payload, &started);
      if (!err.IsError()) err = dwLinkDecode(payload.data(), payload.size(), &answer);
      if (!err.IsError() && answer.failure.empty()) ++answered;
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(answered, kClients);
  long peak = anchor_->memoryKiB("VmHWM");
  long after = anchor_->memoryKiB("VmRSS");
  // The last answer may be read before the server lets go of its frame.
  for (int i = 0; i < 50 && after > before + 32 * 1024; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    after = anchor_->memoryKiB("VmRSS");
  }
  std::printf("server RSS: %ld MiB before, %ld MiB peak, %ld MiB after\n", before / 1024,
              peak / 1024, after / 1024);
  EXPECT_LE(peak, (kBudgetMiB + kOverheadMiB) * 1024);
  EXPECT_LE(after, before + 32 * 1024);  // handed back after the burst
}

}  // namespace

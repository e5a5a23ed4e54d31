// A replication-service simulator on loopback for the control-channel tests:
// the test process is client "client1"; the simulated proxy is "anchor" (or
// another certificate of LinkTestEnv), with faults and settings set in
// process.
#ifndef TESTS_CTRLTESTENV_H
#define TESTS_CTRLTESTENV_H

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BLR/BlrDBSvc.h"
#include "BlrTesting.h"
#include "PairDbTestEnv.h"
#include "LinkTestEnv.h"
#include "ProxyConfig.h"
#include "ProxyServer.h"
#include "ProxyState.h"
#include "host/DWPlatformInfo.h"
#include "host/DwHostName.h"
#include "host/DWClientDirectory.h"
#include "host/DWSqlSchema.h"
#include "host/DwLinkPool.h"
#include "support/TempFile.h"

// Keeps reported statuses, and answers pair lookups from `stored`.
class RecordingReporter : public ProxyReporter {
 public:
  struct Report {
    int pairId, status;
    std::string message;
    int eventId;
  };

  CZuError setPairStatus(int pairId, int status, const std::string& message,
                         int eventId) override {
    std::lock_guard<std::mutex> lock(mu_);
    reports_.push_back({pairId, status, message, eventId});
    cv_.notify_all();
    return CZuError();
  }
  CZuError getPair(int pairId, BlrDB::Pair* pair) override {
    std::lock_guard<std::mutex> lock(mu_);
    pair->clear();
    auto it = stored.find(pairId);
    if (it != stored.end()) *pair = it->second;
    return CZuError();
  }

  std::vector<int> statuses(int pairId) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<int> out;
    for (const Report& r : reports_)
      if (r.pairId == pairId) out.push_back(r.status);
    return out;
  }
  std::vector<Report> reports() {
    std::lock_guard<std::mutex> lock(mu_);
    return reports_;
  }
  // Waits (bounded) until `count` reports arrived.
  bool awaitReports(size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return reports_.size() >= count; });
  }

  std::map<int, BlrDB::Pair> stored;  // set before use

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Report> reports_;
};

// One simulated proxy with its port lookup.
struct SimProxy {
  explicit SimProxy(std::shared_ptr<TlsContext> tls, const ProxySettings& settings = instant())
      : control(settings, ProxyFaults(), ""), state(&reporter), server(&control, &state) {
    state.setSettings(settings);
    ProxyServerConfig config;
    config.address = "127.0.0.1";
    config.tls = tls;
    config.authTimeoutMs = 5000;
    CZuError err = server.start(config);
    EXPECT_FALSE(err.IsError()) << err.AsString();
  }

  // Delays of 0: pairs run and markers arrive at once.
  static ProxySettings instant() {
    ProxySettings s;
    s.syncDelayMs = 0;
    s.flushDelayMs = 0;
    return s;
  }

  std::string mangled(const std::string& clientName = "anchor") const {
    return MangleHostName("127.0.0.1", clientName, server.dwdPort(), 0);
  }
  void fault(const std::string& spec) {
    ProxyFaultKey key;
    ProxyFault f;
    CZuError err = proxyParseFault(spec, &key, &f);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    control.setFault(key, f);
  }

  RecordingReporter reporter;
  ProxyControl control;
  ProxyState state;
  ProxyServer server;
};

// The pair database in SQLite files of a fresh directory, served in this
// process (BlrDB requests reach it through the in-process link).
struct InProcessPairDb {
  InProcessPairDb() {
    char tmpl[] = "/tmp/blr-ctrl-db-XXXXXX";
    dir = mkdtemp(tmpl);
    DWPlatformInfo::setValue("Database", "sBackend", "sqlite");
    DWPlatformInfo::setValue("Database", "sSqliteDir", dir);
    CZuError err = DWCreateSchema("Anchor");
    // Pairs are read joined with their Tail's client entry.
    if (!err.IsError()) err = DWClientDirectory::add(PairDbTest::tailClient());
    EXPECT_FALSE(err.IsError()) << err.AsString();
    svc = std::make_unique<BlrDBSvc>();
  }
  ~InProcessPairDb() {
    svc.reset();
    std::filesystem::remove_all(dir);
  }

  // Stores a pair of `vm` (one disk) to a recovery VM of its own, in
  // `status`, and returns its id.
  int addPair(const BlrUUID& vm, int status = 0) {
    ++pairs;  // a pair is found again by subclient and VM
    BlrDB::Pair pair = PairDbTest::newPair(pairs, pairs, 1);
    pair.srcGuid = vm;
    CZuError err = BlrDB().createOrUpdatePair(pair);
    if (!err.IsError()) err = BlrDB().setPairStatus(pair.id, status, "", 0);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    return pair.id;
  }

  int pairs = 0;
  std::string dir;
  std::unique_ptr<BlrDBSvc> svc;
};

// The client side's configuration: certificate "client1", short time-outs.
class CtrlFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkTestEnv& env = LinkTestEnv::get();
    DWPlatformInfo::reset();
    TlsConfig tls = env.config("client1");
    DWPlatformInfo::setValue("Security", "sCAFile", tls.caFile);
    DWPlatformInfo::setValue("Security", "sCertFile", tls.certFile);
    DWPlatformInfo::setValue("Security", "sKeyFile", tls.keyFile);
    DWPlatformInfo::setValue("EventManager", "sLogFile", log_.path());
    setBlr("nAuthTimeoutSecs", 5);
    setBlr("nCtrlTimeoutSecs", 5);
  }
  void TearDown() override {
    DwLinkPool::instance().clear();
    DWPlatformInfo::reset();
    blrRegResetForTesting();
  }

  // Sets a [BLR] number and makes BlrReg read it at once.
  static void setBlr(const char* key, long long value) {
    DWPlatformInfo::setNumber("BLR", key, value);
    blrRegResetForTesting();
  }

  TempFile log_;
};

#endif  // TESTS_CTRLTESTENV_H

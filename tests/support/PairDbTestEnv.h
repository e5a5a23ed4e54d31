// The pair database on either backend with the service registered in the
// test process, so that BlrDB requests reach it through the in-process link.
#ifndef TESTS_PAIRDBTESTENV_H
#define TESTS_PAIRDBTESTENV_H

#include <cstdio>
#include <memory>
#include <string>

#include "BLR/BlrDB.h"
#include "BLR/BlrDBSvc.h"
#include "BLR/BlrPlanDB.h"
#include "support/SqlTestDb.h"
#include "host/clients/DWClientDirectory.h"
#include "host/sql/DWSimpleDBConnObject.h"
#include "host/sql/DWSqlSchema.h"
#include "support/Check.h"
#include "support/ManualClock.h"
#include "support/SamplePair.h"

class PairDbTest : public SqlBackendTest {
 public:
  static constexpr int kTail = 20;  // has a client directory entry
  static constexpr time_t kNow = 1700000000;

  // The time stands still, but sleeps are real: the database waits for locks
  // through the clock, and concurrent tests need those waits.
  PairDbTest() : clock_(kNow, true), installer_(&clock_) {}

 protected:
  void SetUp() override {
    SqlBackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_OK(DWCreateSchema("Anchor"));
    ASSERT_OK(DWCreateSchema("HistoryDB"));
    ASSERT_OK(DWClientDirectory::add(tailClient()));
    svc_.reset(new BlrDBSvc);
  }
  void TearDown() override {
    svc_.reset();
    SqlBackendTest::TearDown();
  }

 public:
  static DWClientInfo tailClient() { return sampleTail(kTail); }

  // A distinct identifier per seed.
  static BlrUUID guid(int seed) {
    char hex[33];
    std::snprintf(hex, sizeof hex, "%08x00000000000000000000%04x", seed, seed & 0xFFFF);
    return BlrUUID(std::string(hex));
  }

  // A complete new pair of `subClient` with `disks` disks.
  static BlrDB::Pair newPair(int subClient, int seed, int disks) {
    BlrDB::Pair p;
    p.subClientId = subClient;
    p.dstClientId = 11;
    p.headClientId = 12;
    p.tailClientId = kTail;
    p.srcName = "vm" + std::to_string(seed);
    p.dstName = "vm" + std::to_string(seed) + "-dr";
    p.srcGuid = guid(seed);
    p.dstGuid = guid(seed + 50000);
    for (int i = 0; i < disks; ++i) {
      BlrDB::Disk d;
      d.srcPath = "/src/" + std::to_string(seed) + "/disk" + std::to_string(i);
      d.dstPath = "/dst/" + std::to_string(seed) + "/disk" + std::to_string(i);
      d.srcGuid = guid(seed * 100 + i + 1000000);
      d.dstGuid = guid(seed * 100 + i + 2000000);
      p.disks.push_back(d);
    }
    return p;
  }

  static BlrDB::BootVM newBootVM(int pairId, int disks) { return sampleBootVM(pairId, disks); }

  // A plan of one group holding pair `pairId`.
  static BlrPlanDB::Plan newPlan(const std::string& name, int pairId) {
    BlrPlanDB::Plan plan;
    plan.name = name;
    plan.healthTimeoutSecs = 60;
    plan.groups.emplace_back();
    plan.groups.back().parallelism = 1;
    plan.groups.back().members.emplace_back();
    plan.groups.back().members.back().pairId = pairId;
    return plan;
  }

  // Stores plan `name` of pair `pairId` and a run of it that finished "done"
  // with that pair; returns the run's id.
  static int storePlanWithRun(const std::string& name, int pairId) {
    BlrPlanDB plans;
    EXPECT_OK(plans.createPlan(newPlan(name, pairId), nullptr));
    BlrPlanDB::Run run;
    run.planName = name;
    run.workflow = "test";
    run.user = "alice";
    EXPECT_OK(plans.createRun(&run));
    BlrPlanDB::RunPair runPair;
    runPair.pairId = pairId;
    runPair.outcome = "done";
    EXPECT_OK(plans.setRunPair(run.id, runPair));
    EXPECT_OK(plans.finishRun(run.id, "done"));
    return run.id;
  }

 protected:
  // Stores a new pair and returns it as the service answered.
  BlrDB::Pair store(int subClient, int seed, int disks) {
    BlrDB::Pair p = newPair(subClient, seed, disks);
    EXPECT_OK(db_.createOrUpdatePair(p));
    return p;
  }

  // The pair as the service reads it back.
  BlrDB::Pair read(int pairId) {
    BlrDB::Pair p;
    EXPECT_OK(db_.getPair(pairId, &p));
    return p;
  }

  // Runs raw SQL on "Anchor" (or `dbName`); with a query, the first column of
  // its first row (0 without rows).
  static long long sql(const std::string& statement, const char* dbName = "Anchor") {
    DWSimpleDBConnObject conn;
    int rc = conn.openSQLConnectionUsingDbName(dbName);
    if (rc == 0) rc = conn.execQuery(statement.c_str());
    EXPECT_TRUE(rc == 0 || rc == DWSQL_NO_ROWS) << statement << ": " << conn.getLastErrorText();
    int64_t value = 0;
    if (rc == 0 && conn.ibindstruct("b", &value) == 0) conn.getNextRow();
    return value;
  }
  static long long count(const std::string& table, const std::string& where = "") {
    return sql("SELECT COUNT(*) FROM " + table + (where.empty() ? "" : " WHERE " + where));
  }

  ManualClock clock_;
  ManualClock::Installer installer_;
  std::unique_ptr<BlrDBSvc> svc_;
  BlrDB db_;
};

#endif  // TESTS_PAIRDBTESTENV_H

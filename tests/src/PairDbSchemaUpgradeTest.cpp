// A database of the first release, with pairs, plans, runs, events and
// recorded answers in it, brought to this release's schema and to one more
// step: every row reads back the same through the service, and a recorded
// answer still answers its request id.
#include <gtest/gtest.h>

#include <list>
#include <map>
#include <vector>

#include "BLR/BlrPlanDB.h"
#include "host/log/EvEvent.h"
#include "records/BlrDBTags.h"
#include "support/PairDbTestEnv.h"

namespace {

struct Contents {
  std::list<BlrDB::Pair> pairs;
  std::vector<std::map<std::string, std::string>> props;
  std::vector<std::list<BlrDB::BootVM>> bootVms;
  std::list<BlrPlanDB::Plan> plans;
  std::list<BlrPlanDB::Run> runs;
  BlrPlanDB::Run firstRun;
  std::vector<std::string> events;
  long long stats = 0;

  bool operator==(const Contents& o) const {
    return pairs == o.pairs && props == o.props && bootVms == o.bootVms && plans == o.plans &&
           runs == o.runs && firstRun == o.firstRun && events == o.events && stats == o.stats;
  }
};

class PairDbSchemaUpgradeTest : public PairDbTest {
 protected:
  // Pairs with disks, properties and boot VMs, statistics, a plan with a
  // finished run, and the events the changes left.
  void populate() {
    for (int seed = 1; seed <= 3; ++seed) {
      BlrDB::Pair p = store(3, seed, seed);
      ASSERT_OK(db_.setPairStatus(p.id, 3, "synchronising", 0));
      ASSERT_OK(db_.setPairProp(p.id, "owner", "team " + std::to_string(seed)));
      int bootVmId = 0;
      ASSERT_OK(db_.addBootVM(newBootVM(p.id, 2), &bootVmId));
      BlrDB::PairStats stats;
      stats.pairId = p.id;
      stats.ioDelta = seed;
      ASSERT_OK(db_.addPairStats(stats));
    }
    storePlanWithRun("site b", 1);
  }

  // "set_pair_prop" of `value` on the first pair under request id `rid`.
  CZuError setOwner(const std::string& rid, const std::string& value, BlrDBSvc::Map* resp) {
    DwEbmlBuffer buffer(256);
    DwEbmlWriter body(buffer, 0);
    body.writeNumTag(BLRDB_TAG_PAIR_ID, 1);
    body.writeStrTag(BLRDB_TAG_PROP_NAME, "owner");
    body.writeStrTag(BLRDB_TAG_PROP_VALUE, value);
    BlrDBSvc::Map req{{"req", "set_pair_prop"}, {"rid", rid}};
    blrSetBlob(req, body.getBuffer(), body.getSize());
    resp->clear();
    return svc_->dispatch(req, resp, "t", KRP_Cert());
  }

  Contents contents() {
    Contents c;
    EXPECT_OK(db_.getPairs(BlrDB::Pair(), &c.pairs));
    for (const BlrDB::Pair& p : c.pairs) {
      c.props.emplace_back();
      EXPECT_OK(db_.getPairProps(p.id, &c.props.back()));
      c.bootVms.emplace_back();
      EXPECT_OK(db_.getBootVMsForPair(p.id, &c.bootVms.back()));
    }
    BlrPlanDB plans;
    EXPECT_OK(plans.listPlans(&c.plans));
    EXPECT_OK(plans.getRuns("site b", &c.runs));
    if (!c.runs.empty()) {
      EXPECT_OK(plans.getRun(c.runs.front().id, &c.firstRun));
    }
    // Who submitted a run was not kept by the first release.
    for (BlrPlanDB::Run& run : c.runs) run.actor.clear();
    c.firstRun.actor.clear();
    std::vector<EvEventRecord> events;
    EvEvent::Filter all;
    all.limit = 0;
    EXPECT_OK(EvEvent::list(all, &events));
    for (const EvEventRecord& e : events) {
      std::string text = std::to_string(e.seq) + " " + std::to_string(e.time) + " " + std::to_string(e.eventId) +
                         " " + std::to_string(e.entityId) + " " + e.actor;
      for (const std::string& a : e.arguments) text += " " + a;
      c.events.push_back(text);
    }
    c.stats = sql("SELECT COUNT(*) FROM BlrPairStats", "HistoryDB");
    return c;
  }
};

TEST_P(PairDbSchemaUpgradeTest, EveryRowReadsBackTheSameAfterMigration) {
  populate();
  BlrDBSvc::Map oldAnswer, resp;
  ASSERT_OK(setOwner("old-1", "kept", &oldAnswer));
  const Contents before = contents();
  ASSERT_EQ(before.pairs.size(), 3u);
  ASSERT_EQ(before.plans.size(), 1u);
  ASSERT_EQ(before.firstRun.pairs.size(), 1u);
  ASSERT_FALSE(before.events.empty());
  ASSERT_EQ(before.stats, 3);

  // The first release kept no record of its schema, nor digests of requests,
  // nor runs of single pairs, holds and leases, nor plan targets
  // (PostgreSQL keeps both databases in one schema here).
  for (const char* db : {"Anchor", "HistoryDB"}) sql("DROP TABLE IF EXISTS APP_SchemaVersion", db);
  sql("ALTER TABLE BlrRequestLog DROP COLUMN digest");
  for (const char* column : {"pairId", "options", "actor", "hostName", "runner", "leaseUntil", "stopRequested"})
    sql(std::string("ALTER TABLE BlrPlanRun DROP COLUMN ") + column);
  sql("DROP TABLE BlrRunHold");
  sql("DROP INDEX BlrPlanRun_state");
  for (const char* column : {"rtoSeconds", "rpoSeconds"})
    sql(std::string("ALTER TABLE BlrPlan DROP COLUMN ") + column);
  if (GetParam() == DWSqlBackend::kSqlite) sql("ALTER TABLE BlrRequestLog DROP COLUMN digest", "HistoryDB");
  for (const char* db : {"Anchor", "HistoryDB"}) {
    DWSchemaMigration migration;
    ASSERT_OK(DWCreateSchema(db, &migration));
    EXPECT_EQ(migration.from, 0) << db;
    EXPECT_EQ(migration.to, DWSchemaVersion(db)) << db;
  }
  EXPECT_TRUE(contents() == before);
  // An answer recorded without a digest answers its id as it did, whatever
  // comes with it; a new id is bound to its request.
  ASSERT_OK(setOwner("old-1", "changed", &resp));
  EXPECT_EQ(resp, oldAnswer);
  EXPECT_TRUE(contents() == before);
  ASSERT_OK(setOwner("new-1", "kept", &resp));
  const Contents upgraded = contents();
  EXPECT_THAT(setOwner("new-1", "changed", &resp).Summary(), ::testing::HasSubstr("already used"));
  EXPECT_TRUE(contents() == upgraded);

  // A later step that reshapes a table leaves its rows as they read.
  std::vector<DWSchemaStep> steps = DWSchemaSteps("Anchor", GetParam());
  steps.push_back({static_cast<int>(steps.size()) + 1, "pair-notes",
                   "ALTER TABLE BlrPair ADD COLUMN note TEXT NOT NULL DEFAULT '';"
                   "CREATE INDEX BlrPair_note ON BlrPair(note)"});
  DWSchemaMigration migration;
  ASSERT_OK(DWMigrateSchema("Anchor", steps, &migration));
  EXPECT_EQ(migration.applied.size(), 1u);
  EXPECT_TRUE(contents() == upgraded);
  // The program that knows one step fewer refuses the database.
  EXPECT_TRUE(DWCreateSchema("Anchor").IsError());
  EXPECT_TRUE(contents() == upgraded);
}

BLR_SQL_BACKENDS(PairDbSchemaUpgradeTest);

}  // namespace

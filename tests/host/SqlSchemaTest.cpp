#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "host/sql/DWSimpleDBConnObject.h"
#include "host/sql/DWSqlSchema.h"
#include "support/Check.h"
#include "support/SqlTestDb.h"

namespace {

using ::testing::HasSubstr;

int scalar(const std::string& sql, const char* db = "Anchor") {
  DWSimpleDBConnObject conn;
  int32_t value = INT_MIN;
  if (conn.openSQLConnectionUsingDbName(db) != 0 || conn.execQuery(sql.c_str()) != 0 ||
      conn.ibindstruct("i", &value) != 0 || conn.getNextRow() != 0)
    return INT_MIN;
  return value;
}

bool tableExists(const std::string& table) { return scalar("SELECT COUNT(*) FROM " + table) != INT_MIN; }

class SqlSchemaTest : public SqlBackendTest {
 protected:
  // The compiled-in steps of Anchor and one more.
  std::vector<DWSchemaStep> withStep(const std::string& name, const std::string& text) {
    std::vector<DWSchemaStep> steps = DWSchemaSteps("Anchor", GetParam());
    steps.push_back({static_cast<int>(steps.size()) + 1, name, text});
    return steps;
  }
};

TEST(SqlSchemaSteps, AreNumberedInOrderAndAlikeOnEveryBackend) {
  for (const char* db : {"Anchor", "HistoryDB"}) {
    const auto sqlite = DWSchemaSteps(db, DWSqlBackend::kSqlite);
    const auto postgres = DWSchemaSteps(db, DWSqlBackend::kPostgres);
    ASSERT_FALSE(sqlite.empty()) << db;
    ASSERT_EQ(sqlite.size(), postgres.size()) << db;
    for (size_t i = 0; i < sqlite.size(); ++i) {
      EXPECT_EQ(sqlite[i].version, static_cast<int>(i) + 1) << db;
      EXPECT_EQ(postgres[i].version, sqlite[i].version) << db;
      EXPECT_EQ(postgres[i].name, sqlite[i].name) << db;
    }
    EXPECT_EQ(DWSchemaVersion(db), static_cast<int>(sqlite.size()));
  }
  EXPECT_TRUE(DWSchemaSteps("Unknown", DWSqlBackend::kSqlite).empty());
  EXPECT_EQ(DWSchemaVersion("Unknown"), 0);
}

TEST_P(SqlSchemaTest, AFreshDatabaseIsMigratedOnceAndAgainFindsNothingToDo) {
  for (const char* db : {"Anchor", "HistoryDB"}) {
    SCOPED_TRACE(db);
    int version = -1;
    ASSERT_OK(DWReadSchemaVersion(db, &version));
    EXPECT_EQ(version, 0);
    DWSchemaMigration first, again;
    ASSERT_OK(DWCreateSchema(db, &first));
    EXPECT_EQ(first.from, 0);
    EXPECT_EQ(first.to, DWSchemaVersion(db));
    EXPECT_EQ(first.applied.size(), static_cast<size_t>(DWSchemaVersion(db)));
    ASSERT_OK(DWCreateSchema(db, &again));
    EXPECT_EQ(again.from, DWSchemaVersion(db));
    EXPECT_EQ(again.to, DWSchemaVersion(db));
    EXPECT_TRUE(again.applied.empty());
    ASSERT_OK(DWReadSchemaVersion(db, &version));
    EXPECT_EQ(version, DWSchemaVersion(db));
  }
  EXPECT_TRUE(DWCreateSchema("Unknown").IsError());
}

// A database that a release before versions made (the first step's tables,
// no record) takes the first step as a no-op and the later ones, rows
// untouched: a recorded answer of then has no digest.
TEST_P(SqlSchemaTest, ADatabaseWithoutARecordedVersionKeepsItsRows) {
  ASSERT_OK(DWMigrateSchema("Anchor", {DWSchemaSteps("Anchor", GetParam()).front()}));
  DWSimpleDBConnObject conn;
  ASSERT_EQ(conn.openSQLConnectionUsingDbName("Anchor"), 0);
  ASSERT_EQ(conn.execQuery("INSERT INTO BlrPlan (name, healthTimeoutSecs, created, modified) "
                           "VALUES ('kept', 30, 1, 2); "
                           "INSERT INTO BlrRequestLog (requestId, time, answer) VALUES ('old', 1, ''); "
                           "DROP TABLE APP_SchemaVersion"),
            0)
      << conn.getLastErrorText();
  DWSchemaMigration migration;
  ASSERT_OK(DWCreateSchema("Anchor", &migration));
  EXPECT_EQ(migration.from, 0);
  EXPECT_EQ(migration.to, DWSchemaVersion("Anchor"));
  EXPECT_EQ(scalar("SELECT healthTimeoutSecs FROM BlrPlan WHERE name='kept'"), 30);
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM BlrRequestLog WHERE requestId='old' AND digest IS NULL"), 1);
}

TEST_P(SqlSchemaTest, ANewerDatabaseIsRefusedNamingBothVersionsAndNothingIsWritten) {
  ASSERT_OK(DWCreateSchema("Anchor"));
  const int known = DWSchemaVersion("Anchor");
  DWSimpleDBConnObject conn;
  ASSERT_EQ(conn.openSQLConnectionUsingDbName("Anchor"), 0);
  const std::string newer = std::to_string(known + 2);
  ASSERT_EQ(conn.execQuery(("INSERT INTO APP_SchemaVersion VALUES ('Anchor', " + newer + ", 'later', 0)").c_str()), 0);
  for (const auto& steps : {DWSchemaSteps("Anchor", GetParam()), withStep("marker", "CREATE TABLE Marker (x INTEGER)")}) {
    CZuError err = DWMigrateSchema("Anchor", steps);
    ASSERT_TRUE(err.IsError());
    EXPECT_THAT(err.Summary(), HasSubstr("schema version " + newer));
    EXPECT_THAT(err.Summary(), HasSubstr("newer than version " + std::to_string(steps.back().version)));
  }
  EXPECT_FALSE(tableExists("Marker"));
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM APP_SchemaVersion WHERE db='Anchor'"), known + 1);
}

TEST_P(SqlSchemaTest, AFailingStepLeavesNothingAndTheVersionBeforeIt) {
  ASSERT_OK(DWCreateSchema("Anchor"));
  const int known = DWSchemaVersion("Anchor");
  CZuError err = DWMigrateSchema(
      "Anchor", withStep("broken", "CREATE TABLE Half (x INTEGER); INSERT INTO NoSuchTable VALUES (1)"));
  ASSERT_TRUE(err.IsError());
  EXPECT_THAT(err.Summary(), HasSubstr("to schema version " + std::to_string(known + 1) + " (broken)"));
  EXPECT_FALSE(tableExists("Half"));
  int version = 0;
  ASSERT_OK(DWReadSchemaVersion("Anchor", &version));
  EXPECT_EQ(version, known);
  DWSchemaMigration fixed;
  ASSERT_OK(DWMigrateSchema("Anchor", withStep("fixed", "CREATE TABLE Half (x INTEGER)"), &fixed));
  EXPECT_EQ(fixed.applied, std::vector<std::string>{std::to_string(known + 1) + "-fixed"});
  EXPECT_TRUE(tableExists("Half"));
}

// Servers starting at once on one database: each step runs exactly once,
// and every server ends at the same version.
TEST_P(SqlSchemaTest, ConcurrentMigrationsApplyEachStepOnce) {
  const auto steps = withStep("once", "CREATE TABLE Once (x INTEGER); INSERT INTO Once VALUES (1)");
  std::vector<DWSchemaMigration> results(6);
  std::vector<CZuError> errors(results.size());
  std::vector<std::thread> servers;
  for (size_t i = 0; i < results.size(); ++i)
    servers.emplace_back([&, i] { errors[i] = DWMigrateSchema("Anchor", steps, &results[i]); });
  for (std::thread& t : servers) t.join();
  size_t applied = 0;
  for (size_t i = 0; i < results.size(); ++i) {
    EXPECT_OK(errors[i]);
    EXPECT_EQ(results[i].to, steps.back().version);
    applied += results[i].applied.size();
  }
  EXPECT_EQ(applied, steps.size());
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM Once"), 1);
}

BLR_SQL_BACKENDS(SqlSchemaTest);

}  // namespace

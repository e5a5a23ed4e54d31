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

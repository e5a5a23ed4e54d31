#include "support/SqlTestDb.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "host/config/DWPlatformInfo.h"
#include "host/sql/DWSimpleDBConnObject.h"

namespace {

bool runOnce(const std::string& statement, std::string* whyNot) {
  DWSimpleDBConnObject conn;
  int rc = conn.openSQLConnectionUsingDbName("Anchor");
  if (rc == 0) rc = conn.execQuery(statement.c_str(), false, false);
  if (rc != 0 && whyNot) *whyNot = conn.getLastErrorText();
  return rc == 0;
}

}  // namespace

bool SqlTestDb::setUp(DWSqlBackend backend, std::string* whyNot) {
  DWPlatformInfo::reset();
  switch (backend) {
    case DWSqlBackend::kSqlite:
      return setUpSqlite(whyNot);
    case DWSqlBackend::kPostgres:
      return setUpPostgres(whyNot);
  }
  return false;
}

bool SqlTestDb::setUpSqlite(std::string* whyNot) {
  sqliteDir_ = std::make_unique<TempDir>();
  DWPlatformInfo::setValue("Database", "sBackend", "sqlite");
  DWPlatformInfo::setValue("Database", "sSqliteDir", sqliteDir_->path());
  *whyNot = "mkdtemp failed";
  return !sqliteDir_->path().empty();
}

bool SqlTestDb::setUpPostgres(std::string* whyNot) {
  const char* conninfo = std::getenv("BLR_TEST_PG_CONNINFO");
  if (conninfo == nullptr || *conninfo == '\0') {
    *whyNot = "BLR_TEST_PG_CONNINFO is not set: no PostgreSQL server to test on "
              "(scripts/test.sh starts one)";
    return false;
  }
  static std::atomic<int> counter{0};
  pgConnInfo_ = conninfo;
  pgSchema_ = "blrt_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  DWPlatformInfo::setValue("Database", "sBackend", "postgresql");
  DWPlatformInfo::setValue("Database", "sPostgresConnInfo", pgConnInfo_);
  std::string create = "DROP SCHEMA IF EXISTS " + pgSchema_ + " CASCADE; CREATE SCHEMA " + pgSchema_;
  if (!runOnce(create, whyNot)) return false;
  DWPlatformInfo::setValue("Database", "sPostgresConnInfo",
                           pgConnInfo_ + " options='-c search_path=" + pgSchema_ + "'");
  return true;
}

void SqlTestDb::tearDown() {
  DWSimpleDBConnObject::closeIdleHandles();  // the next test has other databases
  sqliteDir_.reset();
  if (!pgSchema_.empty()) {  // the test may have reset the registry meanwhile
    DWPlatformInfo::setValue("Database", "sBackend", "postgresql");
    DWPlatformInfo::setValue("Database", "sPostgresConnInfo", pgConnInfo_);
    runOnce("DROP SCHEMA IF EXISTS " + pgSchema_ + " CASCADE", nullptr);
    pgSchema_.clear();
  }
  DWPlatformInfo::reset();
}

void SqlBackendTest::SetUp() {
  std::string whyNot;
  if (db_.setUp(GetParam(), &whyNot)) return;
  if (GetParam() == DWSqlBackend::kPostgres && whyNot.find("BLR_TEST_PG_CONNINFO") == 0)
    GTEST_SKIP() << whyNot;
  FAIL() << whyNot;
}

std::string backendName(const ::testing::TestParamInfo<DWSqlBackend>& info) {
  return info.param == DWSqlBackend::kSqlite ? "Sqlite" : "Postgres";
}

void PrintTo(DWSqlBackend backend, std::ostream* out) {
  *out << (backend == DWSqlBackend::kSqlite ? "SQLite" : "PostgreSQL");
}

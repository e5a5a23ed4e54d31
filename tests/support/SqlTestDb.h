// A private database configuration for one test on either backend: SQLite
// files in a fresh directory, or a fresh PostgreSQL schema on the server that
// BLR_TEST_PG_CONNINFO names (keyword=value form).  Every database name maps
// to it.  Tests that can run on both backends take the backend as parameter.
#ifndef TESTS_SQLTESTDB_H
#define TESTS_SQLTESTDB_H

#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "host/sql/DWSqlDialect.h"
#include "support/TempFile.h"

class SqlTestDb {
 public:
  // Sets the registry up; false with the reason when the backend is absent.
  bool setUp(DWSqlBackend backend, std::string* whyNot);
  // Drops what setUp made and resets the registry.
  void tearDown();

 private:
  bool setUpSqlite(std::string* whyNot);
  bool setUpPostgres(std::string* whyNot);

  std::unique_ptr<TempDir> sqliteDir_;
  std::string pgConnInfo_;
  std::string pgSchema_;
};

// Fixture of the tests run on both backends; PostgreSQL cases are skipped,
// with a message, when the server is not configured.
class SqlBackendTest : public ::testing::TestWithParam<DWSqlBackend> {
 protected:
  void SetUp() override;
  void TearDown() override { db_.tearDown(); }

  SqlTestDb db_;
};

std::string backendName(const ::testing::TestParamInfo<DWSqlBackend>& info);
void PrintTo(DWSqlBackend backend, std::ostream* out);

#define BLR_SQL_BACKENDS(suite)                                                                  \
  INSTANTIATE_TEST_SUITE_P(Backends, suite,                                                      \
                           ::testing::Values(DWSqlBackend::kSqlite, DWSqlBackend::kPostgres), \
                           backendName)

#endif  // TESTS_SQLTESTDB_H

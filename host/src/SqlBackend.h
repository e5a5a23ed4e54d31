// The seam between the connection object and a database driver.  Internal to
// the host library.
#ifndef HOST_SRC_SQLBACKEND_H
#define HOST_SRC_SQLBACKEND_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/DWSqlDialect.h"

// One value of a result row.
struct SqlCell {
  enum Kind { kNull, kInt, kText } kind = kNull;
  int64_t integer = 0;
  std::string text;
};

// The rows of one command, read in full.
struct SqlResult {
  bool returnsRows = false;  // a query, even one that found nothing
  int columns = 0;
  std::vector<SqlCell> cells;  // row-major

  size_t rows() const { return columns == 0 ? 0 : cells.size() / columns; }
  void clear() { *this = SqlResult(); }
};

// Where a database name lives, from the registry.
struct SqlLocation {
  std::string name;  // the database name the caller opened
  DWSqlBackend backend = DWSqlBackend::kSqlite;
  std::string sqliteFile;
  std::string postgresConnInfo;
  std::string postgresDbName;  // empty: the connection string's, else `name`
  int busyTimeoutMs = 30000;
  int connectTimeoutSecs = 10;
};

class SqlBackend {
 public:
  virtual ~SqlBackend() = default;

  // Each returns 0 or a DWSQL_* failure code with the driver's text in `error`.
  virtual int open(const SqlLocation& where, std::string* error) = 0;
  // Runs one command in the backend's dialect; a query's rows go to `result`.
  virtual int run(const std::string& command, SqlResult* result, std::string* error) = 0;
  virtual int begin(std::string* error) = 0;
  virtual int commit(std::string* error) = 0;
  virtual int rollback(std::string* error) = 0;
  virtual bool inTransaction() const = 0;
  virtual DWSqlBackend dialect() const = 0;
};

std::unique_ptr<SqlBackend> newSqliteBackend();
std::unique_ptr<SqlBackend> newPostgresBackend();

// Reads the location of `dbName` from the registry ([Database.<name>] over
// [Database]).  0, or DWSQL_CONFIG with the reason in `error`.
int resolveSqlLocation(const std::string& dbName, SqlLocation* where, std::string* error);

#endif  // HOST_SRC_SQLBACKEND_H

// The seam between the connection object and a database driver.  Internal to
// the host library.
#ifndef HOST_SRC_SQLBACKEND_H
#define HOST_SRC_SQLBACKEND_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/sql/DWSqlDialect.h"

// One value of the current row, as the driver holds it: `text` stays valid
// until the rows move on.
struct SqlCell {
  enum Kind { kNull, kInt, kText } kind = kNull;
  int64_t integer = 0;
  const char* text = nullptr;  // kText: `size` bytes, not NUL-terminated
  size_t size = 0;
};

// The rows of a query, read one at a time from the driver, so that a large
// answer is never copied in full.
class SqlRows {
 public:
  virtual ~SqlRows() = default;
  virtual int columns() const = 0;
  // Moves to the next row: 0, DWSQL_NO_ROWS after the last one, or a failure
  // code with the driver's text in `error`.
  virtual int next(std::string* error) = 0;
  // A value of the current row; 0 <= column < columns().
  virtual SqlCell cell(int column) const = 0;
};

// What one command gave.
struct SqlResult {
  bool returnsRows = false;   // a query, even one that found nothing
  bool hasRows = false;       // the query found at least one row
  std::unique_ptr<SqlRows> rows;  // before its first row; null unless returnsRows

  void clear() {
    rows.reset();
    returnsRows = hasRows = false;
  }
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
  int poolSize = 16;      // handles open at once per database
  int poolIdleSecs = 60;  // an idle handle is closed after this; 0 keeps none
  // Everything above that shapes a handle: handles of one key share a shelf
  // of the pool, and a change in the registry makes a new one.
  std::string poolKey;
};

class SqlBackend {
 public:
  virtual ~SqlBackend() = default;

  // Each returns 0 or a DWSQL_* failure code with the driver's text in `error`.
  virtual int open(const SqlLocation& where, std::string* error) = 0;
  // Runs one command in the backend's dialect; a query's rows go to `result`.
  virtual int run(const std::string& command, SqlResult* result, std::string* error) = 0;
  // The same for a command whose rows, if any, are not wanted.
  int exec(const std::string& command, std::string* error) {
    SqlResult none;
    return run(command, &none, error);
  }
  virtual int begin(std::string* error) = 0;
  // A transaction that takes the write lock only when lockWrites is called,
  // so that writers of different rows need not wait on each other (SQLite:
  // as begin, whose lock covers the file anyway).
  virtual int beginUnlocked(std::string* error) { return begin(error); }
  // Takes the write lock inside a transaction begun unlocked; it is held to
  // the transaction's end.
  virtual int lockWrites(std::string* /*error*/) { return 0; }
  virtual int commit(std::string* error) = 0;
  virtual int rollback(std::string* error) = 0;
  virtual bool inTransaction() const = 0;
  // The handle failed in a way that makes it unfit for another request.
  virtual bool broken() const = 0;
  virtual DWSqlBackend dialect() const = 0;
};

std::unique_ptr<SqlBackend> newSqliteBackend();
std::unique_ptr<SqlBackend> newPostgresBackend();

// One row per backend: its registry name (the value of sBackend, also the
// folder of its schema texts under schema/), its kind and its factory.
struct SqlBackendRow {
  const char* name;
  DWSqlBackend kind;
  std::unique_ptr<SqlBackend> (*make)();
};

// The row of a registry name, or null for a name no backend has.
const SqlBackendRow* sqlBackendNamed(const std::string& name);
const SqlBackendRow& sqlBackendOf(DWSqlBackend kind);
// "sqlite or postgresql": the registry names, for messages.
std::string sqlBackendNames();

// Reads the location of `dbName` from the registry ([Database.<name>] over
// [Database]).  0, or DWSQL_CONFIG with the reason in `error`.  The answer
// is shared with the other opens of the name until the registry changes.
int resolveSqlLocation(const std::string& dbName, std::shared_ptr<const SqlLocation>* where,
                       std::string* error);

#endif  // HOST_SRC_SQLBACKEND_H

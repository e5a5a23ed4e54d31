// Embedded SQLite: one database file per name, WAL, synchronous writes, and a
// busy handler that waits through the host clock for the write lock.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "SqlBackend.h"
#include "host/DWSimpleDBConnObject.h"
#include "host/DwClock.h"

namespace {

int mapSqliteCode(int rc) {
  switch (rc & 0xff) {
    case SQLITE_CONSTRAINT:
      return DWSQL_CONSTRAINT;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return DWSQL_BUSY;
    case SQLITE_CANTOPEN:
      return DWSQL_CONNECTION;
    case SQLITE_MISUSE:
      return DWSQL_MISUSE;
    case SQLITE_MISMATCH:
    case SQLITE_TOOBIG:
    case SQLITE_RANGE:
      return DWSQL_DATA;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
      return DWSQL_PERMISSION;
    case SQLITE_NOMEM:
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_FULL:
    case SQLITE_NOTADB:
    case SQLITE_NOLFS:
    case SQLITE_PROTOCOL:
      return DWSQL_IO;
    default:
      return DWSQL_ERROR;
  }
}

// mkdir -p of the directory holding `file`.
bool makeParentDirs(const std::string& file, std::string* error) {
  for (size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1)) {
    std::string dir = file.substr(0, slash);
    if (::mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) {
      *error = "Couldn't create directory " + dir + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

class SqliteBackend : public SqlBackend {
 public:
  ~SqliteBackend() override { sqlite3_close_v2(db_); }

  int open(const SqlLocation& where, std::string* error) override {
    if (!makeParentDirs(where.sqliteFile, error)) return DWSQL_CONNECTION;
    busyTimeoutMs_ = where.busyTimeoutMs;
    int rc = sqlite3_open_v2(where.sqliteFile.c_str(), &db_,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      *error = where.sqliteFile + ": " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
      return mapSqliteCode(rc);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_handler(db_, &SqliteBackend::onBusy, this);
    SqlResult mode;
    rc = run("PRAGMA journal_mode=WAL", &mode, error);
    if (rc == 0 && (mode.rows() != 1 || mode.cells[0].text != "wal")) {
      *error = where.sqliteFile + ": couldn't switch to WAL journal mode";
      return DWSQL_IO;
    }
    if (rc == 0) rc = run("PRAGMA synchronous=FULL", &mode, error);
    if (rc == 0) rc = run("PRAGMA foreign_keys=ON", &mode, error);
    return rc;
  }

  int run(const std::string& command, SqlResult* result, std::string* error) override {
    result->clear();
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db_, command.c_str(), static_cast<int>(command.size()), &stmt, nullptr);
    if (rc != SQLITE_OK) return failure(rc, error);
    if (stmt == nullptr) return 0;  // only comments
    result->columns = sqlite3_column_count(stmt);
    result->returnsRows = result->columns > 0;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) readRow(stmt, result);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) {
      result->clear();
      return failure(rc, error);
    }
    return 0;
  }

  int begin(std::string* error) override {
    SqlResult none;
    return run("BEGIN IMMEDIATE", &none, error);
  }
  int commit(std::string* error) override {
    SqlResult none;
    return run("COMMIT", &none, error);
  }
  int rollback(std::string* error) override {
    SqlResult none;
    return run("ROLLBACK", &none, error);
  }
  bool inTransaction() const override { return db_ != nullptr && sqlite3_get_autocommit(db_) == 0; }
  DWSqlBackend dialect() const override { return DWSqlBackend::kSqlite; }

 private:
  static void readRow(sqlite3_stmt* stmt, SqlResult* result) {
    for (int col = 0; col < result->columns; ++col) {
      SqlCell cell;
      switch (sqlite3_column_type(stmt, col)) {
        case SQLITE_NULL:
          break;
        case SQLITE_INTEGER:
          cell.kind = SqlCell::kInt;
          cell.integer = sqlite3_column_int64(stmt, col);
          break;
        default: {
          cell.kind = SqlCell::kText;
          const void* bytes = sqlite3_column_blob(stmt, col);
          int n = sqlite3_column_bytes(stmt, col);
          if (bytes != nullptr) cell.text.assign(static_cast<const char*>(bytes), n);
        }
      }
      result->cells.push_back(std::move(cell));
    }
  }

  int failure(int rc, std::string* error) {
    *error = std::string(sqlite3_errmsg(db_)) + " (SQLite " + std::to_string(sqlite3_extended_errcode(db_)) + ")";
    return mapSqliteCode(rc);
  }

  // Waits in growing steps, through the host clock, until the busy timeout
  // is spent; `count` restarts at 0 for every lock the connection waits on.
  static int onBusy(void* self, int count) {
    static const int kDelaysMs[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
    const int kSteps = sizeof(kDelaysMs) / sizeof(kDelaysMs[0]);
    SqliteBackend* backend = static_cast<SqliteBackend*>(self);
    if (count == 0) backend->waitedMs_ = 0;
    int remaining = backend->busyTimeoutMs_ - backend->waitedMs_;
    if (remaining <= 0) return 0;
    int delay = std::min(count < kSteps ? kDelaysMs[count] : 100, remaining);
    ZUSLEEP(delay);
    backend->waitedMs_ += delay;
    return 1;
  }

  sqlite3* db_ = nullptr;
  int busyTimeoutMs_ = 0;
  int waitedMs_ = 0;
};

}  // namespace

std::unique_ptr<SqlBackend> newSqliteBackend() { return std::unique_ptr<SqlBackend>(new SqliteBackend); }

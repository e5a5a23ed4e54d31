// Embedded SQLite: one database file per name, WAL, durable commits.
// Writers of this process queue on an in-process lock; a busy handler that
// waits through the host clock covers writers of other processes.  A commit
// returns once the log is flushed, by one flush shared with the commits made
// meanwhile (SqliteWriterLock.h).
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <unordered_map>
#include <mutex>

#include "SqlBackend.h"
#include "SqlTemplate.h"
#include "SqliteWriterLock.h"
#include "host/sql/DWSimpleDBConnObject.h"
#include "host/base/DwClock.h"

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
  struct stat st;
  size_t last = file.rfind('/');
  if (last == std::string::npos || last == 0 || ::stat(file.substr(0, last).c_str(), &st) == 0) return true;
  for (size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1)) {
    std::string dir = file.substr(0, slash);
    if (::mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) {
      *error = "Couldn't create directory " + dir + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

// SQLite counts its memory under one process-wide mutex by default, on every
// allocation; nothing here reads the counts.  Only possible before SQLite
// starts, so the first open does it (a later attempt is refused, harmlessly).
void configureSqliteOnce() {
  static std::once_flag once;
  std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
}

int sqliteFailure(sqlite3* db, int rc, std::string* error) {
  *error = std::string(sqlite3_errmsg(db)) + " (SQLite " + std::to_string(sqlite3_extended_errcode(db)) + ")";
  return mapSqliteCode(rc);
}

// The rows of a query straight from its statement, which it owns.
class SqliteRows : public SqlRows {
 public:
  // `onRow`: the statement already stands on its first row.  `onFinish`
  // ends the statement (finalizes it, or resets it for reuse) once the rows
  // are read or abandoned.
  SqliteRows(sqlite3_stmt* stmt, int columns, bool onRow, std::function<void()> onFinish)
      : stmt_(stmt), columns_(columns), pending_(onRow), onFinish_(std::move(onFinish)) {
    if (!onRow) finish();
  }
  ~SqliteRows() override { finish(); }

  int columns() const override { return columns_; }

  int next(std::string* error) override {
    if (pending_) {
      pending_ = false;
      return 0;
    }
    if (stmt_ == nullptr) return DWSQL_NO_ROWS;
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return 0;
    if (rc == SQLITE_DONE) {
      finish();
      return DWSQL_NO_ROWS;
    }
    rc = sqliteFailure(sqlite3_db_handle(stmt_), rc, error);
    finish();
    return rc;
  }

  // Through the column's value, read once: each sqlite3_column_* call
  // checks the statement and the column again.  The value is unprotected,
  // which is sound here: a handle is used by one thread at a time.
  SqlCell cell(int column) const override {
    SqlCell cell;
    sqlite3_value* value = sqlite3_column_value(stmt_, column);
    switch (sqlite3_value_type(value)) {
      case SQLITE_NULL:
        break;
      case SQLITE_INTEGER:
        cell.kind = SqlCell::kInt;
        cell.integer = sqlite3_value_int64(value);
        break;
      default:
        cell.kind = SqlCell::kText;
        cell.text = static_cast<const char*>(sqlite3_value_blob(value));
        cell.size = static_cast<size_t>(sqlite3_value_bytes(value));
    }
    return cell;
  }

 private:
  void finish() {
    stmt_ = nullptr;
    if (onFinish_) onFinish_();
    onFinish_ = nullptr;
  }

  sqlite3_stmt* stmt_;
  int columns_;
  bool pending_;
  std::function<void()> onFinish_;
};

class SqliteBackend : public SqlBackend {
 public:
  ~SqliteBackend() override {
    for (CachedStatement& c : cache_) sqlite3_finalize(c.stmt);
    for (auto& c : control_) sqlite3_finalize(c.second.stmt);
    sqlite3_close_v2(db_);
    if (holding_) writer_->release();  // what it wrote was rolled back
  }

  int open(const SqlLocation& where, std::string* error) override {
    if (!makeParentDirs(where.sqliteFile, error)) return DWSQL_CONNECTION;
    configureSqliteOnce();
    busyTimeoutMs_ = where.busyTimeoutMs;
    int rc = sqlite3_open_v2(where.sqliteFile.c_str(), &db_,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      *error = where.sqliteFile + ": " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
      return mapSqliteCode(rc);
    }
    char canonical[PATH_MAX];
    writer_ = SqliteWriterLock::forFile(::realpath(where.sqliteFile.c_str(), canonical) ? canonical
                                                                                         : where.sqliteFile);
    // The -wal and -shm files stay when the last handle closes, instead of
    // being removed and made again by the next one.
    int persist = 1;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_handler(db_, &SqliteBackend::onBusy, this);
    SqlResult mode;
    rc = run("PRAGMA journal_mode=WAL", &mode, error);
    if (rc == 0 && !firstCellIs(&mode, "wal")) {
      *error = where.sqliteFile + ": couldn't switch to WAL journal mode";
      return DWSQL_IO;
    }
    // The log is flushed by syncWritten() before a commit returns.
    if (rc == 0) rc = run("PRAGMA synchronous=NORMAL", &mode, error);
    if (rc == 0) rc = run("PRAGMA foreign_keys=ON", &mode, error);
    opened_ = rc == 0;
    return rc;
  }

  // Steps the command once: a query keeps its statement open in `result`
  // and hands out its rows one by one; anything else runs to completion.
  // Data commands differing only in their literals share a prepared
  // statement (SqlTemplate.h); anything else is prepared each time.
  int run(const std::string& command, SqlResult* result, std::string* error) override {
    result->clear();
    CachedStatement* cached = nullptr;
    sqlite3_stmt* stmt = controlStatement(command, &cached);
    if (stmt == nullptr) stmt = cachedStatement(command, &cached);
    if (stmt == nullptr) {
      int rc = sqlite3_prepare_v2(db_, command.c_str(), static_cast<int>(command.size()), &stmt, nullptr);
      if (rc != SQLITE_OK) return failure(rc, error);
      if (stmt == nullptr) return 0;  // only comments
    }
    // A write outside a transaction holds the writer lock while it runs.
    bool ownWrite = opened_ && !holding_ && !inTransaction() && !sqlite3_stmt_readonly(stmt);
    // A write (or a transaction that wrote) ending with this statement commits.
    const bool writing = ownWrite || sqlite3_txn_state(db_, nullptr) == SQLITE_TXN_WRITE;
    std::function<void()> done;
    if (cached != nullptr && !ownWrite) {
      done = [this, cached] { endStatement(cached->stmt, cached); };  // small enough to need no allocation
    } else {
      done = [this, stmt, cached, ownWrite] {
        endStatement(stmt, cached);
        // The reader of the rows can't be told of a failed flush: the handle
        // is dropped instead.
        std::string ignored;
        if (ownWrite && endWrite(true, &ignored) != 0) broken_ = true;
      };
    }
    int rc = ownWrite ? takeWriterLock(error) : 0;
    if (rc != 0) {
      endStatement(stmt, cached);
      return rc;
    }
    rc = sqlite3_step(stmt);
    int columns = sqlite3_column_count(stmt);
    if ((rc != SQLITE_ROW && rc != SQLITE_DONE) || columns == 0) {
      int code = rc == SQLITE_ROW || rc == SQLITE_DONE ? 0 : failure(rc, error);
      endStatement(stmt, cached);
      if (!inTransaction()) {
        int flushed = endWrite(writing && code == 0, error);
        if (code == 0) code = flushed;
      }
      return code;
    }
    result->returnsRows = true;
    result->hasRows = rc == SQLITE_ROW;
    result->rows.reset(new SqliteRows(stmt, columns, result->hasRows, std::move(done)));
    return 0;
  }

  int begin(std::string* error) override {
    int rc = takeWriterLock(error);
    if (rc != 0) return rc;
    rc = exec("BEGIN IMMEDIATE", error);
    if (rc != 0 && !inTransaction()) endWrite(false, error);
    return rc;
  }
  int commit(std::string* error) override { return exec("COMMIT", error); }
  int rollback(std::string* error) override {
    int rc = exec("ROLLBACK", error);
    if (rc != 0 && inTransaction()) broken_ = true;
    return rc;
  }
  bool inTransaction() const override { return db_ != nullptr && sqlite3_get_autocommit(db_) == 0; }
  bool broken() const override { return broken_ || db_ == nullptr; }
  DWSqlBackend dialect() const override { return DWSqlBackend::kSqlite; }

 private:
  static bool firstCellIs(SqlResult* result, const char* text) {
    std::string ignored;
    if (!result->hasRows || result->rows->next(&ignored) != 0) return false;
    SqlCell cell = result->rows->cell(0);
    return cell.kind == SqlCell::kText && std::string(cell.text, cell.size) == text;
  }

  int failure(int rc, std::string* error) {
    int code = sqliteFailure(db_, rc, error);
    if (code == DWSQL_IO) broken_ = true;  // disk, memory or a damaged file
    return code;
  }

  // A prepared statement kept for the commands of one template.
  struct CachedStatement {
    SqlTemplate shape;   // its values are those of the command it was made of
    sqlite3_stmt* stmt;  // null: the template does not prepare
    bool inUse;
  };
  static const size_t kCachedStatements = 64;
  // Statements whose templates a command is matched against before it is
  // scanned for its own; a request repeats the few commands it runs.
  static const size_t kMatchedStatements = 8;

  // The statement of a transaction command (BEGIN, COMMIT, SAVEPOINT, ...),
  // prepared once per handle: every transaction runs a few, always the same.
  // Null for another command, or while its statement is in use.
  sqlite3_stmt* controlStatement(const std::string& command, CachedStatement** entry) {
    if (!opened_ || !isControl(command)) return nullptr;
    auto it = control_.find(command);
    if (it == control_.end()) {
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v2(db_, command.c_str(), static_cast<int>(command.size()), &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;  // prepared again, to report the failure
      }
      it = control_.emplace(command, CachedStatement{SqlTemplate(), stmt, false}).first;
    }
    if (it->second.inUse) return nullptr;
    it->second.inUse = true;
    *entry = &it->second;
    return it->second.stmt;
  }

  static bool isControl(const std::string& command) {
    static const char* const kWords[] = {"BEGIN", "COMMIT", "ROLLBACK", "SAVEPOINT", "RELEASE"};
    if (command.size() > 64) return false;  // the few this layer sends are short
    for (const char* word : kWords)
      if (command.compare(0, std::strlen(word), word) == 0) return true;
    return false;
  }

  // The cached statement of `command`'s template with its values bound, or
  // null when the command has no template, the template doesn't prepare, or
  // its statement is in use.
  sqlite3_stmt* cachedStatement(const std::string& command, CachedStatement** entry) {
    if (!opened_) return nullptr;
    auto it = matchRecentTemplate(cache_, kMatchedStatements, command, &values_);
    if (it == cache_.end()) {
      SqlTemplate t;
      if (!SqlTemplate::make(command, '?', &t)) return nullptr;
      values_ = t.values;
      auto found = index_.find(t.text);
      it = found == index_.end() ? cache_.end() : found->second;
      if (it == cache_.end()) it = addStatement(std::move(t));
    }
    cache_.splice(cache_.begin(), cache_, it);  // most recently used first
    if (it->stmt == nullptr || it->inUse) return nullptr;
    for (size_t i = 0; i < values_.size(); ++i) {
      const SqlTemplate::Value& v = values_[i];
      int column = static_cast<int>(i + 1);
      int rc = v.isText ? sqlite3_bind_text(it->stmt, column, v.text.data(), static_cast<int>(v.text.size()),
                                            SQLITE_TRANSIENT)
                        : sqlite3_bind_int64(it->stmt, column, v.integer);
      if (rc != SQLITE_OK) {
        sqlite3_clear_bindings(it->stmt);
        return nullptr;
      }
    }
    it->inUse = true;
    *entry = &*it;
    return it->stmt;
  }

  // Prepares the statement of template `t` and caches it.
  std::list<CachedStatement>::iterator addStatement(SqlTemplate t) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, t.text.c_str(), static_cast<int>(t.text.size()), &stmt, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      stmt = nullptr;
    }
    evictOne();
    cache_.push_front(CachedStatement{std::move(t), stmt, false});
    index_[cache_.front().shape.text] = cache_.begin();
    return cache_.begin();
  }

  // Drops the least recently used statement not in use when the cache is full.
  void evictOne() {
    if (cache_.size() < kCachedStatements) return;
    for (auto it = cache_.end(); it != cache_.begin();) {
      --it;
      if (it->inUse) continue;
      sqlite3_finalize(it->stmt);
      index_.erase(it->shape.text);
      cache_.erase(it);
      return;
    }
  }

  void endStatement(sqlite3_stmt* stmt, CachedStatement* cached) {
    if (cached == nullptr) {
      sqlite3_finalize(stmt);
      return;
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    cached->inUse = false;
  }

  int takeWriterLock(std::string* error) {
    int rc = writer_->acquire(busyTimeoutMs_, error);
    holding_ = rc == 0;
    return rc;
  }
  // The write or transaction ended: the writer lock, held as long as it
  // lasts, goes to the next writer, and a commit returns once on disk.
  int endWrite(bool committed, std::string* error) {
    uint64_t written = 0;
    if (holding_) {
      holding_ = false;
      written = writer_->release();
    } else if (committed) {
      written = writer_->committed();
    }
    if (!committed) return 0;
    int rc = writer_->syncWritten(written, error);
    if (rc != 0) broken_ = true;
    return rc;
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
  std::list<CachedStatement> cache_;  // most recently used first
  std::unordered_map<std::string, std::list<CachedStatement>::iterator> index_;  // by template text
  std::unordered_map<std::string, CachedStatement> control_;  // by command text
  std::vector<SqlTemplate::Value> values_;  // of the command being bound
  std::shared_ptr<SqliteWriterLock> writer_;
  bool opened_ = false;   // the session is set up; writes take the writer lock
  bool holding_ = false;  // of the writer lock
  bool broken_ = false;
  int busyTimeoutMs_ = 0;
  int waitedMs_ = 0;
};

}  // namespace

std::unique_ptr<SqlBackend> newSqliteBackend() { return std::unique_ptr<SqlBackend>(new SqliteBackend); }

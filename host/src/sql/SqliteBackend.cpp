// Embedded SQLite: one database file per name, WAL, durable commits.
// Writers of this process queue on an in-process lock; a busy handler that
// waits through the host clock covers writers of other processes.  A commit
// returns once the log is flushed, by one flush shared with the commits made
// meanwhile (SqliteWriterLock.h).  A transaction runs on the connection the
// lock keeps for its writers, whose cache of pages no other commit of this
// process empties; reads run on the handle's own.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "SqlBackend.h"
#include "SqliteSession.h"
#include "SqliteWriterLock.h"
#include "host/sql/DWSimpleDBConnObject.h"
#include "host/base/DwClock.h"

namespace {

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
    if (!holding_) return;
    // What it wrote is rolled back before the next writer comes in.
    if (sqlite3_get_autocommit(cur_->db()) == 0) {
      std::string ignored;
      if (exec("ROLLBACK", &ignored) != 0 || sqlite3_get_autocommit(cur_->db()) == 0) cur_->broken = true;
    }
    if (holding_) releaseWriterLock();
  }

  int open(const SqlLocation& where, std::string* error) override {
    if (!makeParentDirs(where.sqliteFile, error)) return DWSQL_CONNECTION;
    busyTimeoutMs_ = where.busyTimeoutMs;
    int rc = own_.open(where.sqliteFile, &SqliteBackend::onBusy, this, error);
    if (rc != 0) return rc;
    char canonical[PATH_MAX];
    file_ = ::realpath(where.sqliteFile.c_str(), canonical) ? canonical : where.sqliteFile;
    writer_ = SqliteWriterLock::forFile(file_, where.name);
    return 0;
  }

  // Steps the command once: a query keeps its statement open in `result`
  // and hands out its rows one by one; anything else runs to completion.
  // Data commands differing only in their literals share a prepared
  // statement (SqlTemplate.h); anything else is prepared each time.
  int run(const std::string& command, SqlResult* result, std::string* error) override {
    result->clear();
    SqliteSession* session = cur_;
    sqlite3* db = session->db();
    SqliteStatement* cached = nullptr;
    sqlite3_stmt* stmt = session->controlStatement(command, &cached);
    if (stmt == nullptr) stmt = session->cachedStatement(command, &cached);
    if (stmt == nullptr) {
      int rc = sqlite3_prepare_v2(db, command.c_str(), static_cast<int>(command.size()), &stmt, nullptr);
      if (rc != SQLITE_OK) return failure(rc, error);
      if (stmt == nullptr) return 0;  // only comments
    }
    // A write outside a transaction holds the writer lock while it runs.
    bool ownWrite = own_.isOpen() && !holding_ && !inTransaction() && !sqlite3_stmt_readonly(stmt);
    // A write (or a transaction that wrote) ending with this statement commits.
    const bool writing = ownWrite || sqlite3_txn_state(db, nullptr) == SQLITE_TXN_WRITE;
    const bool onWriters = session != &own_;
    std::function<void()> done;
    if (cached != nullptr && !ownWrite && !onWriters) {
      done = [session, cached] { session->endStatement(cached->stmt, cached); };  // needs no allocation
    } else {
      done = [this, session, stmt, cached, ownWrite, onWriters] {
        session->endStatement(stmt, cached);
        if (onWriters) writersRowsEnded();
        // The reader of the rows can't be told of a failed flush: the handle
        // is dropped instead.
        std::string ignored;
        if (ownWrite && endWrite(true, &ignored) != 0) broken_ = true;
      };
    }
    int rc = ownWrite ? takeWriterLock(error) : 0;
    if (rc != 0) {
      session->endStatement(stmt, cached);
      return rc;
    }
    rc = sqlite3_step(stmt);
    int columns = sqlite3_column_count(stmt);
    if ((rc != SQLITE_ROW && rc != SQLITE_DONE) || columns == 0) {
      int code = rc == SQLITE_ROW || rc == SQLITE_DONE ? 0 : failure(rc, error);
      session->endStatement(stmt, cached);
      if (!inTransaction()) {
        int flushed = endWrite(writing && code == 0, error);
        if (code == 0) code = flushed;
      }
      return code;
    }
    if (onWriters) ++writersRows_;
    result->returnsRows = true;
    result->hasRows = rc == SQLITE_ROW;
    result->rows.reset(new SqliteRows(stmt, columns, result->hasRows, std::move(done)));
    return 0;
  }

  int begin(std::string* error) override {
    // Rows of the last transaction still being read keep the writer lock;
    // it passes on to this one.
    int rc = releaseWhenRowsEnd_ ? 0 : takeWriterLock(error);
    releaseWhenRowsEnd_ = false;
    if (rc != 0) return rc;
    borrowWritersSession();
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
  bool inTransaction() const override { return cur_->db() != nullptr && sqlite3_get_autocommit(cur_->db()) == 0; }
  bool broken() const override { return broken_ || own_.db() == nullptr; }
  DWSqlBackend dialect() const override { return DWSqlBackend::kSqlite; }

 private:
  int failure(int rc, std::string* error) {
    int code = sqliteFailure(cur_->db(), rc, error);
    if (code == DWSQL_IO) broken_ = cur_->broken = true;  // disk, memory or a damaged file
    return code;
  }

  int takeWriterLock(std::string* error) {
    int rc = writer_->acquire(busyTimeoutMs_, error);
    holding_ = rc == 0;
    return rc;
  }

  // Lets the next writer in, on the handle's own connection again; what
  // syncWritten() must cover.
  uint64_t releaseWriterLock() {
    holding_ = false;
    returnWritersSession();
    return writer_->release();
  }

  // Moves this handle's statements to the writers' connection, opened on
  // first use; while it can't be had they stay on the handle's own.  Only
  // while holding the writer lock.
  void borrowWritersSession() {
    std::unique_ptr<SqliteSession>& shared = writer_->session();
    if (!shared) {
      std::unique_ptr<SqliteSession> fresh(new SqliteSession);
      std::string ignored;
      if (fresh->open(file_, &SqliteBackend::onBusy, this, &ignored) != 0) return;
      shared = std::move(fresh);
    }
    cur_ = shared.get();
    sqlite3_busy_handler(cur_->db(), &SqliteBackend::onBusy, this);
  }

  // Back to the handle's own connection; a writers' connection that failed
  // is closed, for the next writer to open another.
  void returnWritersSession() {
    if (cur_ == &own_) return;
    sqlite3_busy_handler(cur_->db(), nullptr, nullptr);  // this handle may go before the connection
    if (cur_->broken) writer_->session().reset();
    cur_ = &own_;
  }

  // The rows of a query on the writers' connection were read or dropped.
  void writersRowsEnded() {
    if (--writersRows_ > 0 || !releaseWhenRowsEnd_) return;
    releaseWhenRowsEnd_ = false;
    releaseWriterLock();
  }

  // The write or transaction ended: the writer lock, held as long as it
  // lasts, goes to the next writer, and a commit returns once on disk.
  // Rows still being read on the writers' connection keep the lock until
  // they end.
  int endWrite(bool committed, std::string* error) {
    uint64_t written = 0;
    if (holding_ && cur_ != &own_ && writersRows_ > 0) {
      releaseWhenRowsEnd_ = true;
      if (!committed) return 0;
      written = writer_->committed();
    } else if (holding_) {
      written = releaseWriterLock();
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

  SqliteSession own_;
  SqliteSession* cur_ = &own_;  // own_, or the writers' while holding the writer lock
  std::string file_;            // canonical path
  std::shared_ptr<SqliteWriterLock> writer_;
  bool holding_ = false;             // of the writer lock
  bool releaseWhenRowsEnd_ = false;  // the transaction ended with rows of it still open
  int writersRows_ = 0;              // rows open on the writers' connection
  bool broken_ = false;
  int busyTimeoutMs_ = 0;
  int waitedMs_ = 0;
};

}  // namespace

std::unique_ptr<SqlBackend> newSqliteBackend() { return std::unique_ptr<SqlBackend>(new SqliteBackend); }

#include "SqliteSession.h"

#include <cstring>
#include <mutex>

#include "host/sql/DWSimpleDBConnObject.h"

namespace {

// What `rc`, a SQLite result, means as a DWSQL_* code.
int sqliteCode(int rc) {
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

// SQLite counts its memory under one process-wide mutex by default, on every
// allocation; nothing here reads the counts.  Only possible before SQLite
// starts, so the first open does it (a later attempt is refused, harmlessly).
void configureSqliteOnce() {
  static std::once_flag once;
  std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
}

// Runs a setting; `expect`, when given, is the text its answer must be, and
// `refusal` what an other answer means.
int setUp(sqlite3* db, const char* pragma, std::string* error, const char* expect = nullptr,
          const char* refusal = nullptr) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, pragma, -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  const bool answered = rc == SQLITE_ROW || rc == SQLITE_DONE;
  const unsigned char* text = rc == SQLITE_ROW ? sqlite3_column_text(stmt, 0) : nullptr;
  const bool expected = expect == nullptr ||
                        (text != nullptr && std::strcmp(reinterpret_cast<const char*>(text), expect) == 0);
  int code = answered ? 0 : sqliteFailure(db, rc, error);
  sqlite3_finalize(stmt);
  if (code == 0 && !expected) {
    *error = refusal;
    code = DWSQL_IO;
  }
  return code;
}

}  // namespace

int sqliteFailure(sqlite3* db, int rc, std::string* error) {
  *error = std::string(sqlite3_errmsg(db)) + " (SQLite " + std::to_string(sqlite3_extended_errcode(db)) + ")";
  return sqliteCode(rc);
}

SqliteSession::~SqliteSession() {
  for (SqliteStatement& c : cache_) sqlite3_finalize(c.stmt);
  for (auto& c : control_) sqlite3_finalize(c.second.stmt);
  sqlite3_close_v2(db_);
}

int SqliteSession::open(const std::string& file, BusyHandler onBusy, void* context, std::string* error) {
  configureSqliteOnce();
  int rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    *error = file + ": " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    return sqliteCode(rc);
  }
  // The -wal and -shm files stay when the last handle closes, instead of
  // being removed and made again by the next one.
  int persist = 1;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_handler(db_, onBusy, context);
  // A new file's switch to WAL needs a lock that SQLite does not wait for
  // while another connection holds the file: it is waited for here.
  int code = 0;
  for (int count = 0;; ++count) {
    code = setUp(db_, "PRAGMA journal_mode=WAL", error, "wal", "couldn't switch to WAL journal mode");
    if (code != DWSQL_BUSY || onBusy(context, count) == 0) break;
  }
  // The log is flushed by the writer lock before a commit returns.
  if (code == 0) code = setUp(db_, "PRAGMA synchronous=NORMAL", error);
  if (code == 0) code = setUp(db_, "PRAGMA foreign_keys=ON", error);
  if (code != 0) *error = file + ": " + *error;
  opened_ = code == 0;
  return code;
}

bool SqliteSession::isControl(const std::string& command) {
  static const char* const kWords[] = {"BEGIN", "COMMIT", "ROLLBACK", "SAVEPOINT", "RELEASE"};
  if (command.size() > 64) return false;  // the few this layer sends are short
  for (const char* word : kWords)
    if (command.compare(0, std::strlen(word), word) == 0) return true;
  return false;
}

sqlite3_stmt* SqliteSession::controlStatement(const std::string& command, SqliteStatement** entry) {
  if (!opened_ || !isControl(command)) return nullptr;
  auto it = control_.find(command);
  if (it == control_.end()) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, command.c_str(), static_cast<int>(command.size()), &stmt, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      return nullptr;  // prepared again, to report the failure
    }
    it = control_.emplace(command, SqliteStatement{SqlTemplate(), stmt, false}).first;
  }
  if (it->second.inUse) return nullptr;
  it->second.inUse = true;
  *entry = &it->second;
  return it->second.stmt;
}

sqlite3_stmt* SqliteSession::cachedStatement(const std::string& command, SqliteStatement** entry) {
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
std::list<SqliteStatement>::iterator SqliteSession::addStatement(SqlTemplate t) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, t.text.c_str(), static_cast<int>(t.text.size()), &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  evictOne();
  cache_.push_front(SqliteStatement{std::move(t), stmt, false});
  index_[cache_.front().shape.text] = cache_.begin();
  return cache_.begin();
}

// Drops the least recently used statement not in use when the cache is full.
void SqliteSession::evictOne() {
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

void SqliteSession::endStatement(sqlite3_stmt* stmt, SqliteStatement* cached) {
  if (cached == nullptr) {
    sqlite3_finalize(stmt);
    return;
  }
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  cached->inUse = false;
}

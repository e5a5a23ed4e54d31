// One SQLite connection with the statements prepared on it: a handle's own,
// or the one the writers of a file take turns on (SqliteWriterLock.h).  Used
// by one thread at a time.  Internal to the host library.
#ifndef HOST_SRC_SQLITESESSION_H
#define HOST_SRC_SQLITESESSION_H

#include <sqlite3.h>

#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "SqlTemplate.h"

// A prepared statement kept for the commands of one template.
struct SqliteStatement {
  SqlTemplate shape;   // its values are those of the command it was made of
  sqlite3_stmt* stmt;  // null: the template does not prepare
  bool inUse;
};

class SqliteSession {
 public:
  SqliteSession() = default;
  ~SqliteSession();
  SqliteSession(const SqliteSession&) = delete;
  SqliteSession& operator=(const SqliteSession&) = delete;

  using BusyHandler = int (*)(void* context, int count);

  // Opens `file` in WAL mode, its log kept when the last connection closes,
  // foreign keys on, commits not flushed by SQLite (the writer lock flushes
  // them); `onBusy` waits for other connections' locks, from the start.
  // 0, or a DWSQL_* code with the reason.
  int open(const std::string& file, BusyHandler onBusy, void* context, std::string* error);
  sqlite3* db() const { return db_; }
  // Set up: writes outside a transaction take the writer lock.
  bool isOpen() const { return opened_; }

  // The statement of a transaction command (BEGIN, COMMIT, SAVEPOINT, ...),
  // prepared once: every transaction runs a few, always the same.  Null for
  // another command, or while its statement is in use.
  sqlite3_stmt* controlStatement(const std::string& command, SqliteStatement** entry);
  // The cached statement of `command`'s template with its values bound, or
  // null when the command has no template, the template doesn't prepare, or
  // its statement is in use.
  sqlite3_stmt* cachedStatement(const std::string& command, SqliteStatement** entry);
  // Ends a statement: a cached one is reset for reuse, any other finalized.
  void endStatement(sqlite3_stmt* stmt, SqliteStatement* cached);

  // The connection met a failure that makes it unfit for more work.
  bool broken = false;

 private:
  static const size_t kCachedStatements = 64;
  // Statements whose templates a command is matched against before it is
  // scanned for its own; a request repeats the few commands it runs.
  static const size_t kMatchedStatements = 8;

  static bool isControl(const std::string& command);
  std::list<SqliteStatement>::iterator addStatement(SqlTemplate t);
  void evictOne();

  sqlite3* db_ = nullptr;
  bool opened_ = false;
  std::list<SqliteStatement> cache_;  // most recently used first
  std::unordered_map<std::string, std::list<SqliteStatement>::iterator> index_;  // by template text
  std::unordered_map<std::string, SqliteStatement> control_;                     // by command text
  std::vector<SqlTemplate::Value> values_;  // of the command being bound
};

// The connection's text of its last failure into `error`; the DWSQL_* code.
int sqliteFailure(sqlite3* db, int rc, std::string* error);

#endif  // HOST_SRC_SQLITESESSION_H

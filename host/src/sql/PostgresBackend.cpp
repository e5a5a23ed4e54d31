// PostgreSQL through libpq.  Rows come back as text; the connection's client
// encoding follows the server's, so a SQL_ASCII database keeps texts as raw
// bytes.
#include <libpq-fe.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <unordered_map>
#include <vector>

#include "SqlBackend.h"
#include "SqlTemplate.h"
#include "SqlWriterCounts.h"
#include "host/sql/DWSimpleDBConnObject.h"

namespace {

// Key of the advisory lock that serialises write transactions ("BLRW").
constexpr long long kWriteLockKey = 0x424C5257;

int mapSqlState(const char* state) {
  if (state == nullptr || std::strlen(state) != 5) return DWSQL_CONNECTION;  // no server answer
  std::string code(state), cls = code.substr(0, 2);
  if (code == "42501") return DWSQL_PERMISSION;
  if (code == "55P03" || code == "57014") return DWSQL_BUSY;  // lock or statement timeout
  if (cls == "08" || cls == "57") return DWSQL_CONNECTION;
  if (cls == "23") return DWSQL_CONSTRAINT;
  if (cls == "40") return DWSQL_BUSY;  // serialization failure, deadlock
  if (cls == "22") return DWSQL_DATA;
  if (cls == "28") return DWSQL_PERMISSION;
  if (cls == "25") return DWSQL_MISUSE;
  if (cls == "53" || cls == "58" || cls == "XX") return DWSQL_IO;
  return DWSQL_ERROR;
}

std::string trimNewlines(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

void ignoreNotice(void*, const char*) {}

struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using ResultPtr = std::unique_ptr<PGresult, ResultDeleter>;

// True when the connection string names a database itself.
bool namesDatabase(const std::string& connInfo, std::string* error, bool* ok) {
  char* parseError = nullptr;
  PQconninfoOption* options = PQconninfoParse(connInfo.c_str(), &parseError);
  *ok = options != nullptr;
  if (!*ok) {
    *error = "Bad sPostgresConnInfo: " + trimNewlines(parseError ? parseError : "out of memory");
    PQfreemem(parseError);
    return false;
  }
  bool named = false;
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o)
    if (std::strcmp(o->keyword, "dbname") == 0 && o->val != nullptr && o->val[0] != '\0') named = true;
  PQconninfoFree(options);
  return named;
}

// The rows of a query as libpq received them; nothing is copied.
class PostgresRows : public SqlRows {
 public:
  explicit PostgresRows(ResultPtr result)
      : result_(std::move(result)), rows_(PQntuples(result_.get())), columns_(PQnfields(result_.get())) {}

  int columns() const override { return columns_; }
  int next(std::string*) override { return ++row_ < rows_ ? 0 : DWSQL_NO_ROWS; }

  // Only an empty value may be NULL: the others need no third call.
  SqlCell cell(int column) const override {
    SqlCell cell;
    const int size = PQgetlength(result_.get(), row_, column);
    if (size == 0 && PQgetisnull(result_.get(), row_, column)) return cell;
    cell.kind = SqlCell::kText;
    cell.text = PQgetvalue(result_.get(), row_, column);
    cell.size = static_cast<size_t>(size);
    return cell;
  }

 private:
  ResultPtr result_;
  int rows_;
  int columns_;
  int row_ = -1;
};

class PostgresBackend : public SqlBackend {
 public:
  ~PostgresBackend() override {
    PQfinish(conn_);  // ends a transaction still open, and its write lock
    endHold();
  }

  int open(const SqlLocation& where, std::string* error) override {
    counts_ = SqlWriterCounts::of(where.name);
    bool ok = false;
    bool named = namesDatabase(where.postgresConnInfo, error, &ok);
    if (!ok) return DWSQL_CONFIG;
    std::string timeout = std::to_string(where.connectTimeoutSecs);
    std::string dbName = !where.postgresDbName.empty() ? where.postgresDbName : named ? "" : where.name;
    // Later keywords override earlier ones; the first dbname is expanded.
    const char* keys[] = {"connect_timeout", "fallback_application_name", "dbname", "dbname", nullptr};
    const char* values[] = {timeout.c_str(), "blr", where.postgresConnInfo.c_str(),
                            dbName.empty() ? nullptr : dbName.c_str(), nullptr};
    if (dbName.empty()) keys[3] = nullptr;
    conn_ = PQconnectdbParams(keys, values, 1);
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
      *error = conn_ ? trimNewlines(PQerrorMessage(conn_)) : "out of memory";
      return DWSQL_CONNECTION;
    }
    PQsetNoticeProcessor(conn_, ignoreNotice, nullptr);
    const char* serverEncoding = PQparameterStatus(conn_, "server_encoding");
    bool raw = serverEncoding != nullptr && std::strcmp(serverEncoding, "SQL_ASCII") == 0;
    if (PQsetClientEncoding(conn_, raw ? "SQL_ASCII" : "UTF8") != 0) {
      *error = trimNewlines(PQerrorMessage(conn_));
      return DWSQL_CONNECTION;
    }
    // lock_timeout 0 would wait forever; the SQLite meaning of 0 is "don't wait".
    std::string settings = "SET standard_conforming_strings = on; SET lock_timeout = " +
                           std::to_string(std::max(1, where.busyTimeoutMs));
    return exec(settings, error);
  }

  // Data commands differing only in their literals share a prepared
  // statement (SqlTemplate.h) once one was prepared outside a transaction.
  int run(const std::string& command, SqlResult* result, std::string* error) override {
    result->clear();
    const std::string* name = preparedFor(command);
    ResultPtr r(name ? execPrepared(*name) : PQexec(conn_, command.c_str()));
    switch (PQresultStatus(r.get())) {
      case PGRES_COMMAND_OK:
      case PGRES_EMPTY_QUERY:
        return 0;
      case PGRES_TUPLES_OK:
        result->returnsRows = true;
        result->hasRows = PQntuples(r.get()) > 0;
        result->rows.reset(new PostgresRows(std::move(r)));
        return 0;
      case PGRES_COPY_IN:
      case PGRES_COPY_OUT:
      case PGRES_COPY_BOTH:
        abandonCopy(PQresultStatus(r.get()));
        *error = "COPY is not supported";
        return DWSQL_MISUSE;
      default:
        return failure(r.get(), error);
    }
  }

  // Write transactions take one database-wide lock, as SQLite's BEGIN
  // IMMEDIATE does: a read-then-write transaction (look a pair up, insert it
  // when absent) would otherwise race with its twin under READ COMMITTED.
  // The lock waits at most the lock time-out and ends with the transaction.
  // Both go in one round trip.
  int begin(std::string* error) override {
    const SqlWriterCounts::Clock::time_point asked = SqlWriterCounts::Clock::now();
    int rc = exec("BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kWriteLockKey) + ")", error);
    if (rc != 0 && inTransaction()) {
      std::string ignored;
      exec("ROLLBACK", &ignored);
    }
    granted(asked, rc == 0);
    return rc;
  }

  int beginUnlocked(std::string* error) override { return exec("BEGIN", error); }

  int lockWrites(std::string* error) override {
    const SqlWriterCounts::Clock::time_point asked = SqlWriterCounts::Clock::now();
    int rc = exec("SELECT pg_advisory_xact_lock(" + std::to_string(kWriteLockKey) + ")", error);
    granted(asked, rc == 0);
    return rc;
  }

  // COMMIT of a transaction that had failed answers "ROLLBACK".
  int commit(std::string* error) override {
    HoldEnds ends{this};
    ResultPtr r(PQexec(conn_, "COMMIT"));
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) return failure(r.get(), error);
    if (std::strcmp(PQcmdStatus(r.get()), "COMMIT") != 0) {
      *error = "The database rolled the transaction back";
      return DWSQL_ERROR;
    }
    return 0;
  }

  int rollback(std::string* error) override {
    HoldEnds ends{this};
    return exec("ROLLBACK", error);
  }

  bool inTransaction() const override {
    PGTransactionStatusType s = PQtransactionStatus(conn_);
    return s == PQTRANS_INTRANS || s == PQTRANS_INERROR || s == PQTRANS_ACTIVE;
  }
  bool broken() const override { return broken_ || conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK; }
  DWSqlBackend dialect() const override { return DWSqlBackend::kPostgres; }

 private:
  // The write lock, asked for at `asked`, was taken or not; counted under
  // the database's name with the wait, which includes the round trip.
  void granted(SqlWriterCounts::Clock::time_point asked, bool taken) {
    if (!counts_) return;
    counts_->waited(asked, taken);
    if (taken) {
      holding_ = true;
      heldSince_ = SqlWriterCounts::Clock::now();
    }
  }
  // The transaction holding the write lock ended, however it did.
  void endHold() {
    if (holding_ && counts_) counts_->held(heldSince_);
    holding_ = false;
  }
  struct HoldEnds {
    PostgresBackend* backend;
    ~HoldEnds() { backend->endHold(); }
  };

  int failure(const PGresult* r, std::string* error) {
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    *error = trimNewlines(r ? PQresultErrorMessage(r) : PQerrorMessage(conn_));
    if (error->empty()) *error = trimNewlines(PQerrorMessage(conn_));
    if (state != nullptr) *error += std::string(" (SQLSTATE ") + state + ")";
    if (PQstatus(conn_) == CONNECTION_BAD) return DWSQL_CONNECTION;
    int code = mapSqlState(state);
    if (code == DWSQL_CONNECTION) broken_ = true;  // e.g. the server ended the session
    return code;
  }

  // The name of the statement prepared for `command`'s template, with the
  // command's values in values_, or null.  The templates used last are
  // matched first, which spares most commands their scan.
  const std::string* preparedFor(const std::string& command) {
    auto it = matchRecentTemplate(recent_, kMatchedTemplates, command, &values_);
    if (it != recent_.end()) {
      recent_.splice(recent_.begin(), recent_, it);
      return &it->name;
    }
    SqlTemplate t;
    if (!SqlTemplate::make(command, '$', &t)) return nullptr;
    const std::string* name = preparedName(t);
    if (name == nullptr) return nullptr;
    values_ = t.values;
    recent_.push_front(Recent{std::move(t), *name});
    if (recent_.size() > kMatchedTemplates) recent_.pop_back();
    return &recent_.front().name;
  }

  // The name of the statement prepared for `t`, or null.  A template is
  // prepared only outside a transaction, where its failure (a literal
  // where no parameter may stand) can't end the transaction.
  const std::string* preparedName(const SqlTemplate& t) {
    static const size_t kMaxPrepared = 256;
    auto it = prepared_.find(t.text);
    if (it != prepared_.end()) return it->second.empty() ? nullptr : &it->second;
    if (inTransaction() || prepared_.size() >= kMaxPrepared) return nullptr;
    std::string name = "blr_t" + std::to_string(prepared_.size());
    ResultPtr r(PQprepare(conn_, name.c_str(), t.text.c_str(), 0, nullptr));
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) name.clear();  // remembered as not preparable
    it = prepared_.emplace(t.text, name).first;
    return it->second.empty() ? nullptr : &it->second;
  }

  // Runs the statement `name` with values_.
  PGresult* execPrepared(const std::string& name) {
    std::vector<std::string> texts;
    std::vector<const char*> values;
    texts.reserve(values_.size());
    for (const SqlTemplate::Value& v : values_) texts.push_back(v.isText ? v.text : std::to_string(v.integer));
    for (const std::string& text : texts) values.push_back(text.c_str());
    return PQexecPrepared(conn_, name.c_str(), static_cast<int>(values.size()), values.data(), nullptr, nullptr, 0);
  }

  void abandonCopy(ExecStatusType status) {
    if (status == PGRES_COPY_IN) {
      PQputCopyEnd(conn_, "not supported");
    } else {
      char* buffer = nullptr;
      while (PQgetCopyData(conn_, &buffer, 0) > 0) PQfreemem(buffer);
    }
    while (PGresult* r = PQgetResult(conn_)) PQclear(r);
  }

  PGconn* conn_ = nullptr;
  std::shared_ptr<SqlWriterCounts> counts_;
  bool holding_ = false;  // the write lock, in the transaction open
  SqlWriterCounts::Clock::time_point heldSince_;
  bool broken_ = false;
  std::unordered_map<std::string, std::string> prepared_;  // template -> statement name, "" if it failed
  // Templates prepared and used last, most recent first.
  struct Recent {
    SqlTemplate shape;
    std::string name;
  };
  static const size_t kMatchedTemplates = 8;
  std::list<Recent> recent_;
  std::vector<SqlTemplate::Value> values_;  // of the command being run
};

}  // namespace

std::unique_ptr<SqlBackend> newPostgresBackend() { return std::unique_ptr<SqlBackend>(new PostgresBackend); }

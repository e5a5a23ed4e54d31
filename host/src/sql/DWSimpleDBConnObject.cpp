#include "host/sql/DWSimpleDBConnObject.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "SqlBackend.h"
#include "SqlPool.h"
#include "SqlWriterCounts.h"
#include "host/sql/DWSqlUnit.h"
#include "host/base/FXString.h"

namespace {

const char kSavepoint[] = "SAVEPOINT dw_exec";
const char kReleaseSavepoint[] = "RELEASE SAVEPOINT dw_exec";
const char kRollbackToSavepoint[] = "ROLLBACK TO SAVEPOINT dw_exec";
// The transaction of an object that joined a unit of work (DWSqlUnit.h).
const char kJoinedBegin[] = "SAVEPOINT dw_joined";
const char kJoinedCommit[] = "RELEASE SAVEPOINT dw_joined";
const char kJoinedRollback[] = "ROLLBACK TO SAVEPOINT dw_joined";
const size_t kMaxBufferSize = 1 << 24;

// strtoll's reading of the `size` bytes at `p` in base 10, without copying
// them to end them with a NUL: leading blanks, a sign, the digits up to the
// first other byte; saturates when out of range.
int64_t parseInteger(const char* p, size_t size) {
  const char* end = p + size;
  while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
  const bool negative = p < end && *p == '-';
  if (p < end && (*p == '-' || *p == '+')) ++p;
  const uint64_t limit = negative ? static_cast<uint64_t>(INT64_MAX) + 1 : INT64_MAX;
  uint64_t v = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (v > (limit - digit) / 10) return negative ? INT64_MIN : INT64_MAX;
    v = v * 10 + digit;
  }
  if (!negative || v == 0) return static_cast<int64_t>(v);
  return -static_cast<int64_t>(v - 1) - 1;
}

int64_t cellInteger(const SqlCell& cell) {
  if (cell.kind == SqlCell::kInt) return cell.integer;
  if (cell.kind == SqlCell::kNull) return 0;
  return parseInteger(cell.text, cell.size);
}

// A cell's text without copying it; `digits` holds an integer's.
std::pair<const char*, size_t> cellText(const SqlCell& cell, std::string* digits) {
  if (cell.kind == SqlCell::kInt) {
    *digits = std::to_string(cell.integer);
    return {digits->data(), digits->size()};
  }
  return {cell.text != nullptr ? cell.text : "", cell.size};
}

int32_t saturate32(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// Where to cut the `size` bytes of `text` to at most `max` bytes without
// splitting a UTF-8 sequence; bytes that are not UTF-8 are cut anywhere.
size_t utf8Cut(const char* text, size_t size, size_t max) {
  if (size <= max) return size;
  size_t lead = max;
  while (lead > 0 && max - lead < 3 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) --lead;
  unsigned char c = static_cast<unsigned char>(text[lead]);
  size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || lead + len <= max || lead + len > size) return max;
  for (size_t k = lead + 1; k < lead + len; ++k)
    if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80) return max;
  return lead;
}

// Reads the next item of a format such as "i|s64|w128|b" at `*p` and moves
// past it and its separator; false on a malformed item.
bool nextFormatItem(const char** p, char* type, size_t* size) {
  const char* q = *p;
  const char t = *q++;
  size_t n = 0;  // in a register: a store through `size` could alias the format
  if (t == 's' || t == 'w' || t == 'u') {
    if (!std::isdigit(static_cast<unsigned char>(*q))) return false;
    for (; std::isdigit(static_cast<unsigned char>(*q)); ++q) {
      n = n * 10 + static_cast<size_t>(*q - '0');
      if (n > kMaxBufferSize) return false;
    }
    if (n == 0) return false;
  } else if (t != 'i' && t != 'b' && t != 'B') {
    return false;
  }
  if (*q == '|' && q[1] != '\0') ++q;
  else if (*q != '\0') return false;
  *type = t;
  *size = n;
  *p = q;
  return true;
}

}  // namespace

struct DWSimpleDBConnObject::Binding {
  char type;
  size_t size;  // text width of an 's' or 'w' item; its buffer holds one more
  void* buffer;
};

DWSimpleDBConnObject::DWSimpleDBConnObject() : result_(new SqlResult), lastError_("Not open") {}

DWSimpleDBConnObject::~DWSimpleDBConnObject() {
  result_->clear();  // a driver statement still being read ends first
  if (joined_) {
    if (inTran_) endTran(2);
    return;  // the handle is the unit's
  }
  if (backend_ && (inTran_ || backend_->inTransaction())) {
    std::string ignored;
    backend_->rollback(&ignored);
  }
  // The lease gives the handle back, or closes it if still in a transaction.
}

void DWSimpleDBConnObject::closeIdleHandles() { SqlHandlePool::process().closeIdle(); }

std::vector<DWSqlHandleUsage> DWSimpleDBConnObject::handleUsage() {
  return SqlHandlePool::process().usage();
}

std::vector<DWSqlWriterUsage> DWSimpleDBConnObject::writerUsage() { return SqlWriterCounts::all(); }

DWSqlBackend DWSimpleDBConnObject::backend() const {
  return backend_ ? backend_->dialect() : DWSqlBackend::kSqlite;
}

int DWSimpleDBConnObject::fail(int code, const std::string& text) {
  lastError_ = text;
  return code;
}

int DWSimpleDBConnObject::succeed() {
  lastError_.clear();
  return DWSQL_OK;
}

int DWSimpleDBConnObject::openSQLConnectionUsingDbName(std::string dbName) {
  if (backend_) return fail(DWSQL_MISUSE, "Connection is already open on database " + dbName_);
  dbName_ = dbName;
  if (DWSimpleDBConnObject* unit = DWSqlUnit::joinable(dbName)) {
    joined_ = true;
    backend_ = unit->backend_;
    openCode_ = 0;
    return succeed();
  }
  std::shared_ptr<const SqlLocation> where;
  std::string error;
  openCode_ = resolveSqlLocation(dbName, &where, &error);
  if (openCode_ == 0) openCode_ = SqlHandlePool::process().lease(*where, &lease_, &error);
  if (openCode_ == 0) backend_ = lease_->get();
  if (openCode_ != 0) return fail(openCode_, "Couldn't open database " + dbName + ": " + error);
  return succeed();
}

int DWSimpleDBConnObject::startTran() {
  if (!backend_) return fail(openCode_, lastError_);
  if (inTran_) return fail(DWSQL_MISUSE, "A transaction is already open");
  result_->clear();
  std::string error;
  // A joined step takes the write lock that the unit began without.
  int rc = joined_ ? backend_->exec(kJoinedBegin, &error) : backend_->begin(&error);
  if (rc == 0 && joined_) rc = backend_->lockWrites(&error);
  if (rc != 0) return fail(rc, error);
  inTran_ = true;
  return succeed();
}

int DWSimpleDBConnObject::startUnitTran() {
  if (!backend_) return fail(openCode_, lastError_);
  if (inTran_) return fail(DWSQL_MISUSE, "A transaction is already open");
  std::string error;
  int rc = backend_->beginUnlocked(&error);
  if (rc != 0) return fail(rc, error);
  inTran_ = true;
  return succeed();
}

int DWSimpleDBConnObject::endTran(int how) {
  if (!backend_) return fail(openCode_, lastError_);
  if (how != 1 && how != 2) return fail(DWSQL_MISUSE, "endTran takes 1 (commit) or 2 (roll back)");
  if (!inTran_) return fail(DWSQL_MISUSE, "No transaction is open");
  if (how == 1 && !backend_->inTransaction()) {
    inTran_ = false;
    return fail(DWSQL_ERROR, "The database rolled the transaction back");
  }
  result_->clear();
  std::string error;
  if (joined_) return endJoined(how);
  int rc = how == 1 ? backend_->commit(&error) : backend_->rollback(&error);
  inTran_ = backend_->inTransaction();
  return rc == 0 ? succeed() : fail(rc, error);
}

int DWSimpleDBConnObject::execQuery(const char* statement, bool /*flag1*/, bool /*flag2*/) {
  result_->clear();
  bindings_.clear();
  if (!backend_) return fail(openCode_, lastError_);
  if (statement == nullptr) return fail(DWSQL_MISUSE, "No statement");
  std::vector<std::string> commands = DWSqlDialect::splitCommands(std::string(statement));
  if (commands.empty()) return fail(DWSQL_MISUSE, "Statement holds no command");
  // Some failures make the database end the transaction itself; later
  // commands must not run outside it.
  if ((inTran_ || joined_) && !backend_->inTransaction())
    return fail(DWSQL_ERROR, "The database rolled the transaction back; end it with a roll back");
  // A joined object's single command needs no savepoint: its failure fails
  // the unit, which is then rolled back whole.
  int rc = commands.size() == 1 && !inTran_ ? runCommands(commands) : runAtomically(commands);
  if (rc != 0) {
    result_->clear();
    return rc;
  }
  succeed();
  return result_->returnsRows && !result_->hasRows ? DWSQL_NO_ROWS : DWSQL_OK;
}

// The commands in order; the last one's rows stay in result_.
int DWSimpleDBConnObject::runCommands(const std::vector<std::string>& commands) {
  DWSqlBackend dialect = backend_->dialect();
  for (size_t i = 0; i < commands.size(); ++i) {
    // Most commands need no rewriting, nor a copy.
    std::string rewritten;
    const bool rewrites = DWSqlDialect::mayNeedRewrite(commands[i], dialect);
    if (rewrites) rewritten = DWSqlDialect::rewrite(commands[i], dialect);
    const std::string& command = rewrites ? rewritten : commands[i];
    SqlResult scratch;
    std::string error;
    int rc = backend_->run(command, i + 1 == commands.size() ? result_.get() : &scratch, &error);
    if (rc == 0) continue;
    if (commands.size() > 1 || command != commands[i]) error += " [in: " + command + "]";
    return fail(rc, error);
  }
  return 0;
}

// The commands as one unit: inside the caller's transaction through a
// savepoint (which also keeps that transaction usable after a failure),
// otherwise in a transaction of their own.
int DWSimpleDBConnObject::runAtomically(const std::vector<std::string>& commands) {
  SqlResult scratch;
  std::string error;
  const bool nested = inTran_ || joined_;
  int rc = nested ? backend_->run(kSavepoint, &scratch, &error) : backend_->begin(&error);
  if (rc != 0) return fail(rc, error);
  rc = runCommands(commands);
  if (rc == 0) {
    int end = nested ? backend_->run(kReleaseSavepoint, &scratch, &error) : backend_->commit(&error);
    if (end == 0) return 0;
    rc = fail(end, error);
  }
  if (nested) {
    backend_->run(kRollbackToSavepoint, &scratch, &error);
    backend_->run(kReleaseSavepoint, &scratch, &error);
  } else if (backend_->inTransaction()) {
    backend_->rollback(&error);
  }
  return rc;
}

// The savepoint of a joined object: released on commit, rolled back to
// otherwise; the unit's transaction goes on.
int DWSimpleDBConnObject::endJoined(int how) {
  std::string error;
  inTran_ = false;
  if (!backend_->inTransaction())
    return fail(DWSQL_ERROR, "The database rolled the transaction back");
  int rc = backend_->exec(how == 1 ? kJoinedCommit : kJoinedRollback, &error);
  if (rc == 0 && how == 2) rc = backend_->exec(kJoinedCommit, &error);
  return rc == 0 ? succeed() : fail(rc, error);
}

int DWSimpleDBConnObject::ibindstruct(const char* format, ...) {
  bindings_.clear();  // keeps its room for the next query's
  if (!backend_) return fail(openCode_, lastError_);
  if (!result_->returnsRows) return fail(DWSQL_MISUSE, "No query result to bind");
  if (format == nullptr || *format == '\0') return fail(DWSQL_MISUSE, "Bad bind format \"\"");
  const int columns = result_->rows ? result_->rows->columns() : 0;
  // One pass over the format, taking a buffer for each item.
  bindings_.reserve(static_cast<size_t>(columns));
  va_list ap;
  va_start(ap, format);
  const char* p = format;
  bool wellFormed = true, nullBuffer = false;
  while (*p != '\0') {
    char type = 0;
    size_t size = 0;
    if (!nextFormatItem(&p, &type, &size)) {
      wellFormed = false;
      break;
    }
    void* buffer = static_cast<int>(bindings_.size()) < columns ? va_arg(ap, void*) : nullptr;
    nullBuffer = nullBuffer || buffer == nullptr;
    // Filled in place: a copy of a Binding built piece by piece on the
    // stack stalls on every item.
    bindings_.emplace_back();
    bindings_.back().type = type;
    bindings_.back().size = size;
    bindings_.back().buffer = buffer;
  }
  va_end(ap);
  const size_t items = bindings_.size();
  if (wellFormed && items == static_cast<size_t>(columns) && !nullBuffer) return succeed();
  bindings_.clear();
  if (!wellFormed) return fail(DWSQL_MISUSE, std::string("Bad bind format \"") + format + "\"");
  if (items != static_cast<size_t>(columns))
    return fail(DWSQL_MISUSE, "Bind format \"" + std::string(format) + "\" has " + std::to_string(items) +
                                  " items for " + std::to_string(columns) + " columns");
  return fail(DWSQL_MISUSE, "Null buffer bound");
}

int DWSimpleDBConnObject::getNextRow() {
  if (!backend_) return fail(openCode_, lastError_);
  if (bindings_.empty()) return fail(DWSQL_MISUSE, "No columns bound");
  if (!result_->rows) return DWSQL_NO_ROWS;
  std::string error;
  int rc = result_->rows->next(&error);
  if (rc == DWSQL_NO_ROWS) return rc;
  if (rc != 0) return fail(rc, error);
  for (size_t col = 0; col < bindings_.size(); ++col) copyCell(col, bindings_[col]);
  return DWSQL_OK;
}

void DWSimpleDBConnObject::copyCell(size_t column, const Binding& b) {
  const SqlCell cell = result_->rows->cell(static_cast<int>(column));
  if (b.type == 'i') {
    *static_cast<int32_t*>(b.buffer) = saturate32(cellInteger(cell));
    return;
  }
  if (b.type == 'b' || b.type == 'B') {
    *static_cast<int64_t*>(b.buffer) = cellInteger(cell);
    return;
  }
  std::string digits;
  const auto text = cellText(cell, &digits);
  if (b.type == 'w') {
    wchar_t* wide = static_cast<wchar_t*>(b.buffer);
    wide[FXString::FromString(text.first, text.second, wide, b.size)] = L'\0';
    return;
  }
  size_t n = 0;
  if (b.type == 's') {
    n = utf8Cut(text.first, text.second, b.size);
  } else {  // 'u': what 'w' reads, in UTF-8; the wide text would end at a NUL
    const void* nul = std::memchr(text.first, '\0', text.second);
    n = FXString::PrefixBytes(
        text.first, nul ? static_cast<size_t>(static_cast<const char*>(nul) - text.first) : text.second,
        b.size);
  }
  std::memcpy(b.buffer, text.first, n);
  static_cast<char*>(b.buffer)[n] = '\0';
}

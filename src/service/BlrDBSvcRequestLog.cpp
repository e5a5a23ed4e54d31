// Requests that change the database: each runs as one unit of work (every
// connection its handler opens joins one transaction), together with the
// record of its answer when it carries a request id, so that a request
// resent after a lost answer is answered from the record and never applied
// twice.  The record keeps the digest of the request, so that an id sent
// with another request is refused rather than answered for it.  A request
// that meets a failed database connection before anything of it was
// committed is run once more on a new connection.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "BLR/BlrDebug.h"
#include "pairdb/BlrDBRequests.h"
#include "service/BlrDBSvcInternal.h"
#include "host/base/DwSha256.h"
#include "host/config/DWPlatformInfo.h"
#include "host/sql/DWSqlUnit.h"

namespace blrdbsvc {

namespace {

const size_t kMaxRequestIdBytes = 64;
// Read width of the answer column; larger answers are not kept.
const size_t kMaxAnswerBytes = 1 << 20;
// Marks a record whose answer was too large to keep.
const char kAnswerNotKept[] = "!";
// Hex digits of a request's digest.
const size_t kDigestChars = 64;

bool validRequestId(const std::string& id) {
  if (id.empty() || id.size() > kMaxRequestIdBytes) return false;
  for (char c : id)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') return false;
  return true;
}

// "<key bytes>:<key><value bytes>:<value>" for each entry.
std::string encodeAnswer(const Map& resp) {
  std::string out;
  for (const auto& kv : resp)
    out += std::to_string(kv.first.size()) + ":" + kv.first + std::to_string(kv.second.size()) + ":" +
           kv.second;
  return out;
}

bool takeField(const std::string& text, size_t* pos, std::string* field) {
  size_t colon = text.find(':', *pos);
  if (colon == std::string::npos) return false;
  char* end = nullptr;
  unsigned long len = std::strtoul(text.c_str() + *pos, &end, 10);
  if (end != text.c_str() + colon || len > text.size() - colon - 1) return false;
  *field = text.substr(colon + 1, len);
  *pos = colon + 1 + len;
  return true;
}

bool decodeAnswer(const std::string& text, Map* resp) {
  size_t pos = 0;
  while (pos < text.size()) {
    std::string key, value;
    if (!takeField(text, &pos, &key) || !takeField(text, &pos, &value)) return false;
    (*resp)[key] = value;
  }
  return true;
}

long long registryNumber(const char* key, long long def) {
  long long value = def;
  DWPlatformInfo info;
  if (!info.getNumber("Database", key, &value) || value < 1) value = def;
  return value;
}

// What a request id is bound to: SHA-256 of the request name, a NUL byte
// and the body's hex text in lower case (so the body's bytes, however a peer
// cases its digits; no "blob" is an empty body).  The other entries, the id
// among them, are not part of the request.
CZuError requestDigest(const std::string& name, const Map& req, std::string* digest) {
  std::string body;
  auto it = req.find("blob");
  if (it != req.end()) body = it->second;
  for (char& c : body) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  CZuError err = DwSha256Hex({name, std::string_view("", 1), body}, digest);
  if (err.IsError()) err.Push(FXLOC, "Couldn't take the digest of \"%s\"", name.c_str());
  return err;
}

// The stored answer of `requestId`, if any.  A record of another request
// under that id is refused; one without a digest, recorded before digests
// were kept, is answered from as before.
CZuError findAnswer(const char* db, const std::string& requestId, const std::string& digest, Map* resp,
                    bool* found) {
  *found = false;
  BlrSQL sql(db);
  int result = 0;
  CZuError err = exec(sql, "SELECT answer, digest FROM BlrRequestLog WHERE requestId=" + sqlText(requestId),
                      Accept::kOkOrNoRows, FXLOC, &result);
  if (err.IsError() || result == DWSQL_NO_ROWS) return err;
  std::unique_ptr<char[]> answer(new char[kMaxAnswerBytes + 1]);
  char recorded[kDigestChars + 1] = "";
  int rc = sql.ibindstruct("s1048576|s64", answer.get(), recorded);
  if (rc == 0) rc = sql.getNextRow();
  if (rc != 0) return FXErrorUtil::ErrorInt(FXLOC, rc, "Couldn't read the answer of request %s", requestId.c_str());
  *found = true;
  if (recorded[0] != '\0' && digest != recorded)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "request id %s was already used for a different request",
                                 requestId.c_str());
  if (std::strcmp(answer.get(), kAnswerNotKept) == 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Request %s was applied; its answer was too large to keep",
                                 requestId.c_str());
  if (!decodeAnswer(answer.get(), resp))
    return FXErrorUtil::ErrorInt(FXLOC, 1, "The kept answer of request %s is damaged", requestId.c_str());
  return CZuError();
}

// Records the answer with the request's digest.  A twin of the request (the same id, resent to
// another server while this one worked) that committed first makes the
// insert fail with DWSQL_CONSTRAINT.
CZuError recordAnswer(const char* db, const std::string& requestId, const std::string& digest,
                      const Map& resp) {
  std::string answer = encodeAnswer(resp);
  if (answer.size() > kMaxAnswerBytes) answer = kAnswerNotKept;
  BlrSQL sql(db);
  CZuError err = exec(sql,
                      "INSERT INTO BlrRequestLog(requestId, time, answer, digest) VALUES(" + sqlText(requestId) +
                          ", " + std::to_string(static_cast<long long>(nowSecs())) + ", " + sqlText(answer) +
                          ", " + sqlText(digest) + ")",
                      Accept::kOk, FXLOC);
  if (err.IsError()) err.Push(FXLOC, "Couldn't record the answer of request %s", requestId.c_str());
  return err;
}

// Changes with a request id after which the record is looked at again for
// its count bound: it may hold that many more than nRequestLogMax.
const int kPruneEvery = 256;

// When the record of one database is next looked at: after kPruneEvery
// changes, when its oldest record comes of age, or when the registry changed.
struct PruneSchedule {
  int changes = 0;
  uint64_t generation = 0;  // of the registry at the last look; 0: never looked
  int64_t dueAt = 0;
};

std::mutex gScheduleMu;
std::map<std::string, PruneSchedule> gSchedules;

bool pruneDue(const std::string& db, int64_t now, uint64_t generation) {
  std::lock_guard<std::mutex> lock(gScheduleMu);
  PruneSchedule& s = gSchedules[db];
  return ++s.changes >= kPruneEvery || now >= s.dueAt || s.generation != generation;
}

void scheduleNext(const std::string& db, int64_t dueAt, uint64_t generation) {
  std::lock_guard<std::mutex> lock(gScheduleMu);
  gSchedules[db] = PruneSchedule{0, generation, dueAt};
}

// Drops the records past the age or count bound, after the commit and
// outside any lock, when they may be due; a failure only delays that.  A
// look that finds nothing due writes nothing.  Records that came of age
// wait up to a tenth of their age (at most a minute) for the next look.
void pruneAnswers(DWSimpleDBConnObject& conn) {
  const int64_t now = nowSecs();
  const uint64_t generation = DWPlatformInfo::generation();
  if (!pruneDue(conn.dbName(), now, generation)) return;
  const long long maxAge = registryNumber("nRequestLogSecs", kRequestLogDefaultSecs);
  const long long maxCount = registryNumber("nRequestLogMax", kRequestLogDefaultMax);
  const int64_t grace = std::max<int64_t>(1, std::min<long long>(60, maxAge / 10));
  int64_t minSeq = 0, maxSeq = 0, oldest = 0;
  // One aggregate a subquery: each is then a look at one end of an index.
  int rc = conn.execQuery(
      "SELECT (SELECT MIN(seq) FROM BlrRequestLog), (SELECT MAX(seq) FROM BlrRequestLog), "
      "(SELECT MIN(time) FROM BlrRequestLog)");
  if (rc == 0) rc = conn.ibindstruct("b|b|b", &minSeq, &maxSeq, &oldest);
  if (rc == 0) rc = conn.getNextRow();
  const bool due = rc == 0 && maxSeq > 0 && (maxSeq - maxCount >= minSeq || oldest < now - maxAge);
  if (due) {
    const std::string statement = "DELETE FROM BlrRequestLog WHERE time < " + std::to_string(now - maxAge) +
                                  " OR seq <= " + std::to_string(maxSeq - maxCount);
    rc = conn.execQuery(statement.c_str());
  }
  if (rc != 0 && rc != DWSQL_NO_ROWS)
    blrDebug("BlrDBSvc", 1, "Couldn't prune the record of answers: %s", conn.getLastErrorText().c_str());
  // After a prune the records left may come of age at any time.
  const int64_t comesOfAge = maxSeq == 0 ? now + maxAge : due ? now : oldest + maxAge + 1;
  scheduleNext(conn.dbName(), std::max(comesOfAge, now + grace), generation);
}

// A test aid: the server ends right after committing a request of this
// name, before answering it, as a crash there would.
void exitIfTestSaysSo(const std::string& name) {
  std::string exitAfter;
  DWPlatformInfo().getString("Test", "sExitAfterCommit", &exitAfter);
  if (exitAfter.empty() || exitAfter != name) return;
  blrError("BlrDBSvc", "Test aid [Test] sExitAfterCommit: exiting after committing \"%s\"", name.c_str());
  ::_exit(3);
}

bool connectionLost(const CZuError& err) { return err.Code() == DWSQL_CONNECTION; }

// One try.  `retry` is set when the failure met a lost connection before
// anything was committed.
CZuError changeOnce(const char* db, const std::string& name, const std::string& requestId,
                    const std::string& digest, const ChangeFn& apply, Map* resp, bool* retry) {
  *retry = false;
  DWSqlUnit unit;
  int rc = unit.begin(db);
  if (rc != 0) {
    *retry = rc == DWSQL_CONNECTION;
    if (!unit.conn().isOpen()) blrError("BlrSQL", "Couldn't open connection to %s Database: rc=%d", db, rc);
    return FXErrorUtil::ErrorInt(FXLOC, rc, "Couldn't start transaction: %s", unit.lastError().c_str());
  }
  bool found = false;
  CZuError err;
  if (!requestId.empty()) err = findAnswer(db, requestId, digest, resp, &found);
  if (found || err.IsError()) {
    *retry = connectionLost(err);
    if (found && !err.IsError())
      blrDebug("BlrDBSvc", 2, "Answered repeated request %s from the record", requestId.c_str());
    return err;
  }
  err = apply(resp);
  if (err.IsError()) {
    *retry = connectionLost(err);
    return err;
  }
  if (!requestId.empty()) err = recordAnswer(db, requestId, digest, *resp);
  if (err.IsError()) {
    // A twin committed first: this try is undone and the next one answers
    // from its record, or refuses when the twin was another request.
    *retry = connectionLost(err) || err.Code() == DWSQL_CONSTRAINT;
    return err;
  }
  rc = unit.commit();
  if (rc != 0) {
    // A lost connection may have lost the commit or only its answer: the
    // request id tells a resent request which.
    return FXErrorUtil::ErrorInt(FXLOC, rc, "Couldn't commit DB transaction: %s", unit.lastError().c_str());
  }
  exitIfTestSaysSo(name);
  if (!requestId.empty()) pruneAnswers(unit.conn());
  return CZuError();
}

}  // namespace

CZuError runChange(const char* db, const std::string& name, const Map& req, Map* resp, const ChangeFn& apply) {
  std::string requestId;
  auto it = req.find(blrdb_req::kRequestIdKey);
  if (it != req.end()) {
    requestId = it->second;
    if (!validRequestId(requestId))
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Bad request id \"%.64s\": 1 to %zu letters, digits, '-', '_' or '.'",
                                   requestId.c_str(), kMaxRequestIdBytes);
  }
  std::string digest;
  if (!requestId.empty()) {
    CZuError err = requestDigest(name, req, &digest);
    if (err.IsError()) return err;
  }
  bool retry = false;
  CZuError err = changeOnce(db, name, requestId, digest, apply, resp, &retry);
  if (!err.IsError() || !retry) return err;
  blrDebug("BlrDBSvc", 1, "\"%s\" met a lost database connection or a twin before committing; running it again: %s",
           name.c_str(), err.Summary().c_str());
  resp->clear();
  return changeOnce(db, name, requestId, digest, apply, resp, &retry);
}

CZuError runRead(Map* resp, const std::function<CZuError(Map*)>& read, const std::function<bool()>& mayRetry) {
  CZuError err = read(resp);
  if (!err.IsError() || !connectionLost(err) || !mayRetry()) return err;
  blrDebug("BlrDBSvc", 1, "A read met a lost database connection; reading again: %s", err.Summary().c_str());
  resp->clear();
  return read(resp);
}

}  // namespace blrdbsvc

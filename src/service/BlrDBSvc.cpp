// The service frame: the connection class, dispatch by request name, and the
// helpers every handler family uses.
#include "BLR/BlrDBSvc.h"

#include "BLR/BlrDebug.h"
#include "pairdb/BlrDBRequests.h"
#include "service/BlrDBSvcInternal.h"
#include "host/sql/DWSqlDialect.h"
#include "host/base/DwClock.h"
#include "host/log/EvEvent.h"

namespace blrdbsvc {

const char* const ANCHOR_DB = "Anchor";
const char* const HISTORY_DB = "HistoryDB";

std::string i2s(int value) { return std::to_string(value); }

std::string ll2s(unsigned long value) {
  return std::to_string(static_cast<long long>(value));
}

std::string sqlText(const std::string& text) { return DWSqlDialect::quote(text); }

CZuError exec(BlrSQL& sql, const std::string& statement, Accept accept, const FXCodeLocation& loc,
              int* result) {
  int rc = sql.execQuery(statement.c_str(), false, false);
  if (rc == 0 || (rc == DWSQL_NO_ROWS && accept == Accept::kOkOrNoRows)) {
    if (result) *result = rc;
    return CZuError();
  }
  return FXErrorUtil::ErrorInt(loc, rc, "Query [%s] failed", statement.c_str());
}

CZuError begin(BlrSQL& sql, const FXCodeLocation& loc) {
  int rc = sql.startTran();
  if (rc != 0) return FXErrorUtil::ErrorInt(loc, rc, "Couldn't start transaction");
  return CZuError();
}

CZuError commit(BlrSQL& sql, const FXCodeLocation& loc) {
  int rc = sql.commitTran();
  if (rc != 0) return FXErrorUtil::ErrorInt(loc, rc, "Couldn't commit DB transaction");
  return CZuError();
}

CZuError execInTransaction(const char* dbName, const std::vector<std::string>& statements,
                           const FXCodeLocation& loc) {
  BlrSQL sql(dbName);
  CZuError err = begin(sql, loc);
  for (auto it = statements.begin(); !err.IsError() && it != statements.end(); ++it)
    err = exec(sql, *it, Accept::kOk, loc);
  if (!err.IsError()) err = commit(sql, loc);
  return err;
}

CZuError readIdentity(BlrSQL& sql, const char* table, int32_t* id, const FXCodeLocation& loc) {
  int rc = sql.ibindstruct("i", id);
  if (rc != 0) return FXErrorUtil::ErrorInt(loc, rc, "Couldn't bind ID of inserted %s", table);
  rc = sql.getNextRow();
  if (rc != 0) return FXErrorUtil::ErrorInt(loc, rc, "Couldn't get ID of inserted %s", table);
  return CZuError();
}

CZuError readText(DwEbmlParser& parser, int len, const char* field, int width, std::string* out) {
  CZuError err = parser.getStrPayload(len, out);
  if (!err.IsError()) err = blrCheckText(field, *out, width, BlrTextUnit::kBytes);
  return err;
}

CZuError decodePairList(const Map& req, std::list<BlrDB::Pair>* pairs) {
  std::vector<char> bytes;
  std::list<BlrDB::Pair> decoded;
  CZuError err = blrReadBlob(req, &bytes);
  if (!err.IsError())
    err = blr_fields::decodeContainersWholly(bytes.data(), static_cast<int>(bytes.size()), BLRDB_TAG_PAIR, decoded);
  for (auto it = decoded.begin(); !err.IsError() && it != decoded.end(); ++it) err = blr_fields::checkTexts(*it);
  if (!err.IsError()) pairs->swap(decoded);
  return err;
}

namespace {

// Gathers the pieces of "blob" after what `resp` holds.
class BlobGatherer : public DwLinkReply {
 public:
  explicit BlobGatherer(Map* resp) : blob_((*resp)["blob"]) {}
  CZuError append(const std::string& key, std::string piece) override {
    if (key != "blob") return FXErrorUtil::ErrorInt(FXLOC, 1, "Unexpected answer piece \"%s\"", key.c_str());
    blob_ += piece;
    return CZuError();
  }

 private:
  std::string& blob_;
};

}  // namespace

CZuError answerWhole(const Map& req, Map* resp, CZuError (*stream)(const Map&, DwLinkReply*)) {
  CZuError err;
  {
    BlobGatherer gatherer(resp);
    err = stream(req, &gatherer);
  }
  if (err.IsError()) resp->erase("blob");  // a failure answers nothing else
  return err;
}

int64_t nowSecs() { return static_cast<int64_t>(DwClock::current()->now()); }

}  // namespace blrdbsvc

// ---- BlrSQL ----

BlrSQL::BlrSQL(const char* name) : inTran(false), dbName(name) {
  int rc = openSQLConnectionUsingDbName(dbName);
  if (rc != 0) blrError("BlrSQL", "Couldn't open connection to %s Database: rc=%d", dbName, rc);
}

BlrSQL::~BlrSQL() {
  if (inTran) endTran(2);
}

int BlrSQL::startTran() {
  int rc = DWSimpleDBConnObject::startTran();
  if (rc == 0) inTran = true;
  return rc;
}

int BlrSQL::commitTran() {
  int rc = endTran(1);
  if (rc == 0) inTran = false;
  return rc;
}

// ---- BlrDBSvc ----

namespace {

using blrdb_req::PairIn;
using blrdb_req::Row;

// The pair an audited change acts on, or 0 when it names none or several.
long long pairOf(const Row& row, const BlrDBSvc::Map& req, const BlrDBSvc::Map& resp) {
  if (row.pairIn == PairIn::kNone) return 0;
  BlrDB::Pair pair;
  const BlrDBSvc::Map& carrier = row.pairIn == PairIn::kAnswer ? resp : req;
  if (blrdbsvc::decodePayload(carrier, &pair, "", FXLOC).IsError()) return 0;
  return pair.id;
}

void postAudit(const Row& row, const BlrDBSvc::Map& req, const BlrDBSvc::Map& resp,
               const std::string& from) {
  EvEvent event;
  event.addArgument(row.name, EV_ARG_TEXT);
  event.setEntity(static_cast<int>(pairOf(row, req, resp)), blrdbsvc::kPairEntityType);
  event.setActor(from);
  event.InfoEvent(blrdbsvc::kRequestEventId, 0, 0);
}

// Counts the pieces handed on.
class CountingReply : public DwLinkReply {
 public:
  explicit CountingReply(DwLinkReply* reply) : reply_(reply) {}
  CZuError append(const std::string& key, std::string piece) override {
    ++pieces;
    return reply_->append(key, std::move(piece));
  }
  int pieces = 0;

 private:
  DwLinkReply* reply_;
};

// Refuses a body that can't be read, or that lacks a field its row requires.
CZuError checkRequired(const Row& row, const BlrDBSvc::Map& req) {
  if (row.required.tags[0] == 0) return CZuError();
  std::vector<char> bytes;
  CZuError err = blrReadBlob(req, &bytes);
  if (err.IsError()) return err;
  bool found[3] = {};
  dwEbmlForEachElement(bytes.data(), static_cast<int>(bytes.size()), [&](DwEbmlParser&, int tag, int) {
    for (int i = 0; i < 3; ++i) found[i] = found[i] || row.required.tags[i] == tag;
    return CZuError();
  });
  for (int i = 0; i < 3 && row.required.tags[i] != 0; ++i)
    if (!found[i])
      return FXErrorUtil::ErrorInt(FXLOC, 1, "The body of \"%s\" lacks its field of tag %d", row.name,
                                   row.required.tags[i]);
  return CZuError();
}

// Runs the request of `row`: a change as one transaction with its answer's
// record and its audit event, a read once more after a lost connection
// while nothing of its answer has left.  `reply` is null when the answer
// goes whole.
CZuError route(const Row& row, const BlrDBSvc::Map& req, BlrDBSvc::Map* resp, DwLinkReply* reply,
               const std::string& from, const KRP_Cert& cert) {
  CZuError err = checkRequired(row, req);
  if (err.IsError()) return err;
  if (row.writes != blrdb_req::Writes::kNothing)
    return blrdbsvc::runChange(blrdb_req::databaseName(row.writes), row.name, req, resp, [&](BlrDBSvc::Map* answer) {
      CZuError err = row.handler(req, answer, cert);
      if (!err.IsError() && row.audited) postAudit(row, req, *answer, from);
      return err;
    });
  if (reply == nullptr || row.stream == nullptr)
    return blrdbsvc::runRead(
        resp, [&](BlrDBSvc::Map* answer) { return row.handler(req, answer, cert); }, [] { return true; });
  CountingReply counted(reply);
  return blrdbsvc::runRead(
      resp, [&](BlrDBSvc::Map*) { return row.stream(req, &counted); },
      [&] { return counted.pieces == 0; });
}

CZuError findRow(const BlrDBSvc::Map& req, const std::string& from, const Row** row) {
  auto it = req.find("req");
  if (it == req.end())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't find request type in received request map");
  blrDebug("BlrDBSvc::dispatch", 2, "Got \"%s\" request from %s", it->second.c_str(), from.c_str());
  *row = blrdb_req::find(it->second);
  if (*row == nullptr) return FXErrorUtil::ErrorInt(FXLOC, 1, "Unknown request \"%s\"", it->second.c_str());
  return CZuError();
}

}  // namespace

BlrDBSvc::BlrDBSvc() : DwLinkSvc("BLR") { acceptsRemote = true; }

CZuError BlrDBSvc::dispatch(const Map& req, Map* resp, const std::string& from,
                            const KRP_Cert& cert) {
  const Row* row = nullptr;
  CZuError err = findRow(req, from, &row);
  if (err.IsError()) return err;
  return route(*row, req, resp, nullptr, from, cert);
}

CZuError BlrDBSvc::dispatchPieces(const Map& req, Map* resp, DwLinkReply* reply,
                                  const std::string& from, const KRP_Cert& cert) {
  const Row* row = nullptr;
  CZuError err = findRow(req, from, &row);
  if (err.IsError()) return err;
  return route(*row, req, resp, reply, from, cert);
}

void initBlrDBSvc() { new BlrDBSvc(); }

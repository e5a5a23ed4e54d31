// What the handler families of BlrDBSvc share: running statements with the
// service's messages, transactions, payload decoding and the clock.
#ifndef BLR_SRC_BLRDBSVCINTERNAL_H
#define BLR_SRC_BLRDBSVCINTERNAL_H

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "BLR/BlrDBSvc.h"
#include "BLR/BlrDBTexts.h"
#include "host/base/CZuError.h"
#include "plans/BlrPlanFields.h"
#include "records/BlrDBFields.h"
#include "records/BlrRecordFields.h"

namespace blrdbsvc {

using Map = std::map<std::string, std::string>;

// Results a statement may give besides a failure.
enum class Accept { kOk, kOkOrNoRows };

// Hex text of records gathered before it is handed on as one piece of a long
// answer (DwLinkReply).
constexpr size_t kAnswerPieceBytes = 64 * 1024;

// Runs `statement`; a result outside `accept` fails with its code and
// "Query [...] failed".  `result` (may be null) receives 0 or 1.
CZuError exec(BlrSQL& sql, const std::string& statement, Accept accept, const FXCodeLocation& loc,
              int* result = nullptr);

// startTran / commitTran with the service's messages.
CZuError begin(BlrSQL& sql, const FXCodeLocation& loc);
CZuError commit(BlrSQL& sql, const FXCodeLocation& loc);

// Runs `statements` in order in one transaction on `dbName`; each must give 0.
CZuError execInTransaction(const char* dbName, const std::vector<std::string>& statements,
                           const FXCodeLocation& loc);

// Reads the identity an insert's "SELECT SCOPE_IDENTITY()" returned.
CZuError readIdentity(BlrSQL& sql, const char* table, int32_t* id, const FXCodeLocation& loc);

// Decodes the payload as a record: every field it holds must read, nested
// records too, and no text may be longer than its column.  A failure gets
// `context` pushed.
template <class Record>
CZuError decodePayload(const Map& req, Record* record, const char* context,
                       const FXCodeLocation& loc) {
  std::vector<char> bytes;
  CZuError err = blrReadBlob(req, &bytes);
  if (!err.IsError()) err = blr_fields::decodeWholly(bytes.data(), static_cast<int>(bytes.size()), *record);
  if (!err.IsError()) err = blr_fields::checkTexts(*record);
  if (err.IsError()) err.Push(loc, "%s", context);
  return err;
}

// Calls onElement(parser, tag, len) for each element of `data`, with the
// parser on its payload, and resumes after the payload.  Unlike
// dwEbmlForEachElement, a header that can't be read fails: a request's body
// is read whole.
template <class OnElement>
CZuError forEachElementWholly(const void* data, size_t size, OnElement&& onElement) {
  DwEbmlParser parser(data, size);
  CZuError err;
  while (!err.IsError() && !parser.atEnd()) {
    int tag = 0, len = 0;
    err = parser.getNextTag(&tag, &len);
    if (err.IsError()) break;
    const uint8_t* next = parser.getPos() + len;
    err = onElement(parser, tag, len);
    parser.skipPayload(static_cast<int>(next - parser.getPos()));
  }
  return err;
}

// A text element of a request's body at the parser (`len` bytes): it must
// read, and fit `width` bytes; `field` names it in the refusal.
CZuError readText(DwEbmlParser& parser, int len, const char* field, int width, std::string* out);

// The pairs of a request, read as decodePayload reads one.  A corrupt
// payload is refused, never read as an empty filter list: that would select
// every pair.
CZuError decodePairList(const Map& req, std::list<BlrDB::Pair>* pairs);

// The answer of a streaming request whole: its pieces gathered into "blob".
CZuError answerWhole(const Map& req, Map* resp, CZuError (*stream)(const Map&, DwLinkReply*));

// Events of the pair database: the entity type of a pair, and the event of
// a request that changed the database (its one argument: the request name).
inline constexpr int kPairEntityType = 187;
inline constexpr int kRequestEventId = 0x025A0100;
// Runs a query whose rows `onRow` reads after `bind`; no rows is no call.
template <class Bind, class OnRow>
CZuError readRows(BlrSQL& sql, const std::string& statement, Bind bind, OnRow onRow,
                  const FXCodeLocation& loc) {
  int result = 0;
  CZuError err = exec(sql, statement, Accept::kOkOrNoRows, loc, &result);
  if (err.IsError() || result != 0) return err;
  int rc = bind();
  if (rc != 0) return FXErrorUtil::ErrorInt(loc, rc, "Bind failed");
  while (sql.getNextRow() == 0) onRow();
  return CZuError();
}

// The central server's time, in seconds since the epoch.
int64_t nowSecs();

// Bounds of the record of recent answers ([Database] nRequestLogSecs,
// nRequestLogMax).
inline constexpr long long kRequestLogDefaultSecs = 900;
inline constexpr long long kRequestLogDefaultMax = 100000;

// Applies a change, filling the answer.
using ChangeFn = std::function<CZuError(Map* resp)>;

// Runs `apply` for the request `name` as one transaction on `db`, answering a
// repeated request id from the record and recording the answer of a new one
// (BlrDBSvcRequestLog.cpp).
CZuError runChange(const char* db, const std::string& name, const Map& req, Map* resp, const ChangeFn& apply);

// Runs `read`, and once more when it met a lost database connection and
// `mayRetry` says nothing of its answer has left yet.
CZuError runRead(Map* resp, const std::function<CZuError(Map*)>& read, const std::function<bool()>& mayRetry);

}  // namespace blrdbsvc

#endif  // BLR_SRC_BLRDBSVCINTERNAL_H

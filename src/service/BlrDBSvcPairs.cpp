// Pair queries, deletion and create-or-update.
#include <array>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "BLR/BlrDBSvc.h"
#include "records/BlrDBFields.h"
#include "records/BlrRecordColumns.h"
#include "service/BlrDBSvcInternal.h"
#include "BLR/BlrUtils.h"
#include "host/net/DwHostName.h"

namespace blrdbsvc {

namespace {

using blr_fields::RecordColumns;

// The columns of the pair query: the stored fields of the pair and of one of
// its disks, as their tables list them, then the tail client's.
const std::string& pairQueryHead() {
  static const std::string head =
      "SELECT " + blr_fields::columnNames<BlrDB::Pair>("BlrPair") + ", " +
      blr_fields::columnNames<BlrDB::Disk>("BlrDisk") +
      ", APP_Client.name, APP_Client.net_hostname, APP_Client.dwdPort, APP_Client.evmgrcPort "
      "FROM BlrPair INNER JOIN BlrDisk ON BlrPair.id=BlrDisk.pairId INNER JOIN APP_Client ON "
      "BlrPair.tailClientId=APP_Client.id ";
  return head;
}

// The pair query with its clause and order, built in one piece.
std::string pairQuery(const std::string& where, const char* order) {
  const std::string& head = pairQueryHead();
  std::string query;
  query.reserve(head.size() + where.size() + std::strlen(order));
  query.append(head).append(where).append(order);
  return query;
}

// One row of the pair query, bound column by column.
struct PairRow {
  static constexpr size_t kColumns = RecordColumns<BlrDB::Pair>::kCount +
                                     RecordColumns<BlrDB::Disk>::kCount + 4;

  RecordColumns<BlrDB::Pair> pair;
  RecordColumns<BlrDB::Disk> disk;
  // Each text buffer holds its column's width in characters, up to 4 bytes
  // a character, and a terminator.
  char clientName[4 * BLRDB_CLIENT_TEXT_CHARS + 1], netHostName[4 * BLRDB_CLIENT_TEXT_CHARS + 1];
  int32_t dwdPort, evmgrcPort;

  int bind(BlrSQL& sql) {
    static const std::string format = blr_fields::columnFormat<BlrDB::Pair>() + "|" +
                                      blr_fields::columnFormat<BlrDB::Disk>() + "|u" +
                                      std::to_string(BLRDB_CLIENT_TEXT_CHARS) + "|u" +
                                      std::to_string(BLRDB_CLIENT_TEXT_CHARS) + "|i|i";
    std::array<void*, kColumns> buffers;
    void** client = disk.buffers(pair.buffers(buffers.data()));
    client[0] = clientName;
    client[1] = netHostName;
    client[2] = &dwdPort;
    client[3] = &evmgrcPort;
    return blr_fields::bindBuffers(sql, format, buffers);
  }

  int32_t pairId() const { return pair.number<BLRDB_TAG_ID>(); }

  // Every field of the pair but its disks, over what `p` held: its texts
  // keep their storage.
  void fillPair(BlrDB::Pair* p) const {
    pair.fill(p);
    MangleHostName(netHostName, clientName, dwdPort, evmgrcPort, &p->tailHostName);
  }

  void fillDisk(BlrDB::Disk* d) const { disk.fill(d); }

  // The pair being assembled by forEachPair; kept with the row so that its
  // texts and disks reuse their storage from one query to the next.
  BlrDB::Pair assembled;
};

// About 20 KiB: not on the stack, and not zeroed, since every row read fills
// every column.  A block that size costs the allocator more than the query
// reads, so each thread keeps one for its next query; a query run while
// another is being read (from a caller's callback) takes a block of its own.
class BorrowedRow {
 public:
  BorrowedRow() : row_(spare().release()) {
    if (!row_) row_.reset(new PairRow);
  }
  ~BorrowedRow() {
    if (!spare()) spare() = std::move(row_);
  }
  BorrowedRow(const BorrowedRow&) = delete;
  BorrowedRow& operator=(const BorrowedRow&) = delete;
  PairRow* operator->() const { return row_.get(); }

 private:
  static std::unique_ptr<PairRow>& spare() {
    thread_local std::unique_ptr<PairRow> row;
    return row;
  }
  std::unique_ptr<PairRow> row_;
};

void addNumber(std::string* where, const char* column, int value) {
  char digits[16];
  const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  where->append(" AND BlrPair.").append(column).append(1, '=').append(digits, end - digits);
}

void addText(std::string* where, const char* column, const std::string& value) {
  *where += " AND BlrPair.";
  *where += column;
  *where += "=" + sqlText(value);
}

}  // namespace

std::string filter2where(const BlrDB::Pair& f) {
  std::string where;
  where.reserve(64);  // one id or two: one allocation
  if (f.id != 0) addNumber(&where, "id", f.id);
  if (f.srcType != 0) addNumber(&where, "srcType", f.srcType);
  if (!f.srcGuid.empty()) addText(&where, "srcGuid", f.srcGuid.toString());
  if (!f.srcName.empty()) addText(&where, "srcName", f.srcName);
  if (f.dstType != 0) addNumber(&where, "dstType", f.dstType);
  if (!f.dstGuid.empty()) addText(&where, "dstGuid", f.dstGuid.toString());
  if (!f.dstName.empty()) addText(&where, "dstName", f.dstName);
  if (f.subClientId != 0) addNumber(&where, "subClientId", f.subClientId);
  if (f.dstClientId != 0) addNumber(&where, "dstClientId", f.dstClientId);
  if (f.headClientId != 0) addNumber(&where, "headClientId", f.headClientId);
  if (f.tailClientId != 0) addNumber(&where, "tailClientId", f.tailClientId);
  if (f.rpStoreId >= 0) addNumber(&where, "rpStoreId", f.rpStoreId);
  if (f.flags > 0) where += " AND BlrPair.flags&" + i2s(f.flags) + "=" + i2s(f.flags);
  if (where.empty()) return where;
  return where.replace(0, 5, "WHERE ");  // the first " AND "
}

std::string filters2where(const std::list<BlrDB::Pair>& filters) {
  std::string result;
  for (const BlrDB::Pair& filter : filters) {
    std::string clause = filter2where(filter);
    if (clause.empty()) continue;
    if (result.empty()) {
      result = std::move(clause);
    } else {
      result.append(" OR ").append(clause, 6, std::string::npos);
    }
  }
  return result;
}

CZuError forEachPair(const std::string& where, BlrSQL* sql,
                     const std::function<bool(BlrDB::Pair&)>& onPair) {
  std::optional<BlrSQL> own;
  if (sql == nullptr) sql = &own.emplace(ANCHOR_DB);
  // In pair order, so that a pair is whole once the next one begins.
  const std::string statement = pairQuery(where, " ORDER BY BlrPair.id");
  int result = 0;
  CZuError err = exec(*sql, statement, Accept::kOkOrNoRows, FXLOC, &result);
  if (err.IsError() || result == DWSQL_NO_ROWS) return err;
  BorrowedRow row;
  int rc = row->bind(*sql);
  if (rc != 0) return FXErrorUtil::ErrorInt(FXLOC, rc, "Bind failed: [%s]", statement.c_str());
  BlrDB::Pair& pair = row->assembled;
  auto disk = pair.disks.end();  // the next disk to fill
  // Drops the disks a longer pair left, and hands the pair over.
  auto handOver = [&] {
    pair.disks.erase(disk, pair.disks.end());
    return onPair(pair);
  };
  bool open = false;
  while (sql->getNextRow() == 0) {
    if (open && pair.id != row->pairId()) {
      if (!handOver()) return CZuError();
      open = false;
    }
    if (!open) {
      row->fillPair(&pair);
      disk = pair.disks.begin();
      open = true;
    }
    if (disk == pair.disks.end()) disk = pair.disks.emplace(disk);
    row->fillDisk(&*disk);
    ++disk;
  }
  if (open) handOver();
  return CZuError();
}

CZuError getPairs(const std::string& where, std::list<BlrDB::Pair>* pairs, BlrSQL* sql) {
  pairs->clear();
  return forEachPair(where, sql, [pairs](BlrDB::Pair& pair) {
    pairs->push_back(std::move(pair));
    return true;
  });
}

CZuError delPairs(const std::string& where) {
  BlrSQL sql(ANCHOR_DB);
  CZuError err = begin(sql, FXLOC);
  if (err.IsError()) return err;
  const std::string statements[] = {
      "DELETE BlrDisk FROM BlrDisk INNER JOIN BlrPair ON BlrPair.id=BlrDisk.pairId " + where,
      "DELETE BlrPairProperties FROM BlrPairProperties INNER JOIN BlrPair ON "
      "BlrPair.id=BlrPairProperties.pairId " + where,
      "DELETE FROM BlrPair " + where,
  };
  for (const std::string& statement : statements) {
    err = exec(sql, statement, Accept::kOk, FXLOC);
    if (err.IsError()) return err;
  }
  return commit(sql, FXLOC);
}

}  // namespace blrdbsvc

using namespace blrdbsvc;

CZuError BlrDBSvc::getPairsHnd(const Map& req, Map* resp, const KRP_Cert&) {
  return answerWhole(req, resp, &BlrDBSvc::getPairsPiecesHnd);
}

namespace {

// "after_id" and "limit" of a get_pairs request: 0 when absent.
CZuError readPaging(const BlrDBSvc::Map& req, const char* key, int* value) {
  auto it = req.find(key);
  *value = 0;
  if (it == req.end()) return CZuError();
  char* end = nullptr;
  long v = std::strtol(it->second.c_str(), &end, 10);
  if (it->second.empty() || *end != '\0' || v < 0 || v > INT32_MAX)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid \"%s\" of get_pairs: \"%s\"", key,
                                 it->second.c_str());
  *value = static_cast<int>(v);
  return CZuError();
}

}  // namespace

CZuError BlrDBSvc::getPairsPiecesHnd(const Map& req, DwLinkReply* reply) {
  std::list<BlrDB::Pair> filters;
  CZuError err = decodePairList(req, &filters);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse BlrPairs");
  int afterId = 0, limit = 0;
  err = readPaging(req, "after_id", &afterId);
  if (!err.IsError()) err = readPaging(req, "limit", &limit);
  if (err.IsError()) return err;
  std::string where = filters2where(filters);
  if (afterId > 0)
    where = "WHERE BlrPair.id>" + i2s(afterId) +
            (where.empty() ? std::string() : " AND (" + where.substr(6) + ")");
  // The page is bounded in the statement too: otherwise every later row is
  // read, and on PostgreSQL held whole, to hand over `limit` pairs.
  if (limit > 0) {
    const std::string& head = pairQueryHead();
    where = "WHERE BlrPair.id IN (SELECT DISTINCT BlrPair.id " + head.substr(head.find("FROM ")) +
            where + " ORDER BY BlrPair.id LIMIT " + i2s(limit) + ")" +
            (where.empty() ? std::string() : " AND (" + where.substr(6) + ")");
  }
  // The pairs of the next piece, encoded as one pair list, in hex once whole.
  struct Pieces {
    DwEbmlBuffer encoded{1000};  // within the allocator's cache of small blocks
    std::optional<DwEbmlWriter> writer;
    DwLinkReply* reply;
    int limit;
    int sent = 0;
    CZuError replyErr;

    void flush() {
      if (writer->getSize() > 0 && !replyErr.IsError())
        replyErr = reply->append("blob", BlrUtils::bin2str(encoded.data, writer->getSize()));
      writer.emplace(encoded, 0);
    }
  } pieces;
  pieces.writer.emplace(pieces.encoded, 0);
  pieces.reply = reply;
  pieces.limit = limit;
  // Captures one pointer, which std::function keeps without an allocation.
  err = forEachPair(where, nullptr, [p = &pieces](BlrDB::Pair& pair) {
    BlrDB::appendPair(pair, *p->writer);
    if (2 * static_cast<size_t>(p->writer->getSize()) >= kAnswerPieceBytes) p->flush();
    ++p->sent;
    return !p->replyErr.IsError() && (p->limit == 0 || p->sent < p->limit);
  });
  pieces.flush();
  if (err.IsError()) return err.Push(FXLOC, "Couldn't query BLR pairs");
  return pieces.replyErr;
}

CZuError BlrDBSvc::delPairsHnd(const Map& req, Map*, const KRP_Cert&) {
  std::list<BlrDB::Pair> filters;
  CZuError err = decodePairList(req, &filters);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse BlrPairs");
  const std::string where = filters2where(filters);
  // An empty clause would delete every pair.
  if (where.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "No filter of the del_pairs request sets a field")
        .Push(FXLOC, "Couldn't delete BLR pairs");
  err = blrdbsvc::delPairs(where);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't delete BLR pairs");
  return CZuError();
}

// ---- create_or_update_pair ----

namespace {

int notNegative(int value) { return value < 0 ? 0 : value; }

// Takes the stored ids into the request and deletes stored disks it no
// longer lists.
CZuError matchStored(BlrSQL& sql, const BlrDB::Pair& stored, BlrDB::Pair* pair) {
  pair->id = stored.id;
  for (BlrDB::Disk& disk : pair->disks) {
    for (const BlrDB::Disk& old : stored.disks) {
      if (old.srcGuid == disk.srcGuid) {
        disk.id = old.id;
        break;
      }
    }
  }
  for (const BlrDB::Disk& old : stored.disks) {
    bool listed = false;
    for (const BlrDB::Disk& disk : pair->disks) listed = listed || disk.srcGuid == old.srcGuid;
    if (listed) continue;
    CZuError err = exec(sql, "DELETE FROM BlrDisk where id=" + i2s(old.id), Accept::kOk, FXLOC);
    if (err.IsError()) return err;
  }
  return CZuError();
}

CZuError insertPair(BlrSQL& sql, BlrDB::Pair* p) {
  const std::string statement =
      "INSERT INTO BlrPair(subClientId, dstClientId, headClientId, tailClientId, srcGuid, "
      "dstGuid, srcType, dstType, srcName, dstName, created, modified, statusCode, "
      "statusMessage, eventId, rpStoreId, lagTime, flags) VALUES(" +
      i2s(p->subClientId) + ", " + i2s(p->dstClientId) + ", " + i2s(p->headClientId) + ", " +
      i2s(p->tailClientId) + ", " + sqlText(p->srcGuid.toString()) + ", " +
      sqlText(p->dstGuid.toString()) + ", " + i2s(p->srcType) + ", " + i2s(p->dstType) + ", " +
      sqlText(p->srcName) + ", " + sqlText(p->dstName) + ", 0, 0, 0, '', 0, " +
      i2s(notNegative(p->rpStoreId)) + ", " + i2s(notNegative(p->lagTime)) + ", " +
      i2s(notNegative(p->flags)) + "); SELECT SCOPE_IDENTITY()";
  CZuError err = exec(sql, statement, Accept::kOk, FXLOC);
  if (err.IsError()) return err;
  return readIdentity(sql, "BlrPair", &p->id, FXLOC);
}

CZuError updatePair(BlrSQL& sql, const BlrDB::Pair& p) {
  std::string set;
  if (p.dstClientId != 0) set += ", dstClientId=" + i2s(p.dstClientId);
  if (p.headClientId != 0) set += ", headClientId=" + i2s(p.headClientId);
  if (p.tailClientId != 0) set += ", tailClientId=" + i2s(p.tailClientId);
  if (!p.dstGuid.empty()) set += ", dstGuid=" + sqlText(p.dstGuid.toString());
  if (!p.srcName.empty()) set += ", srcName=" + sqlText(p.srcName);
  if (!p.dstName.empty()) set += ", dstName=" + sqlText(p.dstName);
  if (p.rpStoreId >= 0) set += ", rpStoreId=" + i2s(p.rpStoreId);
  if (p.lagTime >= 0) set += ", lagTime=" + i2s(p.lagTime);
  if (set.empty()) return CZuError();
  return exec(sql, "UPDATE BlrPair SET " + set.substr(2) + " WHERE id=" + i2s(p.id), Accept::kOk,
              FXLOC);
}

CZuError storeDisk(BlrSQL& sql, int32_t pairId, BlrDB::Disk* d) {
  if (d->id == 0) {
    const std::string statement =
        "INSERT INTO BlrDisk(pairId, srcPath, dstPath, srcGuid, dstGuid, statusCode, "
        "statusMessage) VALUES(" +
        i2s(pairId) + ", " + sqlText(d->srcPath) + ", " + sqlText(d->dstPath) + ", " +
        sqlText(d->srcGuid.toString()) + ", " + sqlText(d->dstGuid.toString()) +
        ", 0, ''); SELECT SCOPE_IDENTITY()";
    CZuError err = exec(sql, statement, Accept::kOk, FXLOC);
    if (err.IsError()) return err;
    return readIdentity(sql, "BlrDisk", &d->id, FXLOC);
  }
  std::string set;
  if (!d->srcPath.empty()) set += ", srcPath=" + sqlText(d->srcPath);
  if (!d->dstPath.empty()) set += ", dstPath=" + sqlText(d->dstPath);
  if (!d->dstGuid.empty()) set += ", dstGuid=" + sqlText(d->dstGuid.toString());
  return exec(sql, "UPDATE BlrDisk SET pairId=" + i2s(pairId) + set + " WHERE id=" + i2s(d->id),
              Accept::kOk, FXLOC);
}

// The pair query joins the Tail's client entry, so a pair stored without
// one could never be read back.
CZuError checkTailClient(BlrSQL& sql, int32_t tailClientId) {
  int result = 0;
  CZuError err = exec(sql, "SELECT id FROM APP_Client WHERE id=" + i2s(tailClientId),
                      Accept::kOkOrNoRows, FXLOC, &result);
  if (err.IsError() || result != DWSQL_NO_ROWS) return err;
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Tail client %d has no client entry", tailClientId);
}

// Steps inside the transaction: check the Tail, look the pair up, then
// insert or update it with its disks.
CZuError storePair(BlrSQL& sql, BlrDB::Pair* pair) {
  CZuError err = checkTailClient(sql, pair->tailClientId);
  if (err.IsError()) return err;
  const std::string lookup = "WHERE BlrPair.subClientId=" + i2s(pair->subClientId) +
                             " AND BlrPair.srcGuid=" + sqlText(pair->srcGuid.toString());
  std::list<BlrDB::Pair> found;
  err = blrdbsvc::getPairs(lookup, &found, &sql);
  if (err.IsError()) return err.Push(FXLOC);
  if (!found.empty()) err = matchStored(sql, found.front(), pair);
  if (!err.IsError()) err = pair->id == 0 ? insertPair(sql, pair) : updatePair(sql, *pair);
  for (auto it = pair->disks.begin(); !err.IsError() && it != pair->disks.end(); ++it)
    err = storeDisk(sql, pair->id, &*it);
  return err;
}

// The id of the stored pair with `pair`'s key, or 0.
CZuError findPairId(BlrSQL& sql, const BlrDB::Pair& pair, int32_t* id) {
  *id = 0;
  int found = 0;
  CZuError err = exec(sql,
                      "SELECT id FROM BlrPair WHERE subClientId=" + i2s(pair.subClientId) +
                          " AND srcGuid=" + sqlText(pair.srcGuid.toString()),
                      Accept::kOkOrNoRows, FXLOC, &found);
  if (err.IsError() || found == DWSQL_NO_ROWS) return err;
  int rc = sql.ibindstruct("i", id);
  if (rc == 0) rc = sql.getNextRow();
  if (rc != 0) return FXErrorUtil::ErrorInt(FXLOC, rc, "Couldn't read the id of a stored BlrPair");
  return CZuError();
}

// A pair not stored yet: its row, then all its disks in one statement, whose
// ids are read back in the order they were inserted.
CZuError insertNewPair(BlrSQL& sql, BlrDB::Pair* pair) {
  CZuError err = insertPair(sql, pair);
  if (err.IsError()) return err;
  std::string values;
  for (const BlrDB::Disk& d : pair->disks)
    values += std::string(values.empty() ? "" : ", ") + "(" + i2s(pair->id) + ", " + sqlText(d.srcPath) + ", " +
              sqlText(d.dstPath) + ", " + sqlText(d.srcGuid.toString()) + ", " + sqlText(d.dstGuid.toString()) +
              ", 0, '')";
  err = exec(sql,
             "INSERT INTO BlrDisk(pairId, srcPath, dstPath, srcGuid, dstGuid, statusCode, statusMessage) VALUES" +
                 values,
             Accept::kOk, FXLOC);
  if (!err.IsError())
    err = exec(sql, "SELECT id FROM BlrDisk WHERE pairId=" + i2s(pair->id) + " ORDER BY id", Accept::kOk, FXLOC);
  int32_t id = 0;
  int rc = err.IsError() ? 0 : sql.ibindstruct("i", &id);
  for (auto it = pair->disks.begin(); !err.IsError() && rc == 0 && it != pair->disks.end(); ++it)
    if ((rc = sql.getNextRow()) == 0) it->id = id;
  if (!err.IsError() && rc != 0) err = FXErrorUtil::ErrorInt(FXLOC, rc, "Couldn't read the ids of inserted BlrDisks");
  return err;
}

// Fills the defaults and clears the ids of a pair to be stored; fails when
// a required field is missing.
CZuError prepareNewPair(BlrDB::Pair* pair) {
  if (pair->srcType == 0) pair->srcType = 1;
  if (pair->dstType == 0) pair->dstType = 1;
  int disk = -1;
  if (const char* field = pair->missingField(&disk)) {
    if (disk < 0) return FXErrorUtil::ErrorInt(FXLOC, 1, "BlrPair must have %s set", field);
    return FXErrorUtil::ErrorInt(FXLOC, 1, "BlrPair must have %s set for all disks", field);
  }
  pair->id = 0;
  for (BlrDB::Disk& d : pair->disks) d.id = 0;
  return CZuError();
}

}  // namespace

CZuError BlrDBSvc::createPairsHnd(const Map& req, Map* resp, const KRP_Cert&) {
  std::list<BlrDB::Pair> pairs;
  CZuError err = decodePairList(req, &pairs);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse createPairs() request");
  if (pairs.empty()) return FXErrorUtil::ErrorInt(FXLOC, 1, "The create_pairs request holds no pair");
  int position = 0;
  for (BlrDB::Pair& pair : pairs) {
    ++position;
    err = prepareNewPair(&pair);
    if (err.IsError()) return err.Push(FXLOC, "Couldn't create pair %d of %zu", position, pairs.size());
  }
  BlrSQL sql(ANCHOR_DB);
  err = begin(sql, FXLOC);
  position = 0;
  for (auto it = pairs.begin(); !err.IsError() && it != pairs.end(); ++it) {
    ++position;
    int32_t stored = 0;
    err = findPairId(sql, *it, &stored);
    if (!err.IsError()) err = stored == 0 ? insertNewPair(sql, &*it) : storePair(sql, &*it);
    if (err.IsError()) err.Push(FXLOC, "Couldn't store pair %d of %zu", position, pairs.size());
  }
  if (!err.IsError()) err = commit(sql, FXLOC);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't create BLR pairs; none was stored");
  // Only the ids go back, in the order of the request.
  std::list<BlrDB::Pair> ids;
  for (const BlrDB::Pair& pair : pairs) {
    ids.emplace_back();
    ids.back().id = pair.id;
    for (const BlrDB::Disk& disk : pair.disks) {
      ids.back().disks.emplace_back();
      ids.back().disks.back().id = disk.id;
    }
  }
  blrSetBlob(*resp, BlrDB::encodePairs(ids));
  return CZuError();
}

CZuError BlrDBSvc::createOrUpdatePairHnd(const Map& req, Map* resp, const KRP_Cert&) {
  BlrDB::Pair pair;
  CZuError err = decodePayload(req, &pair, "Couldn't parse createOrUpdatePair() request", FXLOC);
  if (err.IsError()) return err;
  err = prepareNewPair(&pair);
  if (err.IsError()) return err;
  {
    BlrSQL sql(ANCHOR_DB);
    err = begin(sql, FXLOC);
    if (!err.IsError()) err = storePair(sql, &pair);
    if (!err.IsError()) err = commit(sql, FXLOC);
    if (err.IsError()) return err;
  }
  std::list<BlrDB::Pair> stored;
  err = blrdbsvc::getPairs("WHERE BlrPair.id=" + i2s(pair.id), &stored, nullptr);
  if (err.IsError()) return err.Push(FXLOC);
  if (stored.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "Unexpectedly didn't find the newly inserted BlrPair in the DB");
  DwEbmlBuffer buffer(1024);
  DwEbmlWriter writer(buffer, 0);
  stored.front().serialize(writer);
  blrSetBlob(*resp, writer.getBuffer(), writer.getSize());
  return CZuError();
}

// Pair state handlers: destination info, source paths, event, status,
// pending status, disk status, flags and lag time.
#include "BLR/BlrDBSvc.h"
#include "BLR/BlrPairCodes.h"
#include "service/BlrDBSvcInternal.h"
#include "records/BlrDBTags.h"
#include "host/log/EvEvent.h"
#include "host/base/FXString.h"

using namespace blrdbsvc;

namespace {

// The event posted when a pair takes a status, or 0 for none.
int statusEvent(int statusCode) {
  const BlrPairStatusRow* row = blrPairStatusRow(statusCode);
  return row != nullptr ? row->event : 0;
}

// Runs one UPDATE outside a transaction; "no row" is accepted.
CZuError update(const std::string& statement, const FXCodeLocation& loc) {
  BlrSQL sql(ANCHOR_DB);
  return exec(sql, statement, Accept::kOkOrNoRows, loc);
}

// A flat message of tag 2 (pair id) and one more int tag.
CZuError parsePairNumber(const BlrDBSvc::Map& req, int tag, int32_t* pairId, int32_t* value) {
  std::vector<char> bytes;
  CZuError err = blrReadBlob(req, &bytes);
  if (err.IsError()) return err;
  DwEbmlParser parser(bytes.data(), bytes.size());
  return parser.parseMsg(BLRDB_TAG_PAIR_ID, DW_EBML_VAR_INT32, pairId, tag, DW_EBML_VAR_INT32,
                         value, 0);
}

// set_pair_flags and clr_pair_flags: `name` names the request in messages,
// `op` is what the stored flags are combined with.
CZuError changeFlags(const BlrDBSvc::Map& req, const char* name, const char* op) {
  int32_t pairId = 0, flags = 0;
  CZuError err = parsePairNumber(req, BLRDB_TAG_FLAGS, &pairId, &flags);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't get parse %s() request", name);
  if (pairId == 0) return FXErrorUtil::ErrorInt(FXLOC, 1, "No pair ID passed to %s() request", name);
  if (flags == 0) return FXErrorUtil::ErrorInt(FXLOC, 1, "No flags passed to %s() request", name);
  return update("UPDATE BlrPair SET flags=flags" + std::string(op) + i2s(flags) +
                    " WHERE id=" + i2s(pairId),
                FXLOC);
}

}  // namespace

CZuError BlrDBSvc::updateDestInfoHnd(const Map& req, Map*, const KRP_Cert&) {
  BlrDB::Pair pair;
  CZuError err = decodePayload(req, &pair, "Couldn't parse updateDestInfo() request", FXLOC);
  if (err.IsError()) return err;
  std::vector<std::string> updates;
  std::string set;
  if (!pair.dstGuid.empty()) set += ", dstGuid=" + sqlText(pair.dstGuid.toString());
  if (!pair.dstName.empty()) set += ", dstName=" + sqlText(pair.dstName);
  if (pair.id != 0 && !set.empty())
    updates.push_back("UPDATE BlrPair SET " + set.substr(2) + " WHERE id=" + i2s(pair.id));
  for (const BlrDB::Disk& disk : pair.disks) {
    set.clear();
    if (!disk.dstGuid.empty()) set += ", dstGuid=" + sqlText(disk.dstGuid.toString());
    if (!disk.dstPath.empty()) set += ", dstPath=" + sqlText(disk.dstPath);
    if (disk.id != 0 && !set.empty())
      updates.push_back("UPDATE BlrDisk SET " + set.substr(2) + " WHERE id=" + i2s(disk.id));
  }
  return execInTransaction(ANCHOR_DB, updates, FXLOC);
}

CZuError BlrDBSvc::updateSrcPathsHnd(const Map& req, Map*, const KRP_Cert&) {
  BlrDB::Pair pair;
  CZuError err = decodePayload(req, &pair, "Couldn't parse updateSrcPaths() request", FXLOC);
  if (err.IsError()) return err;
  std::vector<std::string> updates;
  for (const BlrDB::Disk& disk : pair.disks)
    if (!disk.srcGuid.empty() && !disk.srcPath.empty())
      updates.push_back("UPDATE BlrDisk SET srcPath=" + sqlText(disk.srcPath) +
                        " WHERE srcGuid=" + sqlText(disk.srcGuid.toString()));
  return execInTransaction(ANCHOR_DB, updates, FXLOC);
}

CZuError BlrDBSvc::setPairEventHnd(const Map& req, Map*, const KRP_Cert&) {
  BlrDB::Pair pair;
  CZuError err = decodePayload(req, &pair, "Couldn't parse setPairEvent() request", FXLOC);
  if (err.IsError()) return err;
  const std::string set = "UPDATE BlrPair SET eventId=" + i2s(pair.eventId);
  if (pair.id != 0) return update(set + " WHERE id=" + i2s(pair.id), FXLOC);
  if (!pair.srcGuid.empty())
    return update(set + " WHERE srcGuid=" + sqlText(pair.srcGuid.toString()), FXLOC);
  return CZuError();
}

CZuError BlrDBSvc::setPairStatusHnd(const Map& req, Map*, const KRP_Cert& cert) {
  BlrDB::Pair pair;
  CZuError err = decodePayload(req, &pair, "Couldn't parse setPairStatus() request", FXLOC);
  if (err.IsError()) return err;
  BlrSQL sql(ANCHOR_DB);
  // The stored status decides whether the change is an event; a failed read
  // counts as status 0 and is not reported.
  int32_t oldStatus = 0;
  wchar_t oldName[BLRDB_VM_NAME_CHARS + 1] = {};
  const std::string read = "SELECT statusCode, srcName FROM BlrPair WHERE id=" + i2s(pair.id);
  if (sql.execQuery(read.c_str(), false, false) == 0 &&
      sql.ibindstruct("i|w128", &oldStatus, oldName) == 0)
    sql.getNextRow();
  const int eventId = statusEvent(pair.statusCode);
  if (pair.statusCode != oldStatus && eventId != 0) {
    EvEvent event;
    event.addArgument(FXString::ToString(oldName), EV_ARG_TEXT);
    event.setEntity(pair.id, kPairEntityType);
    event.setActor(cert.clientName);
    event.InfoEvent(eventId, 0, 0);
  }
  return exec(sql,
              "UPDATE BlrPair SET statusCode=" + i2s(pair.statusCode) +
                  ", statusMessage=" + sqlText(pair.statusMessage) +
                  ", eventId=" + i2s(pair.eventId) + " WHERE id=" + i2s(pair.id),
              Accept::kOkOrNoRows, FXLOC);
}

CZuError BlrDBSvc::setPairPendingStatusHnd(const Map& req, Map*, const KRP_Cert&) {
  BlrDB::Pair pair;
  CZuError err =
      decodePayload(req, &pair, "Couldn't parse setPairPendingStatus() request", FXLOC);
  if (err.IsError()) return err;
  return update("UPDATE BlrPair SET pendingStatusCode=" + i2s(pair.pendingStatusCode) +
                    " WHERE id=" + i2s(pair.id),
                FXLOC);
}

CZuError BlrDBSvc::setDiskStatusHnd(const Map& req, Map*, const KRP_Cert&) {
  BlrDB::Disk disk;
  CZuError err = decodePayload(req, &disk, "Couldn't parse setDiskStatus() request", FXLOC);
  if (err.IsError()) return err;
  return update("UPDATE BlrDisk SET statusCode=" + i2s(disk.statusCode) +
                    ", statusMessage=" + sqlText(disk.statusMessage) +
                    " WHERE id=" + i2s(disk.id),
                FXLOC);
}

CZuError BlrDBSvc::setPairFlagsHnd(const Map& req, Map*, const KRP_Cert&) {
  return changeFlags(req, "setPairFlags", "|");
}

CZuError BlrDBSvc::clrPairFlagsHnd(const Map& req, Map*, const KRP_Cert&) {
  return changeFlags(req, "clrPairFlags", "&~");
}

CZuError BlrDBSvc::setPairLagTimeHnd(const Map& req, Map*, const KRP_Cert&) {
  int32_t pairId = 0, lagTime = 0;
  CZuError err = parsePairNumber(req, BLRDB_TAG_LAG_TIME, &pairId, &lagTime);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't get parse setPairLagTime() request");
  if (pairId == 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "No pair ID passed to setPairLagTime() request");
  return update("UPDATE BlrPair SET lagTime=" + i2s(lagTime) + " WHERE id=" + i2s(pairId), FXLOC);
}

// Statistics points (into "HistoryDB") and pair properties.
#include <memory>

#include "BLR/BlrDBSvc.h"
#include "service/BlrDBSvcInternal.h"
#include "records/BlrDBTags.h"
#include "host/base/FXString.h"

using namespace blrdbsvc;

namespace {

const char kInsertProperty[] =
    "INSERT INTO BlrPairProperties(pairId, propertyName, propertyValue, propertyTypeId, "
    "created, modified) VALUES";

// The flat message of the property requests: 2 = pair id, 20 = name,
// 21 = value; absent texts stay null.
struct PropRequest {
  int32_t pairId = 0;
  const char* name = nullptr;
  const char* value = nullptr;
  std::vector<char> bytes;

  // Parses the request `request` names in failures; one without a pair id,
  // or without a name when `needsName`, is refused.
  CZuError parse(const BlrDBSvc::Map& req, const char* request, bool needsName) {
    CZuError err = blrReadBlob(req, &bytes);
    if (!err.IsError()) {
      DwEbmlParser parser(bytes.data(), bytes.size());
      err = parser.parseMsg(BLRDB_TAG_PAIR_ID, DW_EBML_VAR_INT32, &pairId, BLRDB_TAG_PROP_NAME,
                            DW_EBML_VAR_STR, &name, BLRDB_TAG_PROP_VALUE, DW_EBML_VAR_STR, &value,
                            0);
    }
    if (!err.IsError() && name != nullptr)
      err = blrCheckText("propertyName", name, BLRDB_PROP_NAME_BYTES, BlrTextUnit::kBytes);
    if (err.IsError()) return err.Push(FXLOC, "Couldn't get parse %s() request", request);
    if (pairId == 0)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "No pair ID passed to %s() request", request);
    if (needsName && !hasName())
      return FXErrorUtil::ErrorInt(FXLOC, 1, "No property name passed to %s() request", request);
    return CZuError();
  }
  bool hasName() const { return name != nullptr && *name != '\0'; }
};

// The property map of a request: names, each followed by its value; every
// element must read, and every name and value fit its column.
CZuError readPropMap(const DwEbmlBinary& block, BlrPairPropMap* props) {
  std::string name, value;
  return forEachElementWholly(block.data, static_cast<size_t>(block.size),
                              [&](DwEbmlParser& p, int tag, int len) {
                                if (tag == BLRDB_TAG_PROP_NAME) return p.getStrPayload(len, &name);
                                if (tag != BLRDB_TAG_PROP_VALUE) return CZuError();
                                CZuError err = p.getStrPayload(len, &value);
                                if (!err.IsError()) err = blrCheckProp(name, value);
                                if (!err.IsError()) (*props)[name] = value;
                                return err;
                              });
}

// Answers with one blob that `write` fills.
template <class Write>
void answerBlob(BlrDBSvc::Map* resp, Write write) {
  DwEbmlBuffer buffer(1024);
  DwEbmlWriter writer(buffer, 0);
  write(writer);
  blrSetBlob(*resp, writer.getBuffer(), writer.getSize());
}

}  // namespace

CZuError BlrDBSvc::addPairStatsHnd(const Map& req, Map*, const KRP_Cert&) {
  BlrDB::PairStats s;
  CZuError err = decodePayload(req, &s, "Couldn't parse addPairStats() request", FXLOC);
  if (err.IsError()) return err;
  if (s.pairId == 0) return FXErrorUtil::ErrorInt(FXLOC, 1, "PairStats must have pairId set");
  if (s.timeStamp == 0) s.timeStamp = nowSecs();
  auto wide = [](int64_t v) { return ll2s(static_cast<unsigned long>(v)); };
  const std::string statement =
      "INSERT INTO BlrPairStats(pairId, timeStamp, repDataDeltaActual, repDataDeltaComp, "
      "ioDelta, iopsDelta, repSetSize, sizeInRpStore, retention) VALUES(" +
      i2s(s.pairId) + ", " + wide(s.timeStamp) + ", " + wide(s.repDataDeltaActual) + ", " +
      wide(s.repDataDeltaComp) + ", " + wide(s.ioDelta) + ", " + wide(s.iopsDelta) + ", " +
      wide(s.repSetSize) + ", " + wide(s.sizeInRpStore) + ", " + i2s(s.retention) + ");";
  return execInTransaction(HISTORY_DB, {statement}, FXLOC);
}

CZuError BlrDBSvc::setPairPropsHnd(const Map& req, Map*, const KRP_Cert&) {
  int32_t pairId = 0;
  DwEbmlBinary block{nullptr, 0};
  std::vector<char> bytes;
  CZuError err = blrReadBlob(req, &bytes);
  DwEbmlParser parser(bytes.data(), bytes.size());
  if (!err.IsError())
    err = parser.parseMsg(BLRDB_TAG_PAIR_ID, DW_EBML_VAR_INT32, &pairId, BLRDB_TAG_PROP_MAP,
                          DW_EBML_VAR_BINARY, &block, 0);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't get parse setPairProps() request");
  if (pairId == 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "No pair ID passed to setPairProps() request");
  if (block.data == nullptr || block.size == 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "No pair property map passed to setPairProps() request");
  BlrPairPropMap props;
  err = readPropMap(block, &props);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse pair property map");
  if (props.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Pair property map passed to setPairProps() is empty");
  std::string values;
  const std::string now = std::to_string(nowSecs());  // when each was written
  const std::string stamps = ", '', " + now + ", " + now;
  for (const auto& entry : props) {
    if (entry.first == BlrDB::PairProps::CUR_ANCHOR_TIME) continue;
    values += "(" + i2s(pairId) + ", " + sqlText(entry.first) + ", " + sqlText(entry.second) +
              stamps + "), ";
  }
  // A set of nothing but the server's time would have no row to insert.
  if (values.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "Pair property map passed to setPairProps() holds only %s, "
                                 "which is never stored",
                                 BlrDB::PairProps::CUR_ANCHOR_TIME);
  const std::string statement = "DELETE FROM BlrPairProperties WHERE pairId=" + i2s(pairId) +
                                "; " + kInsertProperty + " " +
                                values.substr(0, values.size() - 2) + ";";
  return execInTransaction(ANCHOR_DB, {statement}, FXLOC);
}

CZuError BlrDBSvc::getPairPropsHnd(const Map& req, Map* resp, const KRP_Cert&) {
  PropRequest r;
  CZuError err = r.parse(req, "getPairProps", false);
  if (err.IsError()) return err;
  const std::string statement =
      "SELECT propertyName, propertyValue FROM BlrPairProperties WHERE pairId=" + i2s(r.pairId);
  BlrSQL sql(ANCHOR_DB);
  char name[BLRDB_PROP_NAME_BYTES + 1];
  std::unique_ptr<wchar_t[]> value(new wchar_t[BLRDB_PROP_VALUE_CHARS + 1]);
  BlrPairPropMap props;
  bool found = false;  // no rows is an answer without a blob
  err = readRows(
      sql, statement,
      [&] {
        found = true;
        return sql.ibindstruct("s128|w1024", name, value.get());
      },
      [&] { props[name] = FXString::ToString(value.get()); }, FXLOC);
  if (err.IsError() || !found) return err;
  props[BlrDB::PairProps::CUR_ANCHOR_TIME] = std::to_string(nowSecs());
  answerBlob(resp, [&](DwEbmlWriter& writer) { props.serialize(writer); });
  return CZuError();
}

CZuError BlrDBSvc::setPairPropHnd(const Map& req, Map*, const KRP_Cert&) {
  PropRequest r;
  CZuError err = r.parse(req, "setPairProp", true);
  if (err.IsError()) return err;
  if (r.value == nullptr)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "No property value passed to setPairProp() request");
  err = blrCheckProp(r.name, r.value);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't store pair property");
  const std::string id = i2s(r.pairId), name = sqlText(r.name), now = std::to_string(nowSecs());
  const std::string statement = "DELETE FROM BlrPairProperties WHERE pairId=" + id +
                                " AND propertyName=" + name + "; " + kInsertProperty + "(" + id +
                                ", " + name + ", " + sqlText(r.value) + ", '', " + now + ", " +
                                now + ")";
  return execInTransaction(ANCHOR_DB, {statement}, FXLOC);
}

CZuError BlrDBSvc::getPairPropHnd(const Map& req, Map* resp, const KRP_Cert&) {
  PropRequest r;
  CZuError err = r.parse(req, "getPairProp", true);
  if (err.IsError()) return err;
  const std::string statement = "SELECT propertyValue FROM BlrPairProperties WHERE pairId=" +
                                i2s(r.pairId) + " AND propertyName=" + sqlText(r.name);
  BlrSQL sql(ANCHOR_DB);
  std::unique_ptr<wchar_t[]> value(new wchar_t[BLRDB_PROP_VALUE_CHARS + 1]());
  bool found = false;  // the name is unique per pair: one row at most
  err = readRows(
      sql, statement,
      [&] {
        found = true;
        return sql.ibindstruct("w1024", value.get());
      },
      [] {}, FXLOC);
  if (err.IsError() || !found) return err;
  answerBlob(resp, [&](DwEbmlWriter& writer) {
    writer.writeStrTag(BLRDB_TAG_PROP_VALUE, FXString::ToString(value.get()));
  });
  return CZuError();
}

CZuError BlrDBSvc::delPairPropHnd(const Map& req, Map*, const KRP_Cert&) {
  PropRequest r;
  CZuError err = r.parse(req, "delPairProp", false);
  if (err.IsError()) return err;
  std::string statement = "DELETE FROM BlrPairProperties WHERE pairId=" + i2s(r.pairId);
  if (r.hasName()) statement += " AND propertyName=" + sqlText(r.name);
  BlrSQL sql(ANCHOR_DB);
  return exec(sql, statement, Accept::kOk, FXLOC);
}

// The pair database client: each operation encodes its body, sends it on the
// link "BLR" and decodes the answer.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <random>

#include "BLR/BlrDB.h"
#include "BLR/BlrDBTexts.h"
#include "BLR/BlrUtils.h"
#include "pairdb/BlrDBRequests.h"
#include "records/BlrDBTags.h"
#include "host/base/FXFormat.h"
#include "host/link/DwLink.h"

namespace {

using Map = std::map<std::string, std::string>;

// A fresh buffer with its writer at offset 0.
struct Body {
  explicit Body(int size) : buffer(size), writer(buffer, 0) {}
  DwEbmlBuffer buffer;
  DwEbmlWriter writer;
};

// A request id: 128 random bits in hex, drawn once per request and kept
// when the link sends it again.
std::string newRequestId() {
  thread_local std::mt19937_64 bits{std::random_device{}() ^ (uint64_t(std::random_device{}()) << 32)};
  char text[33];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(bits()),
                static_cast<unsigned long long>(bits()));
  return text;
}

BlrDB::Pair pairWithId(int pairId) {
  BlrDB::Pair pair;
  pair.id = pairId;
  return pair;
}

CZuError checkTexts(const BlrDB::PairStats&) { return CZuError(); }  // numbers only
template <class Record>
CZuError checkTexts(const Record& record) {
  return blrCheckTexts(record);
}

// Sends a record body without asking for an answer; a text too long to be
// stored is refused before sending.  A failure gets `context` pushed at `loc`.
template <class Record>
CZuError sendRecord(BlrDB* db, BlrDBReq request, const Record& record, int bufferSize,
                    const char* context, const FXCodeLocation& loc) {
  CZuError err = checkTexts(record);
  if (!err.IsError()) {
    Body body(bufferSize);
    record.serialize(body.writer);
    err = db->makeReq(blrdb_req::name(request), body.writer, nullptr);
  }
  return err.Push(loc, "%s", context);
}

// Sends "2 = pair id, <tag> = value"; a failure gets `context` pushed.
CZuError sendPairNumber(BlrDB* db, BlrDBReq request, int pairId, int tag, int value,
                        const char* context, const FXCodeLocation& loc) {
  Body body(1024);
  body.writer.writeNumTag(BLRDB_TAG_PAIR_ID, pairId);
  body.writer.writeNumTag(tag, value);
  return db->makeReq(blrdb_req::name(request), body.writer, nullptr).Push(loc, "%s", context);
}

}  // namespace

CZuError BlrDB::makeReq(const std::string& request, const DwEbmlWriter& body,
                        std::vector<char>* answer) {
  Map req{{"req", request}};
  blrSetBlob(req, body.getBuffer(), body.getSize());
  // Reads and changes that carry a request id may be sent again.
  const blrdb_req::Row* row = blrdb_req::find(request);
  if (row != nullptr && row->replays) req[blrdb_req::kRequestIdKey] = newRequestId();
  DwLink link("BLR");
  link.setClientConfig(link_.get());
  link.setResendable(true);
  Map resp;
  CZuError err = link.makeReqToAnchor(req, &resp, nullptr);
  if (err.IsError()) return err.Push(FXLOC);
  auto failure = resp.find("error");
  if (failure != resp.end()) return FXErrorUtil::ErrorInt(FXLOC, 1, "%s", failure->second.c_str());
  if (answer == nullptr) return CZuError();
  std::vector<char> bytes;
  err = blrReadBlob(resp, &bytes);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't read the answer to \"%s\"", request.c_str());
  answer->swap(bytes);
  return CZuError();
}

// ---- Pair queries and updates ----

CZuError BlrDB::getPair(int pairId, Pair* pair) {
  // Taken straight from the answer, without a list in between.
  Pair first;
  bool found = false, parseFailed = false;
  CZuError err = streamPairs(
      std::list<Pair>(1, pairWithId(pairId)), 0, 0,
      [&](Pair& each) {
        if (!found) first = std::move(each);
        found = true;
        return true;
      },
      &parseFailed, [&] { found = false; });
  if (err.IsError())
    return err.Push(FXLOC, parseFailed ? "Couldn't parse BlrPairs" : "Couldn't lookup BlrPairs");
  if (found) {
    *pair = std::move(first);
  } else {
    pair->clear();
  }
  return CZuError();
}

CZuError BlrDB::getPairs(int subClientId, std::list<Pair>* pairs) {
  Pair filter;
  filter.subClientId = subClientId;
  return getPairs(filter, pairs).Push(FXLOC);
}

CZuError BlrDB::getPairs(const BlrUUID& srcGuid, std::list<Pair>* pairs) {
  Pair filter;
  filter.srcGuid = srcGuid;
  return getPairs(filter, pairs).Push(FXLOC);
}

CZuError BlrDB::getPairs(const Pair& filter, std::list<Pair>* pairs) {
  return getPairs(std::list<Pair>{filter}, pairs);
}

// Asks for the pairs of `filters` and decodes the answer piece by piece.
// `parseFailed` tells a failure to decode from one of the request.
CZuError BlrDB::streamPairs(const std::list<Pair>& filters, int afterId, int limit,
                            const std::function<bool(Pair&)>& onPair, bool* parseFailed,
                            const std::function<void()>& restart) {
  Map req{{"req", blrdb_req::name(BlrDBReq::kGetPairs)}};
  blrSetBlob(req, encodePairs(filters));
  if (afterId > 0) req["after_id"] = std::to_string(afterId);
  if (limit > 0) req["limit"] = std::to_string(limit);
  *parseFailed = false;
  bool stopped = false;
  int handed = 0;
  int lastHanded = 0;           // id of the last pair handed over
  int skipThrough = afterId;    // pairs up to this id are not handed over
  // An older server ignores the paging keys: they are applied here too.
  // Decodes a piece in its own storage, which it no longer needs.
  auto take = [&](std::string& hex) {
    const int size = static_cast<int>(hex.size() / 2);
    PairList pairs;
    CZuError err = BlrUtils::str2bin(hex, &hex[0], size);
    if (!err.IsError()) err = pairs.unserialize(hex.data(), size);
    if (err.IsError()) {
      *parseFailed = true;
      return err;
    }
    for (Pair& pair : pairs) {
      const int id = pair.id;
      if (id <= skipThrough && skipThrough > 0) continue;
      if ((limit > 0 && handed >= limit) || !onPair(pair)) {
        stopped = true;
        return FXErrorUtil::ErrorInt(FXLOC, ECANCELED, "Stopped reading pairs");
      }
      ++handed;
      lastHanded = id;
    }
    return CZuError();
  };
  Map resp;
  DwLink link("BLR");
  link.setClientConfig(link_.get());
  link.setResendable(true);
  if (restart) {
    link.setRestart([&] {
      handed = 0;
      restart();
    });
  } else {
    // The server answers in id order: a start over on another server goes
    // on after the last pair handed over, which the caller keeps.
    link.setRestart([&] { skipThrough = std::max(skipThrough, lastHanded); });
  }
  CZuError err = link.makeReqPieces(
      req, &resp,
      [&](const std::string& key, std::string& piece) {
        return key == "blob" ? take(piece) : CZuError();
      },
      nullptr);
  if (stopped) return CZuError();
  if (err.IsError()) return err.Push(FXLOC);
  auto failure = resp.find("error");
  if (failure != resp.end()) return FXErrorUtil::ErrorInt(FXLOC, 1, "%s", failure->second.c_str());
  auto rest = resp.find("blob");
  if (rest != resp.end()) err = take(rest->second);
  if (stopped) return CZuError();
  return err;
}

CZuError BlrDB::getPairs(const std::list<Pair>& filters, std::list<Pair>* pairs) {
  std::list<Pair> found;
  bool parseFailed = false;
  CZuError err = streamPairs(
      filters, 0, 0,
      [&](Pair& pair) {
        found.push_back(std::move(pair));
        return true;
      },
      &parseFailed, [&] { found.clear(); });
  if (err.IsError())
    return err.Push(FXLOC, parseFailed ? "Couldn't parse BlrPairs" : "Couldn't lookup BlrPairs");
  pairs->swap(found);
  return CZuError();
}

CZuError BlrDB::forEachPair(const std::list<Pair>& filters,
                            const std::function<bool(const Pair&)>& onPair, int afterId,
                            int limit) {
  bool parseFailed = false;
  CZuError err = streamPairs(filters, afterId, limit, onPair, &parseFailed);
  if (err.IsError())
    return err.Push(FXLOC, parseFailed ? "Couldn't parse BlrPairs" : "Couldn't lookup BlrPairs");
  return err;
}

CZuError BlrDB::delPair(int pairId) { return delPairs(pairWithId(pairId)).Push(FXLOC); }

CZuError BlrDB::delPairs(int subClientId) {
  Pair filter;
  filter.subClientId = subClientId;
  return delPairs(filter).Push(FXLOC);
}

CZuError BlrDB::delPairs(const std::list<int>& pairIds) {
  // No identifiers select no pair; sending no filter would select them all.
  if (pairIds.empty()) return CZuError();
  std::list<Pair> filters;
  for (int id : pairIds) filters.push_back(pairWithId(id));
  return delPairs(filters).Push(FXLOC);
}

CZuError BlrDB::delPairs(const Pair& filter) { return delPairs(std::list<Pair>{filter}); }

CZuError BlrDB::delPairs(const std::list<Pair>& filters) {
  Body body(1024);
  PairList(filters).serialize(body.writer);
  std::vector<char> answer;
  CZuError err = makeReq(blrdb_req::name(BlrDBReq::kDelPairs), body.writer, &answer);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't delete BlrPairs");
  return CZuError();
}

CZuError BlrDB::createOrUpdatePair(Pair& pair) {
  Body body(1024);
  pair.serialize(body.writer);
  std::vector<char> answer;
  CZuError err = blrCheckTexts(pair);
  if (!err.IsError()) err = makeReq(blrdb_req::name(BlrDBReq::kCreateOrUpdatePair), body.writer, &answer);
  if (!err.IsError()) err = pair.unserialize(answer.data(), static_cast<int>(answer.size()));
  if (err.IsError()) return err.Push(FXLOC, "Couldn't create or update BlrPair");
  return CZuError();
}

CZuError BlrDB::createPairs(std::list<Pair>& pairs) {
  std::vector<char> answer;
  Body body(1024);
  PairList(pairs).serialize(body.writer);
  CZuError err = makeReq(blrdb_req::name(BlrDBReq::kCreatePairs), body.writer, &answer);
  std::list<Pair> ids;
  if (!err.IsError()) err = decodePairs(answer, &ids);
  if (!err.IsError() && ids.size() != pairs.size())
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "The answer holds %zu ids for %zu pairs", ids.size(), pairs.size());
  if (err.IsError()) return err.Push(FXLOC, "Couldn't create %zu BlrPairs", pairs.size());
  auto stored = ids.begin();
  for (Pair& pair : pairs) {
    pair.id = stored->id;
    auto disk = stored->disks.begin();
    for (Disk& d : pair.disks) {
      if (disk == stored->disks.end()) break;
      d.id = (disk++)->id;
    }
    ++stored;
  }
  return CZuError();
}

CZuError BlrDB::updateDestInfo(const Pair& pair) {
  return sendRecord(this, BlrDBReq::kUpdateDestInfo, pair, 1024,
                    "Couldn't update BlrPair's destination info", FXLOC);
}

CZuError BlrDB::updateSrcPaths(const std::map<BlrUUID, std::string>& srcPathsByDiskGuid) {
  Pair pair;
  for (const auto& entry : srcPathsByDiskGuid) {
    Disk disk;
    disk.srcGuid = entry.first;
    disk.srcPath = entry.second;
    pair.disks.push_back(disk);
  }
  return sendRecord(this, BlrDBReq::kUpdateSrcPaths, pair, 1024,
                    "Couldn't update source disk paths", FXLOC);
}

// ---- Pair state, statistics and properties ----

CZuError BlrDB::setPairEvent(int pairId, int eventId) {
  Pair pair = pairWithId(pairId);
  pair.eventId = eventId;
  return sendRecord(this, BlrDBReq::kSetPairEvent, pair, 1024,
                    "Couldn't set BlrPair status", FXLOC);
}

CZuError BlrDB::setPairEvent(const BlrUUID& srcGuid, int eventId) {
  Pair pair;
  pair.srcGuid = srcGuid;
  pair.eventId = eventId;
  return sendRecord(this, BlrDBReq::kSetPairEvent, pair, 1024,
                    "Couldn't set BlrPair status", FXLOC);
}

CZuError BlrDB::setPairStatus(int pairId, int statusCode, const std::string& statusMessage,
                              int eventId) {
  Pair pair = pairWithId(pairId);
  pair.statusCode = statusCode;
  pair.statusMessage = statusMessage;
  pair.eventId = eventId;
  return sendRecord(this, BlrDBReq::kSetPairStatus, pair, 1024,
                    "Couldn't set BlrPair status", FXLOC);
}

CZuError BlrDB::setDiskStatus(int diskId, int statusCode, const std::string& statusMessage) {
  Disk disk;
  disk.id = diskId;
  disk.statusCode = statusCode;
  disk.statusMessage = statusMessage;
  return sendRecord(this, BlrDBReq::kSetDiskStatus, disk, 1024,
                    "Couldn't set BlrDisk status", FXLOC);
}

CZuError BlrDB::setPairPendingStatus(int pairId, int pendingStatusCode) {
  Pair pair = pairWithId(pairId);
  pair.pendingStatusCode = pendingStatusCode;
  return sendRecord(this, BlrDBReq::kSetPairPendingStatus, pair, 1024,
                    "Couldn't set BlrPair pending status", FXLOC);
}

CZuError BlrDB::setPairFlags(int pairId, int flags) {
  return sendPairNumber(this, BlrDBReq::kSetPairFlags, pairId, BLRDB_TAG_FLAGS, flags,
                        "Couldn't set BlrPair flags", FXLOC);
}

CZuError BlrDB::clrPairFlags(int pairId, int flags) {
  return sendPairNumber(this, BlrDBReq::kClrPairFlags, pairId, BLRDB_TAG_FLAGS, flags,
                        "Couldn't clear BlrPair flags", FXLOC);
}

CZuError BlrDB::setPairLagTime(int pairId, int lagTime) {
  return sendPairNumber(this, BlrDBReq::kSetPairLagTime, pairId, BLRDB_TAG_LAG_TIME, lagTime,
                        "Couldn't set BlrPair lag time", FXLOC);
}

CZuError BlrDB::addPairStats(const PairStats& stats) {
  const std::string context = FXFormat("Couldn't insert new stats point for pair %d", stats.pairId);
  return sendRecord(this, BlrDBReq::kAddPairStats, stats, 4096, context.c_str(), FXLOC);
}

CZuError BlrDB::setPairProps(int pairId, const PairProps& props) {
  const BlrPairPropMap map(props.toMap());
  CZuError err;
  for (auto it = map.begin(); !err.IsError() && it != map.end(); ++it)
    err = blrCheckProp(it->first, it->second);
  Body body(1024);
  body.writer.writeNumTag(BLRDB_TAG_PAIR_ID, pairId);
  body.writer.openContTag(BLRDB_TAG_PROP_MAP, BLRDB_RECORD_BOUND);
  map.serialize(body.writer);
  body.writer.closeContTag();
  if (!err.IsError()) err = makeReq(blrdb_req::name(BlrDBReq::kSetPairProps), body.writer, nullptr);
  if (err.IsError()) err.Push(FXLOC, "Couldn't set BlrPair properties");
  return err;
}

CZuError BlrDB::getPairProps(int pairId, std::map<std::string, std::string>* props) {
  Body body(128);
  body.writer.writeNumTag(BLRDB_TAG_PAIR_ID, pairId);
  std::vector<char> answer;
  BlrPairPropMap decoded;
  CZuError err = makeReq(blrdb_req::name(BlrDBReq::kGetPairProps), body.writer, &answer);
  if (!err.IsError()) err = decoded.unserialize(answer.data(), static_cast<int>(answer.size()));
  if (err.IsError()) return err.Push(FXLOC, "Couldn't get BlrPair properties");
  props->swap(decoded);
  return CZuError();
}

CZuError BlrDB::getPairProps(int pairId, PairProps* props) {
  std::map<std::string, std::string> map;
  CZuError err = getPairProps(pairId, &map);
  if (err.IsError()) return err;
  props->fromMap(map);
  return CZuError();
}

CZuError BlrDB::setPairProp(int pairId, const std::string& name, const std::string& value) {
  Body body(1024);
  body.writer.writeNumTag(BLRDB_TAG_PAIR_ID, pairId);
  body.writer.writeStrTag(BLRDB_TAG_PROP_NAME, name);
  body.writer.writeStrTag(BLRDB_TAG_PROP_VALUE, value);
  CZuError err = blrCheckProp(name, value);
  if (!err.IsError()) err = makeReq(blrdb_req::name(BlrDBReq::kSetPairProp), body.writer, nullptr);
  if (err.IsError())
    err.Push(FXLOC, "Couldn't set BlrPair property %s=%s", name.c_str(), value.c_str());
  return err;
}

CZuError BlrDB::getPairProp(int pairId, const std::string& name, std::string* value) {
  Body body(128);
  body.writer.writeNumTag(BLRDB_TAG_PAIR_ID, pairId);
  body.writer.writeStrTag(BLRDB_TAG_PROP_NAME, name);
  std::vector<char> answer;
  const char* found = nullptr;
  CZuError err = makeReq(blrdb_req::name(BlrDBReq::kGetPairProp), body.writer, &answer);
  if (!err.IsError()) {
    DwEbmlParser parser(answer.data(), answer.size());
    err = parser.parseMsg(BLRDB_TAG_PROP_VALUE, DW_EBML_VAR_STR, &found, 0);
  }
  if (err.IsError()) return err.Push(FXLOC, "Couldn't get BlrPair property %s", name.c_str());
  *value = found ? found : "";
  return CZuError();
}

CZuError BlrDB::delPairProp(int pairId, const std::string& name) {
  Body body(1024);
  body.writer.writeNumTag(BLRDB_TAG_PAIR_ID, pairId);
  body.writer.writeStrTag(BLRDB_TAG_PROP_NAME, name);
  CZuError err = makeReq(blrdb_req::name(BlrDBReq::kDelPairProp), body.writer, nullptr);
  if (err.IsError()) err.Push(FXLOC, "Couldn't delete BlrPair property %s", name.c_str());
  return err;
}

CZuError BlrDB::delPairProps(int pairId) { return delPairProp(pairId, ""); }

// ---- Boot VMs ----

namespace {

// Decodes tag-34 containers, one boot VM each, appending to `vms`.
CZuError decodeBootVMs(const std::vector<char>& bytes, std::list<BlrDB::BootVM>* vms) {
  return dwEbmlForEachElement(
      bytes.data(), static_cast<int>(bytes.size()), [vms](DwEbmlParser& p, int tag, int len) {
        if (tag != BLRDB_TAG_BOOT_VM) return CZuError();
        BlrDB::BootVM vm;
        CZuError err = vm.unserialize(p.getPos(), len);
        if (!err.IsError()) vms->push_back(std::move(vm));
        return err;
      });
}

}  // namespace

CZuError BlrDB::addBootVM(const BootVM& vm, int* bootVmId) {
  Body body(4096);
  vm.serialize(body.writer);
  std::vector<char> answer;
  CZuError err = blrCheckTexts(vm);
  if (!err.IsError()) err = makeReq(blrdb_req::name(BlrDBReq::kCreateOrUpdateBootVm), body.writer, &answer);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't create new Boot VM");
  int32_t id = 0;
  DwEbmlParser parser(answer.data(), answer.size());
  parser.parseMsg(BLRDB_TAG_BOOT_VM_ID, DW_EBML_VAR_INT32, &id, 0);  // no id: 0
  *bootVmId = id;
  return CZuError();
}

CZuError BlrDB::populateBootVM(const BootVM& vm) {
  return sendRecord(this, BlrDBReq::kCreateOrUpdateBootVm, vm, 4096,
                    "Couldn't update existing Boot VM", FXLOC);
}

CZuError BlrDB::setBootVMStatus(int bootVmId, int statusCode, const std::string& statusMessage,
                                int eventId) {
  BootVM vm;
  vm.id = bootVmId;
  vm.statusCode = statusCode;
  vm.statusMessage = statusMessage;
  vm.eventId = eventId;
  return sendRecord(this, BlrDBReq::kCreateOrUpdateBootVm, vm, 4096,
                    "Couldn't update existing Boot VM", FXLOC);
}

CZuError BlrDB::getBootVM(int bootVmId, BootVM* vm) {
  Body body(1024);
  body.writer.writeNumTag(BLRDB_TAG_BOOT_VM_ID, bootVmId);
  vm->clear();
  std::vector<char> answer;
  CZuError err = makeReq(blrdb_req::name(BlrDBReq::kGetBootVm), body.writer, &answer);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't retrieve BootVM with ID %d", bootVmId);
  err = vm->unserialize(answer.data(), static_cast<int>(answer.size()));
  if (err.IsError()) err.Push(FXLOC);
  return err;
}

namespace {

// The list queries: one number element, an answer of tag-34 containers.
// `what` completes the failure message ("pair 4").
CZuError listBootVMs(BlrDB* db, const char* request, int tag, int id, const std::string& what,
                     std::list<BlrDB::BootVM>* vms) {
  Body body(1024);
  body.writer.writeNumTag(tag, id);
  vms->clear();
  std::vector<char> answer;
  CZuError err = db->makeReq(request, body.writer, &answer);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't enumerate all Boot VM for %s", what.c_str());
  err = decodeBootVMs(answer, vms);
  if (err.IsError()) err.Push(FXLOC);
  return err;
}

}  // namespace

CZuError BlrDB::getBootVMsForPair(int pairId, std::list<BootVM>* vms) {
  return listBootVMs(this, blrdb_req::name(BlrDBReq::kGetBootVmsForPair), BLRDB_TAG_PAIR_ID, pairId,
                     "pair " + std::to_string(pairId), vms);
}

CZuError BlrDB::getBootVMsForTail(int tailClientId, std::list<BootVM>* vms) {
  return listBootVMs(this, blrdb_req::name(BlrDBReq::kGetBootVmsForTail), BLRDB_TAG_TAIL_CLIENT_ID, tailClientId,
                     "tailClientId " + std::to_string(tailClientId), vms);
}

CZuError BlrDB::delBootVM(int bootVmId) {
  Body body(1024);
  body.writer.writeNumTag(BLRDB_TAG_BOOT_VM_ID, bootVmId);
  CZuError err = makeReq(blrdb_req::name(BlrDBReq::kDelBootVm), body.writer, nullptr);
  if (err.IsError()) err.Push(FXLOC, "Couldn't delete Boot VM with ID %d", bootVmId);
  return err;
}

// Encoding of the pair database records.
#include <cstdlib>
#include <tuple>

#include "BLR/BlrDB.h"
#include "BLR/BlrPairCodes.h"
#include "BLR/BlrUtils.h"
#include "records/BlrDBTags.h"

namespace {

std::string textOrEmpty(const char* text) { return text ? std::string(text) : std::string(); }

// The two source and destination kinds the system knows; anything else is none.
int32_t knownKind(int32_t kind) { return kind == 1 || kind == 2 ? kind : 0; }

unsigned long byteCount(int size) { return size > 0 ? static_cast<unsigned long>(size) : 0; }

template <class Record>
void writeContainer(DwEbmlWriter& writer, int tag, const Record& record) {
  writer.openContTag(tag, BLRDB_RECORD_BOUND);
  record.serialize(writer);
  writer.closeContTag();
}

// Decodes one nested record from an element's payload and appends it; one
// that fails is not kept.  Decoded in place: a record is costly to move.
template <class Record, class List>
CZuError appendNested(DwEbmlParser& parser, int size, List& list) {
  list.emplace_back();
  CZuError err = list.back().unserialize(parser.getPos(), size);
  if (err.IsError()) list.pop_back();
  return err;
}

}  // namespace

// ---- Disk ----

void BlrDB::Disk::clear() {
  id = 0;
  srcPath.clear();
  dstPath.clear();
  srcGuid.clear();
  dstGuid.clear();
  statusCode = 0;
  statusMessage.clear();
}

void BlrDB::Disk::serialize(DwEbmlWriter& writer) const {
  writer.writeNumTag(BLRDB_TAG_ID, id);
  writer.writeStrTag(BLRDB_TAG_SRC_PATH, srcPath);
  writer.writeStrTag(BLRDB_TAG_DST_PATH, dstPath);
  writer.writeUUIDTag(BLRDB_TAG_SRC_GUID, srcGuid.data());
  writer.writeUUIDTag(BLRDB_TAG_DST_GUID, dstGuid.data());
  writer.writeNumTag(BLRDB_TAG_STATUS_CODE, statusCode);
  writer.writeStrTag(BLRDB_TAG_STATUS_MESSAGE, statusMessage);
}

CZuError BlrDB::Disk::unserialize(const void* data, int size) {
  int32_t newId = 0, newStatusCode = 0;
  const char *newSrcPath = nullptr, *newDstPath = nullptr, *newStatusMessage = nullptr;
  BlrUUID newSrcGuid, newDstGuid;
  DwEbmlParser parser(data, byteCount(size));
  CZuError err = parser.parseMsg(
      BLRDB_TAG_ID, DW_EBML_VAR_INT32, &newId, BLRDB_TAG_SRC_PATH, DW_EBML_VAR_STR, &newSrcPath,
      BLRDB_TAG_DST_PATH, DW_EBML_VAR_STR, &newDstPath, BLRDB_TAG_SRC_GUID, DW_EBML_VAR_UUID,
      newSrcGuid.data(), BLRDB_TAG_DST_GUID, DW_EBML_VAR_UUID, newDstGuid.data(),
      BLRDB_TAG_STATUS_CODE, DW_EBML_VAR_INT32, &newStatusCode, BLRDB_TAG_STATUS_MESSAGE,
      DW_EBML_VAR_STR, &newStatusMessage, 0);
  if (err.IsError()) return err.Push(FXLOC);
  id = newId;
  srcPath = textOrEmpty(newSrcPath);
  dstPath = textOrEmpty(newDstPath);
  srcGuid = newSrcGuid;
  dstGuid = newDstGuid;
  statusCode = newStatusCode;
  statusMessage = textOrEmpty(newStatusMessage);
  return CZuError();
}

BlrDB::Disk BlrDB::Disk::reverse() const {
  Disk reversed;
  reversed.srcPath = dstPath;
  reversed.dstPath = srcPath;
  reversed.srcGuid = dstGuid;
  reversed.dstGuid = srcGuid;
  return reversed;
}

bool BlrDB::Disk::operator==(const Disk& o) const {
  return std::tie(id, srcPath, dstPath, srcGuid, dstGuid, statusCode, statusMessage) ==
         std::tie(o.id, o.srcPath, o.dstPath, o.srcGuid, o.dstGuid, o.statusCode,
                  o.statusMessage);
}

// ---- Pair ----

void BlrDB::Pair::clear() {
  id = 0;
  subClientId = 0;
  dstClientId = 0;
  headClientId = 0;
  tailClientId = 0;
  srcType = 0;
  dstType = 0;
  srcName.clear();
  dstName.clear();
  srcGuid.clear();
  dstGuid.clear();
  statusCode = -1;
  pendingStatusCode = -1;
  eventId = -1;
  rpStoreId = -1;
  lagTime = -1;
  flags = -1;
  statusMessage.clear();
  disks.clear();
}

void BlrDB::Pair::serialize(DwEbmlWriter& writer) const {
  writer.writeNumTag(BLRDB_TAG_ID, id);
  writer.writeNumTag(BLRDB_TAG_SUB_CLIENT_ID, subClientId);
  writer.writeNumTag(BLRDB_TAG_DST_CLIENT_ID, dstClientId);
  writer.writeNumTag(BLRDB_TAG_HEAD_CLIENT_ID, headClientId);
  writer.writeNumTag(BLRDB_TAG_TAIL_CLIENT_ID, tailClientId);
  writer.writeNumTag(BLRDB_TAG_SRC_TYPE, srcType);
  writer.writeNumTag(BLRDB_TAG_DST_TYPE, dstType);
  writer.writeStrTag(BLRDB_TAG_SRC_NAME, srcName);
  writer.writeStrTag(BLRDB_TAG_DST_NAME, dstName);
  writer.writeUUIDTag(BLRDB_TAG_SRC_GUID, srcGuid.data());
  writer.writeUUIDTag(BLRDB_TAG_DST_GUID, dstGuid.data());
  writer.writeNumTag(BLRDB_TAG_STATUS_CODE, statusCode);
  writer.writeNumTag(BLRDB_TAG_PENDING_STATUS_CODE, pendingStatusCode);
  writer.writeStrTag(BLRDB_TAG_STATUS_MESSAGE, statusMessage);
  writer.writeNumTag(BLRDB_TAG_EVENT_ID, eventId);
  writer.writeNumTag(BLRDB_TAG_RP_STORE_ID, rpStoreId);
  writer.writeNumTag(BLRDB_TAG_LAG_TIME, lagTime);
  writer.writeNumTag(BLRDB_TAG_FLAGS, flags);
  for (const Disk& disk : disks) writeContainer(writer, BLRDB_TAG_DISK, disk);
  writer.writeStrTag(BLRDB_TAG_TAIL_HOST_NAME, tailHostName);
}

const char* BlrDB::Pair::missingField(int* disk) const {
  if (disk) *disk = -1;
  if (subClientId == 0) return "subClientId";
  if (dstClientId == 0) return "dstClientId";
  if (headClientId == 0) return "headClientId";
  if (tailClientId == 0) return "tailClientId";
  if (srcName.empty()) return "srcName";
  if (srcGuid.empty()) return "srcGuid";
  if (disks.empty()) return "disks";
  int index = 0;
  for (const Disk& d : disks) {
    const char* field = d.srcPath.empty() ? "srcPath" : d.srcGuid.empty() ? "srcGuid" : nullptr;
    if (field != nullptr) {
      if (disk) *disk = index;
      return field;
    }
    ++index;
  }
  return nullptr;
}

CZuError BlrDB::Pair::unserialize(const void* data, int size) {
  clear();
  CZuError err = dwEbmlForEachElement(data, size, [this](DwEbmlParser& p, int tag, int len) {
    int32_t* number = nullptr;
    std::string* text = nullptr;
    BlrUUID* uuid = nullptr;
    switch (tag) {
      case BLRDB_TAG_ID: number = &id; break;
      case BLRDB_TAG_SUB_CLIENT_ID: number = &subClientId; break;
      case BLRDB_TAG_DST_CLIENT_ID: number = &dstClientId; break;
      case BLRDB_TAG_HEAD_CLIENT_ID: number = &headClientId; break;
      case BLRDB_TAG_TAIL_CLIENT_ID: number = &tailClientId; break;
      case BLRDB_TAG_STATUS_CODE: number = &statusCode; break;
      case BLRDB_TAG_PENDING_STATUS_CODE: number = &pendingStatusCode; break;
      case BLRDB_TAG_EVENT_ID: number = &eventId; break;
      case BLRDB_TAG_RP_STORE_ID: number = &rpStoreId; break;
      case BLRDB_TAG_LAG_TIME: number = &lagTime; break;
      case BLRDB_TAG_FLAGS: number = &flags; break;
      case BLRDB_TAG_SRC_TYPE:
      case BLRDB_TAG_DST_TYPE: {
        int32_t kind = 0;  // unreadable payload: none
        p.getNumPayload(len, &kind);
        (tag == BLRDB_TAG_SRC_TYPE ? srcType : dstType) = kind;
        break;
      }
      case BLRDB_TAG_SRC_NAME: text = &srcName; break;
      case BLRDB_TAG_DST_NAME: text = &dstName; break;
      case BLRDB_TAG_STATUS_MESSAGE: text = &statusMessage; break;
      case BLRDB_TAG_TAIL_HOST_NAME: text = &tailHostName; break;
      case BLRDB_TAG_SRC_GUID: uuid = &srcGuid; break;
      case BLRDB_TAG_DST_GUID: uuid = &dstGuid; break;
      case BLRDB_TAG_DISK: return appendNested<Disk>(p, len, disks);
    }
    // Scalar payloads that can't be read leave their field as it was.
    if (number) p.getNumPayload(len, number);
    if (text) p.getStrPayload(len, text);
    if (uuid) p.getUUIDPayload(len, uuid->data());
    return CZuError();
  });
  if (err.IsError()) err.Push(FXLOC);
  return err;
}

BlrDB::Pair BlrDB::Pair::reverse() const {
  Pair reversed;
  reversed.flags = BlrPairCodes::REVERSE;
  reversed.subClientId = subClientId;
  reversed.dstClientId = headClientId;
  reversed.headClientId = tailClientId;
  reversed.tailClientId = headClientId;
  reversed.srcType = knownKind(dstType);
  reversed.dstType = knownKind(srcType);
  reversed.srcName = dstName;
  reversed.dstName = srcName;
  reversed.srcGuid = dstGuid;
  reversed.dstGuid = srcGuid;
  for (const Disk& disk : disks) reversed.disks.push_back(disk.reverse());
  return reversed;
}

bool BlrDB::Pair::operator==(const Pair& o) const {
  return std::tie(id, subClientId, dstClientId, headClientId, tailClientId, srcType, dstType,
                  srcName, dstName, srcGuid, dstGuid, statusCode, pendingStatusCode, eventId,
                  rpStoreId, lagTime, flags, statusMessage, disks, tailHostName) ==
         std::tie(o.id, o.subClientId, o.dstClientId, o.headClientId, o.tailClientId, o.srcType,
                  o.dstType, o.srcName, o.dstName, o.srcGuid, o.dstGuid, o.statusCode,
                  o.pendingStatusCode, o.eventId, o.rpStoreId, o.lagTime, o.flags,
                  o.statusMessage, o.disks, o.tailHostName);
}

// ---- PairList ----

void BlrDB::PairList::serialize(DwEbmlWriter& writer) const {
  for (const Pair& pair : *this) appendPair(pair, writer);
}

CZuError BlrDB::PairList::unserialize(const void* data, int size) {
  clear();
  CZuError err = dwEbmlForEachElement(data, size, [this](DwEbmlParser& p, int tag, int len) {
    return tag == BLRDB_TAG_PAIR ? appendNested<Pair>(p, len, *this) : CZuError();
  });
  if (err.IsError()) err.Push(FXLOC);
  return err;
}

std::vector<char> BlrDB::encodePairs(const std::list<Pair>& pairs) {
  DwEbmlBuffer buffer(1024);
  DwEbmlWriter writer(buffer, 0);
  for (const Pair& pair : pairs) appendPair(pair, writer);  // as PairList::serialize, without a copy
  return writer.getBlob();
}

void BlrDB::appendPair(const Pair& pair, DwEbmlWriter& writer) { writeContainer(writer, BLRDB_TAG_PAIR, pair); }

CZuError BlrDB::decodePairs(const std::vector<char>& bytes, std::list<Pair>* pairs) {
  PairList decoded;
  CZuError err = decoded.unserialize(bytes.data(), static_cast<int>(bytes.size()));
  if (err.IsError()) return err.Push(FXLOC);
  pairs->swap(decoded);
  return CZuError();
}

// ---- PairStats ----

void BlrDB::PairStats::clear() {
  repDataDeltaActual = 0;
  repDataDeltaComp = 0;
  ioDelta = 0;
  iopsDelta = 0;
  repSetSize = 0;
  sizeInRpStore = 0;
  timeStamp = 0;
  retention = 0;
  pairId = 0;
}

void BlrDB::PairStats::serialize(DwEbmlWriter& writer) const {
  writer.writeNumTag(BLRDB_TAG_REP_DATA_DELTA_ACTUAL, repDataDeltaActual);
  writer.writeNumTag(BLRDB_TAG_REP_DATA_DELTA_COMP, repDataDeltaComp);
  writer.writeNumTag(BLRDB_TAG_IO_DELTA, ioDelta);
  writer.writeNumTag(BLRDB_TAG_IOPS_DELTA, iopsDelta);
  writer.writeNumTag(BLRDB_TAG_REP_SET_SIZE, repSetSize);
  writer.writeNumTag(BLRDB_TAG_SIZE_IN_RP_STORE, sizeInRpStore);
  writer.writeNumTag(BLRDB_TAG_TIME_STAMP, timeStamp);
  writer.writeNumTag(BLRDB_TAG_RETENTION, retention);
  writer.writeNumTag(BLRDB_TAG_PAIR_ID, pairId);
}

CZuError BlrDB::PairStats::unserialize(const void* data, int size) {
  clear();
  return dwEbmlForEachElement(data, size, [this](DwEbmlParser& p, int tag, int len) {
    int64_t* wide = nullptr;
    int32_t* number = nullptr;
    switch (tag) {
      case BLRDB_TAG_REP_DATA_DELTA_ACTUAL: wide = &repDataDeltaActual; break;
      case BLRDB_TAG_REP_DATA_DELTA_COMP: wide = &repDataDeltaComp; break;
      case BLRDB_TAG_IO_DELTA: wide = &ioDelta; break;
      case BLRDB_TAG_IOPS_DELTA: wide = &iopsDelta; break;
      case BLRDB_TAG_REP_SET_SIZE: wide = &repSetSize; break;
      case BLRDB_TAG_SIZE_IN_RP_STORE: wide = &sizeInRpStore; break;
      case BLRDB_TAG_TIME_STAMP: {
        int64_t stamp = 0;
        p.getNumPayload(len, &stamp);
        timeStamp = stamp;
        break;
      }
      case BLRDB_TAG_RETENTION: number = &retention; break;
      case BLRDB_TAG_PAIR_ID: number = &pairId; break;
    }
    if (wide) p.getNumPayload(len, wide);
    if (number) p.getNumPayload(len, number);
    return CZuError();
  });
}

bool BlrDB::PairStats::operator==(const PairStats& o) const {
  return std::tie(repDataDeltaActual, repDataDeltaComp, ioDelta, iopsDelta, repSetSize,
                  sizeInRpStore, timeStamp, retention, pairId) ==
         std::tie(o.repDataDeltaActual, o.repDataDeltaComp, o.ioDelta, o.iopsDelta, o.repSetSize,
                  o.sizeInRpStore, o.timeStamp, o.retention, o.pairId);
}

// ---- PairProps ----

const char* const BlrDB::PairProps::CUR_ANCHOR_TIME = "curAnchorTime";
const char* const BlrDB::PairProps::USER_START_TIME = "userStartTime";
const char* const BlrDB::PairProps::RECOVERY_MODE = "recoveryMode";
const char* const BlrDB::PairProps::CCRP_INTERVAL = "ccrpInterval";
const char* const BlrDB::PairProps::ACRP_INTERVAL = "acrpInterval";
const char* const BlrDB::PairProps::MAX_RP_INTERVAL = "maxRpInterval";
const char* const BlrDB::PairProps::RP_MERGE_DELAY = "rpMergeDelay";
const char* const BlrDB::PairProps::RP_RETENTION = "rpRetention";
const char* const BlrDB::PairProps::MAX_RPSTORE_OFFLINE_TIME = "maxRpStoreOfflineTime";
const char* const BlrDB::PairProps::USE_OFFPEAK_SCHEDULE = "useOffPeakSchedule";
const char* const BlrDB::PairProps::ORIG_PAIR_ID = "origPairId";

BlrDB::PairProps::PairProps()
    : curAnchorTime(0),
      userStartTime(0),
      recoveryMode(1),
      ccrpInterval(15),
      acrpInterval(3600),
      maxRpInterval(21600),
      rpMergeDelay(43200),
      rpRetention(604800),
      maxRpStoreOfflineTime(900),
      useOffPeakSchedule(true) {}

namespace {

// The 32-bit fields of PairProps with their property names.
struct IntProp {
  const char* name;
  int32_t BlrDB::PairProps::*field;
};

const IntProp kIntProps[] = {
    {BlrDB::PairProps::RECOVERY_MODE, &BlrDB::PairProps::recoveryMode},
    {BlrDB::PairProps::CCRP_INTERVAL, &BlrDB::PairProps::ccrpInterval},
    {BlrDB::PairProps::ACRP_INTERVAL, &BlrDB::PairProps::acrpInterval},
    {BlrDB::PairProps::MAX_RP_INTERVAL, &BlrDB::PairProps::maxRpInterval},
    {BlrDB::PairProps::RP_MERGE_DELAY, &BlrDB::PairProps::rpMergeDelay},
    {BlrDB::PairProps::RP_RETENTION, &BlrDB::PairProps::rpRetention},
    {BlrDB::PairProps::MAX_RPSTORE_OFFLINE_TIME, &BlrDB::PairProps::maxRpStoreOfflineTime},
};

// The C library's atoi/atoll: leading blanks and a sign accepted, 0 without
// digits.  strtol keeps out-of-range text defined.
int32_t textToInt(const std::string& text) {
  return static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
}
int64_t textToLong(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

}  // namespace

std::map<std::string, std::string> BlrDB::PairProps::toMap() const {
  std::map<std::string, std::string> map;
  map[CUR_ANCHOR_TIME] = std::to_string(curAnchorTime);
  map[USER_START_TIME] = std::to_string(userStartTime);
  for (const IntProp& prop : kIntProps) map[prop.name] = std::to_string(this->*prop.field);
  map[USE_OFFPEAK_SCHEDULE] = useOffPeakSchedule ? "1" : "0";
  return map;
}

void BlrDB::PairProps::fromMap(const std::map<std::string, std::string>& map) {
  *this = PairProps();
  auto it = map.find(CUR_ANCHOR_TIME);
  if (it != map.end()) curAnchorTime = textToLong(it->second);
  it = map.find(USER_START_TIME);
  if (it != map.end()) userStartTime = textToLong(it->second);
  for (const IntProp& prop : kIntProps) {
    it = map.find(prop.name);
    if (it != map.end()) this->*prop.field = textToInt(it->second);
  }
  it = map.find(USE_OFFPEAK_SCHEDULE);
  if (it != map.end()) useOffPeakSchedule = textToInt(it->second) != 0;
}

// ---- BlrPairPropMap ----

void BlrPairPropMap::serialize(DwEbmlWriter& writer) const {
  for (const auto& entry : *this) {
    writer.writeStrTag(BLRDB_TAG_PROP_NAME, entry.first);
    writer.writeStrTag(BLRDB_TAG_PROP_VALUE, entry.second);
  }
}

CZuError BlrPairPropMap::unserialize(const void* data, int size) {
  clear();
  std::string name;
  return dwEbmlForEachElement(data, size, [this, &name](DwEbmlParser& p, int tag, int len) {
    if (tag == BLRDB_TAG_PROP_NAME) p.getStrPayload(len, &name);
    std::string value;
    if (tag == BLRDB_TAG_PROP_VALUE && !p.getStrPayload(len, &value).IsError()) {
      (*this)[name] = std::move(value);
    }
    return CZuError();
  });
}

// ---- BootDisk ----

void BlrDB::BootDisk::clear() {
  id = 0;
  origDiskId = 0;
  bootVmId = 0;
  uuid.clear();
  path.clear();
  snapId.clear();
}

void BlrDB::BootDisk::serialize(DwEbmlWriter& writer) const {
  writer.writeNumTag(BLRDB_TAG_ID, id);
  writer.writeNumTag(BLRDB_TAG_ORIG_DISK_ID, origDiskId);
  writer.writeNumTag(BLRDB_TAG_BOOT_VM_ID, bootVmId);
  writer.writeUUIDTag(BLRDB_TAG_UUID, uuid.data());
  writer.writeStrTag(BLRDB_TAG_PATH, path);
  writer.writeStrTag(BLRDB_TAG_SNAP_ID, snapId);
}

CZuError BlrDB::BootDisk::unserialize(const void* data, int size) {
  int32_t newId = 0, newOrigDiskId = 0, newBootVmId = 0;
  BlrUUID newUuid;
  const char *newPath = nullptr, *newSnapId = nullptr;
  DwEbmlParser parser(data, byteCount(size));
  CZuError err = parser.parseMsg(
      BLRDB_TAG_ID, DW_EBML_VAR_INT32, &newId, BLRDB_TAG_ORIG_DISK_ID, DW_EBML_VAR_INT32,
      &newOrigDiskId, BLRDB_TAG_BOOT_VM_ID, DW_EBML_VAR_INT32, &newBootVmId, BLRDB_TAG_UUID,
      DW_EBML_VAR_UUID, newUuid.data(), BLRDB_TAG_PATH, DW_EBML_VAR_STR, &newPath,
      BLRDB_TAG_SNAP_ID, DW_EBML_VAR_STR, &newSnapId, 0);
  if (err.IsError()) return err.Push(FXLOC);
  id = newId;
  origDiskId = newOrigDiskId;
  bootVmId = newBootVmId;
  uuid = newUuid;
  path = textOrEmpty(newPath);
  snapId = textOrEmpty(newSnapId);
  return CZuError();
}

bool BlrDB::BootDisk::operator==(const BootDisk& o) const {
  return std::tie(id, origDiskId, bootVmId, uuid, path, snapId) ==
         std::tie(o.id, o.origDiskId, o.bootVmId, o.uuid, o.path, o.snapId);
}

// ---- BootVM ----

void BlrDB::BootVM::clear() {
  id = 0;
  bootType = 0;
  pairId = 0;
  name.clear();
  uuid.clear();
  creationTime = 0;
  deletionTime = 0;
  bestBefore = 0;
  seqNum = 0;
  statusCode = 0;
  statusMessage.clear();
  eventId = 0;
  jobId = 0;
  disks.clear();
}

void BlrDB::BootVM::serialize(DwEbmlWriter& writer) const {
  writer.writeNumTag(BLRDB_TAG_ID, id);
  writer.writeNumTag(BLRDB_TAG_BOOT_TYPE, bootType);
  writer.writeNumTag(BLRDB_TAG_PAIR_ID, pairId);
  writer.writeStrTag(BLRDB_TAG_NAME, name);
  writer.writeUUIDTag(BLRDB_TAG_UUID, uuid.data());
  writer.writeNumTag(BLRDB_TAG_CREATION_TIME, static_cast<unsigned long>(creationTime));
  writer.writeNumTag(BLRDB_TAG_DELETION_TIME, static_cast<unsigned long>(deletionTime));
  writer.writeNumTag(BLRDB_TAG_BEST_BEFORE, static_cast<unsigned long>(bestBefore));
  writer.writeNumTag(BLRDB_TAG_SEQ_NUM, static_cast<unsigned long>(seqNum));
  writer.writeNumTag(BLRDB_TAG_STATUS_CODE, statusCode);
  writer.writeStrTag(BLRDB_TAG_STATUS_MESSAGE, statusMessage);
  writer.writeNumTag(BLRDB_TAG_EVENT_ID, eventId);
  writer.writeNumTag(BLRDB_TAG_JOB_ID, static_cast<unsigned long>(jobId));
  for (const BootDisk& disk : disks) writeContainer(writer, BLRDB_TAG_BOOT_DISK, disk);
}

CZuError BlrDB::BootVM::unserialize(const void* data, int size) {
  clear();
  CZuError err = dwEbmlForEachElement(data, size, [this](DwEbmlParser& p, int tag, int len) {
    int32_t* number = nullptr;
    uint64_t* wide = nullptr;
    std::string* text = nullptr;
    switch (tag) {
      case BLRDB_TAG_ID: number = &id; break;
      case BLRDB_TAG_BOOT_TYPE: number = &bootType; break;
      case BLRDB_TAG_PAIR_ID: number = &pairId; break;
      case BLRDB_TAG_STATUS_CODE: number = &statusCode; break;
      case BLRDB_TAG_EVENT_ID: number = &eventId; break;
      case BLRDB_TAG_NAME: text = &name; break;
      case BLRDB_TAG_STATUS_MESSAGE: text = &statusMessage; break;
      case BLRDB_TAG_UUID: p.getUUIDPayload(len, uuid.data()); break;
      case BLRDB_TAG_CREATION_TIME:
      case BLRDB_TAG_DELETION_TIME:
      case BLRDB_TAG_BEST_BEFORE: {
        uint64_t stamp = 0;  // unreadable payload: 0
        p.getNumPayload(len, &stamp);
        (tag == BLRDB_TAG_CREATION_TIME   ? creationTime
         : tag == BLRDB_TAG_DELETION_TIME ? deletionTime
                                          : bestBefore) = stamp;
        break;
      }
      case BLRDB_TAG_SEQ_NUM: wide = &seqNum; break;
      case BLRDB_TAG_JOB_ID: wide = &jobId; break;
      case BLRDB_TAG_BOOT_DISK: return appendNested<BootDisk>(p, len, disks);
    }
    if (number) p.getNumPayload(len, number);
    if (wide) p.getNumPayload(len, wide);
    if (text) p.getStrPayload(len, text);
    return CZuError();
  });
  if (err.IsError()) err.Push(FXLOC);
  return err;
}

bool BlrDB::BootVM::operator==(const BootVM& o) const {
  return std::tie(id, bootType, pairId, name, uuid, creationTime, deletionTime, bestBefore, seqNum,
                  statusCode, statusMessage, eventId, jobId, disks) ==
         std::tie(o.id, o.bootType, o.pairId, o.name, o.uuid, o.creationTime, o.deletionTime,
                  o.bestBefore, o.seqNum, o.statusCode, o.statusMessage, o.eventId, o.jobId,
                  o.disks);
}

// ---- Blob helpers ----

void blrSetBlob(std::map<std::string, std::string>& map, const void* data, int size) {
  map["blob"] = BlrUtils::bin2str(data, size > 0 ? size : 0);
}

void blrSetBlob(std::map<std::string, std::string>& map, const std::vector<char>& bytes) {
  blrSetBlob(map, bytes.data(), static_cast<int>(bytes.size()));
}

std::vector<char> blrGetBlob(const std::map<std::string, std::string>& map) {
  auto it = map.find("blob");
  if (it == map.end()) return std::vector<char>();
  std::vector<char> bytes(it->second.size() / 2);
  BlrUtils::str2bin(it->second, bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

namespace {

bool isHexDigit(unsigned char c) {
  return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}

}  // namespace

CZuError blrReadBlob(const std::map<std::string, std::string>& map, std::vector<char>* bytes) {
  auto it = map.find("blob");
  if (it == map.end()) {
    bytes->clear();
    return CZuError();
  }
  const std::string& hex = it->second;
  if (hex.size() % 2 != 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "The \"blob\" has an odd length (%zu)", hex.size());
  // One comparison per byte: find_first_not_of would search the digit set
  // for each, and every request pays this.
  size_t bad = 0;
  while (bad < hex.size() && isHexDigit(static_cast<unsigned char>(hex[bad]))) ++bad;
  if (bad < hex.size())
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "The \"blob\" holds a byte 0x%02x at offset %zu that is not a "
                                 "hexadecimal digit",
                                 static_cast<unsigned char>(hex[bad]), bad);
  std::vector<char> out(hex.size() / 2);
  CZuError err = BlrUtils::str2bin(hex, out.data(), static_cast<int>(out.size()));
  if (err.IsError()) return err.Push(FXLOC);
  bytes->swap(out);
  return CZuError();
}

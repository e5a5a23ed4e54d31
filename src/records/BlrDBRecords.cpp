// Encoding of the pair database records: what is special to each beyond its
// table of fields (BlrDBFields.h).
#include <cstdlib>
#include <tuple>

#include "BLR/BlrDB.h"
#include "BLR/BlrPairCodes.h"
#include "BLR/BlrUtils.h"
#include "records/BlrDBTags.h"
#include "records/BlrDBFields.h"

namespace {

// The two source and destination kinds the system knows; anything else is none.
int32_t knownKind(int32_t kind) { return kind == 1 || kind == 2 ? kind : 0; }

// Successes pass untouched: pushing a frame is a call, and decoding is hot.
CZuError pushed(CZuError err) {
  if (err.IsError()) err.Push(FXLOC);
  return err;
}

}  // namespace

using blr_fields::firstMissing;

// ---- Disk ----

BLR_RECORD_BY_TABLE(BlrDB::Disk)

// Paths and identifiers change sides; id and status are the new disk's own.
BlrDB::Disk BlrDB::Disk::reverse() const {
  Disk reversed;
  std::tie(reversed.srcPath, reversed.dstPath, reversed.srcGuid, reversed.dstGuid) =
      std::tie(dstPath, srcPath, dstGuid, srcGuid);
  return reversed;
}

// ---- Pair ----

BLR_RECORD_BY_TABLE(BlrDB::Pair)

const char* BlrDB::Pair::missingField(int* disk) const {
  if (disk) *disk = -1;
  if (const auto* field = firstMissing(*this)) return field->name;
  int index = 0;
  for (const Disk& d : disks) {
    if (const auto* field = firstMissing(d)) {
      if (disk) *disk = index;
      return field->name;
    }
    ++index;
  }
  return nullptr;
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

// ---- PairList ----

void BlrDB::PairList::serialize(DwEbmlWriter& writer) const {
  for (const Pair& pair : *this) appendPair(pair, writer);
}

CZuError BlrDB::PairList::unserialize(const void* data, int size) {
  clear();
  return pushed(blr_fields::decodeContainers(data, size, BLRDB_TAG_PAIR, *this));
}

std::vector<char> BlrDB::encodePairs(const std::list<Pair>& pairs) {
  return blr_fields::encodeList(BLRDB_TAG_PAIR, pairs);  // as PairList::serialize, without a copy
}

void BlrDB::appendPair(const Pair& pair, DwEbmlWriter& writer) {
  blr_fields::writeContainer(writer, BLRDB_TAG_PAIR, pair);
}

CZuError BlrDB::decodePairs(const std::vector<char>& bytes, std::list<Pair>* pairs) {
  PairList decoded;
  CZuError err = decoded.unserialize(bytes.data(), static_cast<int>(bytes.size()));
  if (err.IsError()) return err.Push(FXLOC);
  pairs->swap(decoded);
  return CZuError();
}

// ---- PairStats ----

BLR_RECORD_BY_TABLE(BlrDB::PairStats)

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

BLR_RECORD_BY_TABLE(BlrDB::BootDisk)

// ---- BootVM ----

BLR_RECORD_BY_TABLE(BlrDB::BootVM)

// ---- Text checks ----

CZuError blrCheckTexts(const BlrDB::Disk& disk) { return blr_fields::checkTexts(disk); }
CZuError blrCheckTexts(const BlrDB::Pair& pair) { return blr_fields::checkTexts(pair); }
CZuError blrCheckTexts(const BlrDB::BootVM& vm) { return blr_fields::checkTexts(vm); }

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

#include "output/CliRecords.h"

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <set>

#include "BLR/BlrUtils.h"
#include "output/CliJson.h"

namespace {

const char kHexPrefix[] = "hex:";

std::string uuidText(const BlrUUID& id) { return id.empty() ? std::string() : id.toString(); }

Json diskToJson(const BlrDB::Disk& d) {
  return Json{{"id", d.id},
              {"srcPath", cliTextJson(d.srcPath)},
              {"dstPath", cliTextJson(d.dstPath)},
              {"srcGuid", uuidText(d.srcGuid)},
              {"dstGuid", uuidText(d.dstGuid)},
              {"statusCode", d.statusCode},
              {"statusMessage", cliTextJson(d.statusMessage)}};
}

CZuError diskFromJson(const Json& value, size_t index, BlrDB::Disk* disk) {
  JsonFields f(value, "disk " + std::to_string(index + 1));
  f.integer("id", &disk->id);
  f.text("srcPath", &disk->srcPath);
  f.text("dstPath", &disk->dstPath);
  f.uuid("srcGuid", &disk->srcGuid);
  f.uuid("dstGuid", &disk->dstGuid);
  f.integer("statusCode", &disk->statusCode);
  f.text("statusMessage", &disk->statusMessage);
  return f.finish();
}

}  // namespace

std::string cliTextJson(const std::string& text) {
  if (cliIsUtf8(text) && text.compare(0, 4, kHexPrefix) != 0) return text;
  return kHexPrefix + BlrUtils::bin2str(text.data(), static_cast<int>(text.size()));
}

CZuError cliTextFromJson(const std::string& field, const std::string& json, std::string* text) {
  std::string bytes = json;
  if (json.compare(0, 4, kHexPrefix) == 0) {
    const std::string hex = json.substr(4);
    bytes.assign(hex.size() / 2, '\0');
    if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos ||
        BlrUtils::str2bin(hex, &bytes[0], static_cast<int>(bytes.size())).IsError())
      return FXErrorUtil::ErrorInt(FXLOC, 1, "%s: \"hex:\" must be followed by pairs of hex digits",
                                   field.c_str());
  }
  size_t nul = bytes.find('\0');
  if (nul != std::string::npos)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "%s holds a NUL byte at offset %zu", field.c_str(), nul);
  *text = bytes;
  return CZuError();
}

Json cliTextMapJson(const std::map<std::string, std::string>& map) {
  Json out = Json::object();
  for (const auto& kv : map) out[cliTextJson(kv.first)] = cliTextJson(kv.second);
  return out;
}

std::string pairStatusName(int code) {
  const BlrPairStatusRow* row = blrPairStatusRow(code);
  return row != nullptr ? row->name : "";
}

std::string pairStatusText(int code) {
  std::string name = pairStatusName(code);
  return name.empty() ? std::to_string(code) : std::to_string(code) + " " + name;
}

std::vector<std::string> pairFlagNames(int flags) {
  std::vector<std::string> names;
  unsigned rest = static_cast<unsigned>(flags);
  for (const BlrPairFlagRow& f : kBlrPairFlagRows)
    if (flags & f.bit) {
      names.push_back(f.name);
      rest &= ~static_cast<unsigned>(f.bit);
    }
  for (unsigned bit = 1; rest != 0 && bit != 0; bit <<= 1)
    if (rest & bit) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%x", bit);
      names.push_back(hex);
      rest &= ~bit;
    }
  return names;
}

CZuError parsePairFlags(const std::string& text, int* flags) {
  int bits = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = std::min(text.find(',', start), text.size());
    std::string item = text.substr(start, comma - start);
    start = comma + 1;
    std::string upper = item;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    auto named = std::find_if(std::begin(kBlrPairFlagRows), std::end(kBlrPairFlagRows),
                              [&](const BlrPairFlagRow& f) { return upper == f.name; });
    if (named != std::end(kBlrPairFlagRows)) {
      bits |= named->bit;
      continue;
    }
    char* end = nullptr;
    long long n = item.empty() ? -1 : std::strtoll(item.c_str(), &end, 0);
    if (item.empty() || *end != '\0' || n <= 0 || n > INT32_MAX)
      return FXErrorUtil::ErrorInt(FXLOC, 1,
                                   "\"%s\" is not a flag (FAILOVER, HIDDEN, REVERSE or a number)",
                                   item.c_str());
    bits |= static_cast<int>(n);
  }
  *flags = bits;
  return CZuError();
}

std::string timeText(uint64_t secs) {
  if (secs == 0) return "-";
  time_t t = static_cast<time_t>(secs);
  struct tm utc;
  char text[40];
  if (secs > static_cast<uint64_t>(INT64_MAX) || gmtime_r(&t, &utc) == nullptr)
    return std::to_string(secs);
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

std::string renderFields(const std::vector<std::pair<std::string, std::string>>& fields) {
  size_t width = 0;
  for (const auto& f : fields) width = std::max(width, f.first.size());
  std::string out;
  for (const auto& f : fields)
    out += f.first + ":" + std::string(width - f.first.size() + 1, ' ') +
           cliTerminalText(f.second) + "\n";
  return out;
}

Json pairToJson(const BlrDB::Pair& p) {
  Json disks = Json::array();
  for (const BlrDB::Disk& d : p.disks) disks.push_back(diskToJson(d));
  return Json{{"id", p.id},
              {"subClientId", p.subClientId},
              {"dstClientId", p.dstClientId},
              {"headClientId", p.headClientId},
              {"tailClientId", p.tailClientId},
              {"srcType", p.srcType},
              {"dstType", p.dstType},
              {"srcName", cliTextJson(p.srcName)},
              {"dstName", cliTextJson(p.dstName)},
              {"srcGuid", uuidText(p.srcGuid)},
              {"dstGuid", uuidText(p.dstGuid)},
              {"statusCode", p.statusCode},
              {"status", pairStatusName(p.statusCode)},
              {"statusMessage", cliTextJson(p.statusMessage)},
              {"pendingStatusCode", p.pendingStatusCode},
              {"eventId", p.eventId},
              {"rpStoreId", p.rpStoreId},
              {"lagTime", p.lagTime},
              {"flags", p.flags},
              {"flagNames", pairFlagNames(p.flags)},
              {"tailHostName", cliTextJson(p.tailHostName)},
              {"disks", disks}};
}

CZuError pairFromJson(const Json& value, BlrDB::Pair* pair) {
  JsonFields f(value, "pair");
  f.integer("id", &pair->id);
  f.integer("subClientId", &pair->subClientId);
  f.integer("dstClientId", &pair->dstClientId);
  f.integer("headClientId", &pair->headClientId);
  f.integer("tailClientId", &pair->tailClientId);
  f.integer("srcType", &pair->srcType);
  f.integer("dstType", &pair->dstType);
  f.text("srcName", &pair->srcName);
  f.text("dstName", &pair->dstName);
  f.uuid("srcGuid", &pair->srcGuid);
  f.uuid("dstGuid", &pair->dstGuid);
  f.integer("statusCode", &pair->statusCode);
  f.text("statusMessage", &pair->statusMessage);
  f.integer("pendingStatusCode", &pair->pendingStatusCode);
  f.integer("eventId", &pair->eventId);
  f.integer("rpStoreId", &pair->rpStoreId);
  f.integer("lagTime", &pair->lagTime);
  f.integer("flags", &pair->flags);
  for (const char* shown : {"status", "flagNames", "tailHostName", "properties"}) f.skip(shown);
  const Json* disks = f.array("disks");
  CZuError err = f.finish();
  if (err.IsError() || disks == nullptr) return err;
  pair->disks.clear();
  for (size_t i = 0; i < disks->size(); ++i) {
    BlrDB::Disk disk;
    err = diskFromJson((*disks)[i], i, &disk);
    if (err.IsError()) return err;
    pair->disks.push_back(disk);
  }
  return CZuError();
}

Json bootVmToJson(const BlrDB::BootVM& vm) {
  Json disks = Json::array();
  for (const BlrDB::BootDisk& d : vm.disks)
    disks.push_back(Json{{"id", d.id},
                         {"origDiskId", d.origDiskId},
                         {"bootVmId", d.bootVmId},
                         {"uuid", uuidText(d.uuid)},
                         {"path", cliTextJson(d.path)},
                         {"snapId", cliTextJson(d.snapId)}});
  return Json{{"id", vm.id},
              {"bootType", vm.bootType},
              {"pairId", vm.pairId},
              {"name", cliTextJson(vm.name)},
              {"uuid", uuidText(vm.uuid)},
              {"creationTime", vm.creationTime},
              {"deletionTime", vm.deletionTime},
              {"bestBefore", vm.bestBefore},
              {"seqNum", vm.seqNum},
              {"statusCode", vm.statusCode},
              {"statusMessage", cliTextJson(vm.statusMessage)},
              {"eventId", vm.eventId},
              {"jobId", vm.jobId},
              {"disks", disks}};
}

#include "BLR/BlrMonConfig.h"

#include <tuple>

#include "BLR/BlrDebug.h"

namespace {

enum MonConfigTag {
  TAG_CONFIG_UUID = 4,
  TAG_DISK = 5,
  TAG_DISK_UUID = 6,
  TAG_DISK_ID = 7,
  TAG_DISK_PATH = 8,
  TAG_MAX_DRV_QUEUE_SIZE = 102,
  TAG_THROTTLE_WRITES = 137,
  TAG_ENABLE_CROSSCHECKS = 144,
  TAG_JOURNAL_COMPRESSION = 165,
};

// Room a disk container reserves beyond its path.
const int kDiskBoundSlack = 256;

const char* yesNo(bool value) { return value ? "YES" : "NO"; }

}  // namespace

void BlrMonConfig::Disk::serialize(DwEbmlWriter& writer) const {
  writer.writeStrTag(TAG_DISK_PATH, path);
  writer.writeUUIDTag(TAG_DISK_UUID, uuid.data());
  writer.writeNumTag(TAG_DISK_ID, static_cast<int>(id));
}

CZuError BlrMonConfig::Disk::unserialize(const void* data, int size) {
  const char* newPath = nullptr;
  BlrUUID newUuid;
  int32_t newId = 0;
  DwEbmlParser parser(data, size > 0 ? static_cast<unsigned long>(size) : 0);
  CZuError err = parser.parseMsg(TAG_DISK_PATH, DW_EBML_VAR_STR, &newPath, TAG_DISK_UUID,
                                 DW_EBML_VAR_UUID, newUuid.data(), TAG_DISK_ID, DW_EBML_VAR_INT32,
                                 &newId, 0);
  if (err.IsError()) return err.Push(FXLOC);
  path = newPath ? newPath : "";
  uuid = newUuid;
  id = static_cast<uint16_t>(newId);
  return CZuError();
}

bool BlrMonConfig::Disk::operator==(const Disk& o) const {
  return std::tie(path, uuid, id) == std::tie(o.path, o.uuid, o.id);
}

void BlrMonConfig::serialize(DwEbmlWriter& writer) const {
  for (const Disk& disk : disks) {
    const size_t bound = disk.path.size() + kDiskBoundSlack;
    writer.openContTag(TAG_DISK, bound < INT32_MAX ? static_cast<int>(bound) : INT32_MAX);
    disk.serialize(writer);
    writer.closeContTag();
  }
  writer.writeUUIDTag(TAG_CONFIG_UUID, configUuid.data());
  writer.writeNumTag(TAG_MAX_DRV_QUEUE_SIZE, maxDrvQueueSize);
  writer.writeNumTag(TAG_THROTTLE_WRITES, throttleWrites ? 1 : 0);
  writer.writeNumTag(TAG_ENABLE_CROSSCHECKS, enableCrosschecks ? 1 : 0);
  writer.writeNumTag(TAG_JOURNAL_COMPRESSION, journalCompression);
}

CZuError BlrMonConfig::unserialize(const void* data, int size) {
  disks.clear();
  CZuError err = dwEbmlForEachElement(data, size, [this](DwEbmlParser& p, int tag, int len) {
    switch (tag) {
      case TAG_CONFIG_UUID: p.getUUIDPayload(len, configUuid.data()); break;
      case TAG_MAX_DRV_QUEUE_SIZE: p.getNumPayload(len, &maxDrvQueueSize); break;
      case TAG_JOURNAL_COMPRESSION: p.getNumPayload(len, &journalCompression); break;
      case TAG_THROTTLE_WRITES: p.getNumPayload(len, &throttleWrites); break;
      case TAG_ENABLE_CROSSCHECKS: p.getNumPayload(len, &enableCrosschecks); break;
      case TAG_DISK: {
        Disk disk;
        CZuError diskErr = disk.unserialize(p.getPos(), len);
        if (diskErr.IsError()) return diskErr;
        disks.push_back(std::move(disk));
        break;
      }
    }
    return CZuError();
  });
  if (err.IsError()) err.Push(FXLOC);
  return err;
}

void BlrMonConfig::log() const {
  if (!configUuid.empty()) blrDebug("", "Config UUID: %s", configUuid.toHex().c_str());
  blrDebug("", "Throttle Writes: %s", yesNo(throttleWrites));
  blrDebug("", "Enable Crosschecks: %s", yesNo(enableCrosschecks));
  blrDebug("", "Journal Compression: %d", journalCompression);
  blrDebug("", "Max Drv Queue Size: %d", maxDrvQueueSize);
  for (const Disk& disk : disks) {
    blrDebug("", "Disk %s", disk.path.c_str());
    blrDebug("", "   Path: %s", disk.path.c_str());
    blrDebug("", "   UUID: %s (%s)", disk.uuid.toHex().c_str(), disk.uuid.toString().c_str());
    blrDebug("", "   ID: 0x%04x", disk.id);
  }
}

bool BlrMonConfig::operator==(const BlrMonConfig& o) const {
  return std::tie(configUuid, maxDrvQueueSize, throttleWrites, enableCrosschecks,
                  journalCompression, disks) ==
         std::tie(o.configUuid, o.maxDrvQueueSize, o.throttleWrites, o.enableCrosschecks,
                  o.journalCompression, o.disks);
}

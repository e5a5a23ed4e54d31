// Monitor configuration: the configuration identifier, four settings and the
// monitored disks.  Its tag numbers are its own.
#ifndef BLR_BLRMONCONFIG_H
#define BLR_BLRMONCONFIG_H

#include <cstdint>
#include <list>
#include <string>

#include "BLR/BlrExport.h"
#include "BLR/BlrUUID.h"
#include "DwLink/DwEbml.h"
#include "host/base/CZuError.h"

class BLR_API BlrMonConfig {
 public:
  struct BLR_API Disk {
    Disk() : id(0) {}
    void serialize(DwEbmlWriter& writer) const;
    // On failure the disk is left as it was.
    CZuError unserialize(const void* data, int size);
    bool operator==(const Disk& other) const;
    bool operator!=(const Disk& other) const { return !(*this == other); }

    std::string path;
    BlrUUID uuid;
    uint16_t id;
  };

  BlrMonConfig() : maxDrvQueueSize(0), throttleWrites(false), enableCrosschecks(false),
                   journalCompression(0) {}

  // Disks first, then the scalar settings.
  void serialize(DwEbmlWriter& writer) const;
  // Replaces the disk list; scalar settings absent from the data keep their
  // values.  Only a disk that can't be decoded is reported.
  CZuError unserialize(const void* data, int size);
  // Dumps the record through blrDebug, one line per setting and disk field.
  void log() const;

  bool operator==(const BlrMonConfig& other) const;
  bool operator!=(const BlrMonConfig& other) const { return !(*this == other); }

  BlrUUID configUuid;
  int32_t maxDrvQueueSize;
  bool throttleWrites;
  bool enableCrosschecks;
  int32_t journalCompression;
  std::list<Disk> disks;
};

#endif  // BLR_BLRMONCONFIG_H

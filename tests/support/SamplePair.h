// Samples the tests and benchmarks share: a pair with one disk as those that
// talk to a real central server store it, its Tail (client 20, which they
// register), record bytes and a frame at the link's size bound.
#ifndef TESTS_SUPPORT_SAMPLEPAIR_H
#define TESTS_SUPPORT_SAMPLEPAIR_H

#include <cstdio>
#include <string>
#include <vector>

#include "BLR/BlrDB.h"
#include "BLR/BlrUUID.h"
#include "DwLink/DwEbml.h"
#include "host/clients/DWClientDirectory.h"
#include "host/link/DwLinkFrame.h"

inline BlrDB::Pair samplePair(const std::string& srcName = "vm1") {
  BlrDB::Pair p;
  p.subClientId = 3;
  p.dstClientId = 11;
  p.headClientId = 12;
  p.tailClientId = 20;
  p.srcName = srcName;
  p.srcGuid = BlrUUID(std::string("00000000000000000000000000000001"));
  p.disks.resize(1);
  p.disks.front().srcPath = "/d";
  p.disks.front().srcGuid = p.srcGuid;
  return p;
}

// A complete boot VM of `pairId` with `disks` disks.
inline BlrDB::BootVM sampleBootVM(int pairId, int disks) {
  BlrDB::BootVM vm;
  vm.bootType = 1;
  vm.pairId = pairId;
  vm.name = "boot's vm";
  char hex[33];
  std::snprintf(hex, sizeof hex, "%032x", pairId + 300);
  vm.uuid = BlrUUID(std::string(hex));
  vm.creationTime = 1000;
  vm.bestBefore = 2000;
  vm.seqNum = 1ull << 40;
  vm.jobId = 77;
  vm.statusMessage = "booting";
  for (int i = 0; i < disks; ++i) {
    vm.disks.emplace_back();
    vm.disks.back().origDiskId = 10 + i;
    std::snprintf(hex, sizeof hex, "%032x", pairId * 10 + i + 400);
    vm.disks.back().uuid = BlrUUID(std::string(hex));
    vm.disks.back().path = "/boot/" + std::to_string(i);
    vm.disks.back().snapId = "snap" + std::to_string(i);
  }
  return vm;
}

inline DWClientInfo sampleTail(int id = 20) {
  DWClientInfo c;
  c.id = id;
  c.name = "tail1";
  c.netHostName = "10.0.0.7";
  c.dwdPort = 8406;
  c.evmgrcPort = 8407;
  return c;
}

// The bytes `record.serialize` writes.
template <class Record>
std::vector<char> encodeRecord(const Record& record) {
  DwEbmlBuffer buffer(4096);
  DwEbmlWriter writer(buffer, 0);
  record.serialize(writer);
  return writer.getBlob();
}

// A get_pairs request whose frame is as large as a frame may be; empty if it
// can't be encoded.
inline std::string frameAtSizeBound() {
  DwLinkMessage big;
  big.name = "BLR";
  big.entries["req"] = "get_pairs";
  big.entries["blob"] = std::string(kDwLinkMaxFrameBytes - 64, '0');
  std::string frame;
  if (dwLinkEncode(big, kDwLinkMaxFrameBytes, &frame).IsError()) frame.clear();
  return frame;
}

#endif  // TESTS_SUPPORT_SAMPLEPAIR_H

// One pair with one disk, as the tests and benchmarks that talk to a real
// central server store it: its Tail is client 20, which they register.
#ifndef TESTS_SUPPORT_SAMPLEPAIR_H
#define TESTS_SUPPORT_SAMPLEPAIR_H

#include <string>

#include "BLR/BlrDB.h"
#include "BLR/BlrUUID.h"

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

#endif  // TESTS_SUPPORT_SAMPLEPAIR_H

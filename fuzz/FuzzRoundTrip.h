// Shared check of the record fuzz targets: whatever decodes must re-encode to
// bytes that decode to the same record.
#ifndef BLR_FUZZ_FUZZROUNDTRIP_H
#define BLR_FUZZ_FUZZROUNDTRIP_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "DwLink/DwEbml.h"

template <class Record>
void fuzzRoundTrip(const uint8_t* data, size_t size) {
  Record first;
  if (first.unserialize(data, static_cast<int>(size)).IsError()) return;
  DwEbmlBuffer buffer(128);
  DwEbmlWriter writer(buffer, 0);
  first.serialize(writer);
  Record second;
  CZuError err = second.unserialize(buffer.data, writer.getSize());
  if (err.IsError() || !(second == first)) {
    std::fprintf(stderr, "re-encoded record differs: %s\n", err.AsString().c_str());
    std::abort();
  }
}

#endif  // BLR_FUZZ_FUZZROUNDTRIP_H

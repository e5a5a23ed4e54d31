#include "BLR/BlrDB.h"
#include "FuzzRoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzRoundTrip<BlrDB::PairStats>(data, size);
  return 0;
}

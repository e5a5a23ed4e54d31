#include "BLR/BlrMonConfig.h"
#include "FuzzRoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzRoundTrip<BlrMonConfig>(data, size);
  return 0;
}

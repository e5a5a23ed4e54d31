// Test use only: hooks into module state.  Not installed, not part of the
// public API.
#ifndef BLR_SRC_BLRTESTING_H
#define BLR_SRC_BLRTESTING_H

#include "BLR/BlrExport.h"

// Forgets BlrReg's cached values, the time of the last load and the
// configuration store object, so that the next getter call is a first load.
BLR_API void blrRegResetForTesting();

// Lets the checksum use AVX2 when the processor has it (the default), or
// keeps it to SSE2, so that both paths can be tested on one machine.
BLR_API void blrChecksumAllowAvx2ForTesting(bool allow);

// Lets the buffer cache ask for transparent huge pages where the kernel
// offers them (the default), or keeps its buffers in plain heap blocks as on a
// kernel without them.
BLR_API void blrBufCacheAllowHugePagesForTesting(bool allow);

#endif  // BLR_SRC_BLRTESTING_H

// Test use only: not installed, not part of the public API.
#ifndef BLR_SRC_BLRREGTESTING_H
#define BLR_SRC_BLRREGTESTING_H

#include "BLR/BlrExport.h"

// Forgets the cached values, the time of the last load and the configuration
// store object, so that the next getter call is a first load again.
BLR_API void blrRegResetForTesting();

#endif  // BLR_SRC_BLRREGTESTING_H

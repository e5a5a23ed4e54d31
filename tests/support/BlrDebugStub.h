// TEMPORARY: stands in for blrDebug until src/BlrDebug.cpp is merged; remove
// this directory and the blr_debug_stub target with that merge.
#ifndef BLR_TESTS_SUPPORT_BLRDEBUGSTUB_H
#define BLR_TESTS_SUPPORT_BLRDEBUGSTUB_H

#include <string>
#include <vector>

// Formatted messages passed to blrDebug(function, fmt, ...), oldest first.
std::vector<std::string>& blrDebugStubLines();

#endif  // BLR_TESTS_SUPPORT_BLRDEBUGSTUB_H

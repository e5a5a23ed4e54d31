// Uses a few entry points of each kind: classes, plain-name exports, the
// logging functions and the host layer that comes with the library.
#include <cstdio>
#include <cstring>
#include <string>

#include "BLR/BlrDebug.h"
#include "BLR/BlrReg.h"
#include "BLR/BlrUUID.h"
#include "BLR/BlrUtils.h"
#include "host/DWPlatformInfo.h"

namespace {

int fail(const char* what) {
  std::fprintf(stderr, "consumer: %s\n", what);
  return 1;
}

}  // namespace

int main() {
  DWPlatformInfo::setValue("EventManager", "sLogFile", "/dev/null");

  BlrUUID id("cd1036f5-faee-dae8-3ba6-84fc85ddcebb");
  char hex[33];
  if (std::strcmp(uuid2hex(id.data(), hex), "cd1036f5faeedae83ba684fc85ddcebb") != 0) return fail("uuid2hex");
  if (BlrUtils::checksum("abcd", 4) != 0x9B9C9D9Eu) return fail("checksum");

  unsigned char noop[16] = {42};
  noop[8] = 16;  // length
  noop[14] = 5;  // type
  char text[64];
  if (std::string(blrJrnLog(noop, text, sizeof text)) != "BLR_JRN_NOOP(42)") return fail("blrJrnLog");
  if (std::strcmp(blrJrnGetMarkerName(id.data()), "CCRP") != 0) return fail("blrJrnGetMarkerName");

  blrDebug("consumer", "identifier %s", id.toString().c_str());
  if (BlrReg::getSSBlockSize() != 262144) return fail("BlrReg");

  std::printf("consumer ok\n");
  return 0;
}

// Uses classes, plain-name exports, logging and the host layer of an
// installed blr.
#include <cstdio>
#include <cstring>

#include "BLR/BlrDebug.h"
#include "BLR/BlrReg.h"
#include "BLR/BlrUUID.h"
#include "BLR/BlrUtils.h"
#include "host/config/DWPlatformInfo.h"

int main() {
  DWPlatformInfo::setValue("EventManager", "sLogFile", "/dev/null");
  BlrUUID id("cd1036f5-faee-dae8-3ba6-84fc85ddcebb");
  char hex[33];
  unsigned char noop[16] = {42, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 5, 0};
  char text[64];
  blrDebug("consumer", "identifier %s", id.toString().c_str());
  bool ok = std::strcmp(uuid2hex(id.data(), hex), "cd1036f5faeedae83ba684fc85ddcebb") == 0 &&
            BlrUtils::checksum("abcd", 4) == 0x9B9C9D9Eu &&
            std::strcmp(blrJrnLog(noop, text, sizeof text), "BLR_JRN_NOOP(42)") == 0 &&
            std::strcmp(blrJrnGetMarkerName(id.data()), "CCRP") == 0 && BlrReg::getSSBlockSize() == 262144;
  std::puts(ok ? "consumer ok" : "consumer: wrong results");
  return ok ? 0 : 1;
}

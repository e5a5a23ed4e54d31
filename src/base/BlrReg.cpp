#include "BLR/BlrReg.h"

#include <cstdint>
#include <memory>

#include "BLR/BlrDebug.h"
#include "BLR/DwCriticalSection.h"
#include "base/BlrTesting.h"
#include "host/config/DWPlatformInfo.h"
#include "host/base/DwClock.h"

namespace {

constexpr time_t kReloadSecs = 60;

// In load order.
enum Key {
  kEnableJrnComp,
  kEnableNetComp,
  kEnableNetEnc,
  kPerfLogIntervalSecs,
  kPerfDiagIntervalSecs,
  kPerfDiagDurationSecs,
  kAuthTimeoutSecs,
  kCtrlTimeoutSecs,
  kConnectIntervalSecs,
  kKeepAliveIntervalSecs,
  kMinRPIntervalSecs,
  kMaxRPIntervalSecs,
  kVmStatsPushIntervalSecs,
  kConfigDir,
  kCacheDir,
  kMaxCacheDiskSizeMB,
  kMaxCacheMemorySizeMB,
  kMaxQueueSizeMB,
  kAllowBuiltinCerts,
  kDumpSectorMD5,
  kRpStoreCacheSizeMB,
  kMaxRpStoreSizeMB,
  kSSBlockSize,
  kManualDrvInstall,
  kThrottleWrites,
  kEnableCrosschecks,
  kOptimizeCache,
  kForcePeakTime,
  kForceOffPeakTime,
  kWinFsH2oThreadCount,
  kWinFsHasherThreadCount,
  kPairStatsIntervalSecs,
  kKeyCount
};

struct KeyDef {
  const char* name;  // 'n' numbers, 's' texts (default: the base directory)
  int defaultValue;
};

const KeyDef kKeys[kKeyCount] = {
    {"nEnableJrnComp", 1},          {"nEnableNetComp", 0},
    {"nEnableNetEnc", 0},           {"nPerfLogIntervalSecs", 60},
    {"nPerfDiagIntervalSecs", 600}, {"nPerfDiagDurationSecs", 30},
    {"nAuthTimeoutSecs", 120},      {"nCtrlTimeoutSecs", 600},
    {"nConnectIntervalSecs", 60},   {"nKeepAliveIntervalSecs", 600},
    {"nMinRPIntervalSecs", 60},     {"nMaxRPIntervalSecs", 1200},
    {"nVmStatsPushIntervalSecs", 30}, {"sConfigDir", 0},
    {"sCacheDir", 0},               {"nMaxCacheDiskSizeMB", 8192},
    {"nMaxCacheMemorySizeMB", 300}, {"nMaxQueueSizeMB", 256},
    {"nAllowBuiltinCerts", 0},      {"nDumpSectorMD5", 0},
    {"nRpStoreCacheSizeMB", 1024},  {"nMaxRpStoreSizeMB", 0},
    {"nSSBlockSize", 262144},       {"nManualDrvInstall", 0},
    {"nThrottleWrites", 1},         {"nEnableCrosschecks", 0},
    {"nOptimizeCache", 1},          {"nForcePeakTime", 0},
    {"nForceOffPeakTime", 0},       {"nWinFsH2oThreadCount", 1},
    {"nWinFsHasherThreadCount", 4}, {"nPairStatsIntervalSecs", 300},
};

struct RegState {
  DwCriticalSection lock;
  bool loaded = false;
  time_t lastLoad = 0;
  int numbers[kKeyCount] = {};
  std::string texts[kKeyCount];
  std::unique_ptr<DWPlatformInfo> info;
};

// Never destroyed: getters may run while the process exits.
RegState& state() {
  static RegState* st = new RegState;
  return *st;
}

// "<job results directory>/BLR", or empty when the host has none.
std::string baseDirectory(DWPlatformInfo& info) {
  const char* client = info.getPhysicalMachine();
  std::string dir;
  if (DWPI_HostClient(client).getJobResultsDirectory(&dir)) return dir + "/BLR";
  blrError("BlrReg", "Couldn't retrieve JobResults directory from %s's registry", client ? client : "(null)");
  return std::string();
}

void loadNumber(RegState& st, int k) {
  const KeyDef& def = kKeys[k];
  long long stored = 0;
  if (st.info->getNumber("BLR", def.name, &stored)) {
    int value = static_cast<int>(static_cast<uint32_t>(stored));  // low 32 bits
    if (!st.loaded || value != st.numbers[k]) blrDebug("BlrReg", "BLR/%s=%d", def.name, value);
    st.numbers[k] = value;
  } else {
    if (!st.loaded || def.defaultValue != st.numbers[k])
      blrDebug("BlrReg", "BLR/%s is not set. Defaulting to %d", def.name, def.defaultValue);
    st.numbers[k] = def.defaultValue;
  }
}

void loadText(RegState& st, int k, const std::string& defaultValue) {
  const KeyDef& def = kKeys[k];
  std::string stored;
  if (st.info->getString("BLR", def.name, &stored)) {
    if (!st.loaded || stored != st.texts[k]) blrDebug("BlrReg", "BLR/%s=%s", def.name, stored.c_str());
    st.texts[k] = stored;
  } else {
    if (!st.loaded || defaultValue != st.texts[k])
      blrDebug("BlrReg", "BLR/%s is not set. Defaulting to %s", def.name, defaultValue.c_str());
    st.texts[k] = defaultValue;
  }
}

// Reloads every key when the last load is a minute old (or the clock went
// back past it).  Runs under the module lock.
void refreshLocked(RegState& st) {
  time_t now = DwClock::current()->now();
  if (st.loaded && now >= st.lastLoad && now - st.lastLoad < kReloadSecs) return;
  if (!st.info) st.info = std::make_unique<DWPlatformInfo>();
  std::string base = baseDirectory(*st.info);
  for (int k = 0; k < kKeyCount; ++k) {
    if (kKeys[k].name[0] == 's')
      loadText(st, k, base);
    else
      loadNumber(st, k);
  }
  st.loaded = true;
  st.lastLoad = now;
}

int number(Key k) {
  RegState& st = state();
  DwCriticalSectionLock lock(&st.lock);
  refreshLocked(st);
  return st.numbers[k];
}

std::string text(Key k) {
  RegState& st = state();
  DwCriticalSectionLock lock(&st.lock);
  refreshLocked(st);
  return st.texts[k];
}

}  // namespace

int BlrReg::getEnableJrnComp() { return number(kEnableJrnComp); }
bool BlrReg::getEnableNetComp() { return number(kEnableNetComp) != 0; }
bool BlrReg::getEnableNetEnc() { return number(kEnableNetEnc) != 0; }
int BlrReg::getPerfLogIntervalSecs() { return number(kPerfLogIntervalSecs); }
int BlrReg::getPerfDiagIntervalSecs() { return number(kPerfDiagIntervalSecs); }
int BlrReg::getPerfDiagDurationSecs() { return number(kPerfDiagDurationSecs); }
int BlrReg::getAuthTimeoutSecs() { return number(kAuthTimeoutSecs); }
int BlrReg::getCtrlTimeoutSecs() { return number(kCtrlTimeoutSecs); }
int BlrReg::getConnectIntervalSecs() { return number(kConnectIntervalSecs); }
int BlrReg::getKeepAliveIntervalSecs() { return number(kKeepAliveIntervalSecs); }
int BlrReg::getMinRPIntervalSecs() { return number(kMinRPIntervalSecs); }
int BlrReg::getMaxRPIntervalSecs() { return number(kMaxRPIntervalSecs); }
int BlrReg::getVmStatsPushIntervalSecs() { return number(kVmStatsPushIntervalSecs); }
std::string BlrReg::getConfigDir() { return text(kConfigDir); }
std::string BlrReg::getCacheDir() { return text(kCacheDir); }
int BlrReg::getMaxCacheDiskSizeMB() { return number(kMaxCacheDiskSizeMB); }
int BlrReg::getMaxCacheMemorySizeMB() { return number(kMaxCacheMemorySizeMB); }
int BlrReg::getMaxQueueSizeMB() { return number(kMaxQueueSizeMB); }
bool BlrReg::getAllowBuiltinCerts() { return number(kAllowBuiltinCerts) != 0; }
bool BlrReg::getDumpSectorMD5() { return number(kDumpSectorMD5) != 0; }
int BlrReg::getRpStoreCacheSizeMB() { return number(kRpStoreCacheSizeMB); }
int BlrReg::getMaxRpStoreSizeMB() { return number(kMaxRpStoreSizeMB); }
int BlrReg::getSSBlockSize() { return number(kSSBlockSize); }
bool BlrReg::getManualDrvInstall() { return number(kManualDrvInstall) != 0; }
bool BlrReg::getThrottleWrites() { return number(kThrottleWrites) != 0; }
bool BlrReg::getEnableCrosschecks() { return number(kEnableCrosschecks) != 0; }
bool BlrReg::getOptimizeCache() { return number(kOptimizeCache) != 0; }
bool BlrReg::getForcePeakTime() { return number(kForcePeakTime) != 0; }
bool BlrReg::getForceOffPeakTime() { return number(kForceOffPeakTime) != 0; }
int BlrReg::getWinFsH2oThreadCount() { return number(kWinFsH2oThreadCount); }
int BlrReg::getWinFsHasherThreadCount() { return number(kWinFsHasherThreadCount); }
int BlrReg::getPairStatsIntervalSecs() { return number(kPairStatsIntervalSecs); }

void blrRegResetForTesting() {
  RegState& st = state();
  DwCriticalSectionLock lock(&st.lock);
  st.loaded = false;
  st.lastLoad = 0;
  for (int k = 0; k < kKeyCount; ++k) {
    st.numbers[k] = 0;
    st.texts[k].clear();
  }
  st.info.reset();
}

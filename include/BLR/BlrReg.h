// Tunable values of block-level replication, read from section "BLR" of the
// configuration store and refreshed at most once a minute.
#ifndef BLR_BLRREG_H
#define BLR_BLRREG_H

#include <string>

#include "BLR/BlrExport.h"

class BLR_API BlrReg {
 public:
  static int getEnableJrnComp();            // nEnableJrnComp, 1
  static bool getEnableNetComp();           // nEnableNetComp, 0
  static bool getEnableNetEnc();            // nEnableNetEnc, 0
  static int getPerfLogIntervalSecs();      // nPerfLogIntervalSecs, 60
  static int getPerfDiagIntervalSecs();     // nPerfDiagIntervalSecs, 600
  static int getPerfDiagDurationSecs();     // nPerfDiagDurationSecs, 30
  static int getAuthTimeoutSecs();          // nAuthTimeoutSecs, 120
  static int getCtrlTimeoutSecs();          // nCtrlTimeoutSecs, 600
  static int getConnectIntervalSecs();      // nConnectIntervalSecs, 60
  static int getKeepAliveIntervalSecs();    // nKeepAliveIntervalSecs, 600
  static int getMinRPIntervalSecs();        // nMinRPIntervalSecs, 60
  static int getMaxRPIntervalSecs();        // nMaxRPIntervalSecs, 1200
  static int getVmStatsPushIntervalSecs();  // nVmStatsPushIntervalSecs, 30
  static std::string getConfigDir();        // sConfigDir, "<job results>/BLR"
  static std::string getCacheDir();         // sCacheDir, "<job results>/BLR"
  static int getMaxCacheDiskSizeMB();       // nMaxCacheDiskSizeMB, 8192
  static int getMaxCacheMemorySizeMB();     // nMaxCacheMemorySizeMB, 300
  static int getMaxQueueSizeMB();           // nMaxQueueSizeMB, 256
  static bool getAllowBuiltinCerts();       // nAllowBuiltinCerts, 0
  static bool getDumpSectorMD5();           // nDumpSectorMD5, 0
  static int getRpStoreCacheSizeMB();       // nRpStoreCacheSizeMB, 1024
  static int getMaxRpStoreSizeMB();         // nMaxRpStoreSizeMB, 0
  static int getSSBlockSize();              // nSSBlockSize, 262144
  static bool getManualDrvInstall();        // nManualDrvInstall, 0
  static bool getThrottleWrites();          // nThrottleWrites, 1
  static bool getEnableCrosschecks();       // nEnableCrosschecks, 0
  static bool getOptimizeCache();           // nOptimizeCache, 1
  static bool getForcePeakTime();           // nForcePeakTime, 0
  static bool getForceOffPeakTime();        // nForceOffPeakTime, 0
  static int getWinFsH2oThreadCount();      // nWinFsH2oThreadCount, 1
  static int getWinFsHasherThreadCount();   // nWinFsHasherThreadCount, 4
  static int getPairStatsIntervalSecs();    // nPairStatsIntervalSecs, 300
};

#endif  // BLR_BLRREG_H

// What a proxy reports for each of its pairs every period, for benchmarks.
#ifndef BENCH_BENCHREPORT_H
#define BENCH_BENCHREPORT_H

#include "BLR/BlrDB.h"

// A statistics point as a proxy reports it for one pair every period.
inline BlrDB::PairStats benchReportStats(int pairId) {
  BlrDB::PairStats stats;
  stats.pairId = pairId;
  stats.repDataDeltaActual = 1 << 20;
  stats.repDataDeltaComp = 1 << 19;
  stats.ioDelta = 200;
  stats.iopsDelta = 20;
  stats.repSetSize = 40LL << 30;
  stats.sizeInRpStore = 8LL << 30;
  stats.retention = 24;
  return stats;
}

#endif  // BENCH_BENCHREPORT_H

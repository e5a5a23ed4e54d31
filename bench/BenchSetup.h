// Setup steps shared by the benchmark programs: a step that fails ends the
// program, since what it would measure is no longer what it says.
#ifndef BENCH_BENCHSETUP_H
#define BENCH_BENCHSETUP_H

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/base/CZuError.h"
#include "host/sql/DWSimpleDBConnObject.h"

inline void must(const CZuError& err) {
  if (!err.IsError()) return;
  std::fprintf(stderr, "%s\n", err.AsString().c_str());
  std::abort();
}

inline void must(int rc, const DWSimpleDBConnObject& conn) {
  if (rc == 0 || rc == DWSQL_NO_ROWS) return;
  std::fprintf(stderr, "SQL failure %d: %s\n", rc, conn.getLastErrorText().c_str());
  std::abort();
}

// Pairs 1 to `count` of three disks each (sub-client 3, Tail 20), written
// straight into "Anchor" in one transaction.
inline void fillPairs(int count) {
  DWSimpleDBConnObject conn;
  must(conn.openSQLConnectionUsingDbName("Anchor"), conn);
  must(conn.startTran(), conn);
  for (int i = 1; i <= count; ++i) {
    const std::string id = std::to_string(i);
    must(conn.execQuery(("INSERT INTO BlrPair(id, subClientId, tailClientId, srcName, "
                         "srcGuid) VALUES(" + id + ", 3, 20, 'vm" + id + "', 'g" + id +
                         "'); INSERT INTO BlrDisk(pairId, srcPath) VALUES(" + id +
                         ", '/a'), (" + id + ", '/b'), (" + id + ", '/c')")
                            .c_str()),
         conn);
  }
  must(conn.endTran(1), conn);
}

#endif  // BENCH_BENCHSETUP_H

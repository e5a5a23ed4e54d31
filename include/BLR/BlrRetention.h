// Bounds on the past the central server keeps: the event trail (APP_Event),
// the statistics history (BlrPairStats) and finished plan runs (BlrPlanRun
// with their BlrPlanRunPair rows), each by age and by count.  A run that has
// not ended is kept whatever its age.
//
// Rows go in small batches, each a statement or transaction of its own,
// sized so that one holds the database's write lock for at most about 10 ms;
// between batches the pruner pauses as long as the batch took, so writers
// keep at least half of the time.
//
// Registry, section "Retention":
//   nEventSecs        7776000   events older than this go (90 days)
//   nEventMax         10000000  at most this many events, the newest
//   nStatsSecs        7776000   statistics older than this go (90 days)
//   nStatsMaxPerPair  200000    at most this many statistics rows per pair
//   nRunSecs          31536000  finished runs that ended longer ago go (365 days)
//   nRunMax           1000      at most this many finished runs, the newest
//   nIntervalSecs     300       between two passes of the server's pruner
#ifndef BLR_BLRRETENTION_H
#define BLR_BLRRETENTION_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BLR/BlrExport.h"
#include "host/base/CZuError.h"

// The rows of one pruned table as the last pass left them.
struct BlrTableRows {
  std::string table;
  int64_t rows;
};

class BLR_API BlrRetention {
 public:
  BlrRetention() = default;
  ~BlrRetention() { stop(); }
  BlrRetention(const BlrRetention&) = delete;
  BlrRetention& operator=(const BlrRetention&) = delete;

  // One pass now, on the calling thread.  A failure ends the pass; what
  // was deleted before it stays deleted.
  CZuError prune();

  // Passes on a thread of its own, the first at once, then every
  // nIntervalSecs until stop().
  CZuError start();
  // Ends the thread after the batch in progress.
  void stop();

  // The rows of each table after the last pass of any pruner of this
  // process; empty before the first.  Events are counted as the span of
  // their ids, so a gap left by a rolled-back insert counts as a row.
  static std::vector<BlrTableRows> tableRows();
  // The longest batch of the last pass, in seconds.
  static double longestBatchSecs();

 private:
  void loop();

  std::thread thread_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::atomic<bool> stopping_{false};
  int batch_ = 500;  // rows per statement, adapted to the time a batch takes
};

#endif  // BLR_BLRRETENTION_H

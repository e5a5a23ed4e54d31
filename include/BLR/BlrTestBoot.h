// A test boot of one pair: a rehearsal of its recovery that leaves
// production alone.  The Tail is told of the boot, the pair's recovery VM is
// powered on from the replicated data while replication goes on, it must
// report on within a time-out, and it is powered off again.  The production
// VM and the pair's state are never touched.
//
// The boot VM record made for the test boot (bootType BOOT_TYPE_TEST) is its
// progress: its status is written before the action it names, so that a test
// boot that was interrupted anywhere is undone from its record by cleanup().
// The Tail sets STATUS_ON when the test VM reports on.
//
// Steps are reported to the thread's BlrWorkflowObserver, like the
// workflows'.
#ifndef BLR_BLRTESTBOOT_H
#define BLR_BLRTESTBOOT_H

#include <cstdint>

#include "BLR/BlrDB.h"
#include "BLR/BlrExport.h"
#include "host/base/CZuError.h"

class BLR_API BlrTestBoot {
 public:
  static constexpr int32_t BOOT_TYPE_TEST = 1;

  // Status of a test boot's boot VM record.
  enum Status : int32_t {
    STATUS_RECORDED = 1,      // the Tail may not know of the boot yet
    STATUS_ANNOUNCED = 2,     // the Tail holds the boot (testBootCrossing answered)
    STATUS_POWERING_ON = 3,   // the test VM may be on
    STATUS_ON = 4,            // the test VM reported on (set by the Tail)
    STATUS_POWERING_OFF = 5,  // the test VM may still be on
  };

  // The Tail's code for ending a test boot it does not hold.
  static constexpr int TAIL_NO_SUCH_BOOT = 2;

  // How long a test VM may take to report on, when the caller has no plan.
  static constexpr int DEFAULT_HEALTH_TIMEOUT_SECS = 300;

  explicit BlrTestBoot(int pairId) : pairId_(pairId) {}

  // Runs the test boot of the pair.  `jobId` (not 0) is recorded as the boot
  // VM's job.  The VM must report on within `healthTimeoutSecs`; whatever
  // happens after the Tail was told, the VM is powered off and the boot ended
  // and its record deleted again (a failure to do so leaves the record for
  // cleanup()).  `seqNum` (may be null) receives the recovery point booted.
  // Refused for a pair that is not replicating, or that holds a test boot
  // record already.
  CZuError run(int healthTimeoutSecs, uint64_t jobId, uint64_t* seqNum);

  // Undoes every test boot of the pair that its boot VM records show: powers
  // the test VM off when it may be on, ends the boot on the Tail, deletes the
  // record.  `undone` (may be null) counts the records removed.
  CZuError cleanup(int* undone);

 private:
  const int pairId_;
};

#endif  // BLR_BLRTESTBOOT_H

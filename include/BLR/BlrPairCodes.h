// What a pair's status code, flag bits and event id mean (BlrDB::Pair's
// statusCode, flags and eventId).  The pair database service posts the events
// of this table, the recovery workflows test and set these codes, and the
// programs show their names.
#ifndef BLR_BLRPAIRCODES_H
#define BLR_BLRPAIRCODES_H

struct BlrPairCodes {
  // Status codes the workflows read and write.
  enum PairStatus : int {
    STATUS_NO_PAIR = -1,  // getPair found no such pair
    STATUS_SYNCING = 0,   // 0, 3 and 10: still synchronising
    STATUS_SMART_SYNCING = 3,
    STATUS_RUNNING = 4,
    STATUS_STOPPED = 6,
    STATUS_RESYNCING = 10,
    STATUS_FAILING_OVER = 14,
    STATUS_FAILED_OVER = 16,  // set by the caller once a failover is complete
    STATUS_FAILING_BACK = 17,
    STATUS_FAILBACK_FAILED = 18,
    STATUS_SWITCHING_ROLES = 19,
    STATUS_SWITCH_ROLES_FAILED = 20,
  };
  // Flag bits.
  enum PairFlag : int {
    FAILOVER = 8,  // a failover was started and not yet undone
    HIDDEN = 16,   // a failback's temporary reverse pair
    REVERSE = 32,  // made by BlrDB::Pair::reverse()
  };
  // Event id on a failback's hidden pair: the production VM is missing or
  // its disks changed (0x025A008C).
  static constexpr int EVENT_PRODUCTION_VM_MISSING = 39452812;
};

// A status code with a meaning: the name programs show (empty for codes set
// outside this system) and the event posted when a pair takes it (0: none).
struct BlrPairStatusRow {
  int code;
  const char* name;
  int event;
};

inline constexpr BlrPairStatusRow kBlrPairStatusRows[] = {
    {BlrPairCodes::STATUS_SYNCING, "new", 0},
    {1, "", 0x025A008D},
    {2, "", 0x025A0092},
    {BlrPairCodes::STATUS_SMART_SYNCING, "synchronising", 0x025A0093},
    {BlrPairCodes::STATUS_RUNNING, "running", 0x025A0094},
    {5, "", 0x025A0091},
    {BlrPairCodes::STATUS_STOPPED, "stopped", 0x025A0095},
    {BlrPairCodes::STATUS_RESYNCING, "synchronising", 0},
    {BlrPairCodes::STATUS_FAILING_OVER, "failing over", 0x025A008E},
    {15, "", 0x025A0090},
    {BlrPairCodes::STATUS_FAILED_OVER, "failed over", 0x025A008F},
    {BlrPairCodes::STATUS_FAILING_BACK, "failing back", 0},
    {BlrPairCodes::STATUS_FAILBACK_FAILED, "failback failed", 0},
    {BlrPairCodes::STATUS_SWITCHING_ROLES, "switching roles", 0x025A0097},
    {BlrPairCodes::STATUS_SWITCH_ROLES_FAILED, "switch roles failed", 0x025A0096},
};

// The row of `code`, or null.
inline const BlrPairStatusRow* blrPairStatusRow(int code) {
  for (const BlrPairStatusRow& row : kBlrPairStatusRows)
    if (row.code == code) return &row;
  return nullptr;
}

struct BlrPairFlagRow {
  int bit;
  const char* name;
};

inline constexpr BlrPairFlagRow kBlrPairFlagRows[] = {
    {BlrPairCodes::FAILOVER, "FAILOVER"},
    {BlrPairCodes::HIDDEN, "HIDDEN"},
    {BlrPairCodes::REVERSE, "REVERSE"},
};

#endif  // BLR_BLRPAIRCODES_H

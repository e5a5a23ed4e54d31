// The simulated replication state of one proxy, and how it answers each
// control request.
//
// Pairs are known from applied configurations, or by id when first named
// (their VMs then come from the pair database, if it knows the pair).  A pair
// that starts or resynchronises reports status 3 and, sync-delay-ms later,
// 4; one that stops reports 6 unless a recovery workflow owns its status
// (14, 16-20) and report-every-stop is off.  Pausing, resuming and cleaning up report nothing.
//
// Sequence numbers are microseconds of the wall clock, so that Head and Tail
// processes on one machine agree without talking: a flush marker is the
// Head's current time, and the Tail's last sequence number is its current
// time less flush-delay-ms (held at the moment replication was blocked by
// a failover crossing).
//
// The Tail's VM powered on while a test boot of it is announced is a test
// VM: test-vm-boot-ms later, if it is still on and the boot still held, it
// reports on (BlrTestBoot::STATUS_ON) on the boot VM record of each of its
// test boots.
#ifndef TOOLS_PROXY_PROXYSTATE_H
#define TOOLS_PROXY_PROXYSTATE_H

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrDB.h"
#include "BLR/BlrUUID.h"
#include "ProxyConfig.h"
#include "host/base/CZuError.h"

// Pair status codes and the event the simulator reports.
enum {
  kProxyStatusSyncing = 3,
  kProxyStatusRunning = 4,
  kProxyStatusStopped = 6,
  kProxyEventVmMissing = 39452812,  // production VM missing or its disks changed
};

// Where the simulator reports pair status changes, as the real service does.
class ProxyReporter {
 public:
  virtual ~ProxyReporter() = default;
  virtual CZuError setPairStatus(int pairId, int status, const std::string& message,
                                 int eventId) = 0;
  // The stored pair; a cleared record (id 0) when there is none.
  virtual CZuError getPair(int pairId, BlrDB::Pair* pair) = 0;
  // A test VM's status, on the boot VM record that its test boot names.
  virtual CZuError setBootVMStatus(int bootVmId, int status, const std::string& message) {
    (void)bootVmId, (void)status, (void)message;
    return CZuError();
  }
};

// Reports to the pair database through BlrDB, as the real service does.
class ProxyDbReporter : public ProxyReporter {
 public:
  CZuError setPairStatus(int pairId, int status, const std::string& message,
                         int eventId) override {
    return BlrDB().setPairStatus(pairId, status, message, eventId);
  }
  CZuError getPair(int pairId, BlrDB::Pair* pair) override {
    return BlrDB().getPair(pairId, pair);
  }
  CZuError setBootVMStatus(int bootVmId, int status, const std::string& message) override {
    return BlrDB().setBootVMStatus(bootVmId, status, message, 0);
  }
};

// One decoded control request: the tags its row lists, also by name.
// Absent tags read as 0.
struct ProxyRequest {
  int msgId = 0;
  BlrUUID vm;
  int32_t pairId = 0;
  int32_t pairOp = 0;
  int32_t bootId = 0;
  int32_t timeout = 0;
  int32_t tail = 0;
  int32_t on = 0;
  int32_t revert = 0;
  uint64_t jobId = 0;
  uint64_t backupJobId = 0;
  std::list<BlrDB::Pair> pairs;
  BlrCtrlValues values;

  // Fails with code 1 and "No <what> given" when a required tag is missing.
  static CZuError decode(int msgId, const void* data, int len, ProxyRequest* out);
};

// The answer to a request: its message id, the error part, and the results.
struct ProxyReply {
  int msgId = 0;
  int32_t code = 0;
  std::string text;
  std::vector<std::pair<int, uint64_t>> results;  // tag, value

  // The reply message that answers `requestId`.
  static int idFor(int requestId);
  static ProxyReply success(int requestId);
  static ProxyReply failure(int requestId, int code, const std::string& text);
  ProxyReply& with(int tag, uint64_t value) {
    results.emplace_back(tag, value);
    return *this;
  }
  std::vector<char> encode() const;
};

struct ProxyPair {
  enum Run { kStopped, kSyncing, kRunning, kPaused };
  int id = 0;
  BlrUUID srcGuid;
  BlrUUID dstGuid;
  Run run = kStopped;
  uint64_t startCount = 0;  // tells a delayed "running" report whether it is still due
};

// A copy of the state, for tests and diagnostics.
struct ProxyStateView {
  std::map<int, ProxyPair> pairs;
  std::set<int> snapshots;                 // pairs with a failover snapshot
  std::map<std::string, uint64_t> blocked;  // VM (hex) -> Tail's sequence number when blocked
  std::map<std::string, bool> vmPower;     // VM key -> on
  std::set<std::pair<std::string, int>> testBoots;  // VM (hex), boot id
  std::map<uint64_t, std::string> backups;          // backup job id -> VM (hex)
  std::vector<uint64_t> doneJobs;
};

// The view as lines of text, one fact per line, for other processes to read:
// "vm <key> on|off", "pair <id> stopped|syncing|running|paused",
// "snapshot <pair id>", "blocked <vm>", "testboot <vm> <boot id>".
std::string proxyStateText(const ProxyStateView& view);

class ProxyState {
 public:
  // `reporter` may be null (status changes are then only kept here).
  explicit ProxyState(ProxyReporter* reporter);
  ~ProxyState();
  ProxyState(const ProxyState&) = delete;
  ProxyState& operator=(const ProxyState&) = delete;

  void setSettings(const ProxySettings& settings);

  static constexpr size_t kHistoryLength = 1000;

  // What the simulated service does for one request message.
  struct Behaviour {
    int msgId;
    ProxyReply (*act)(ProxyState& state, const ProxyRequest& request);
  };
  // The behaviour of a request message, or null.
  static const Behaviour* behaviour(int msgId);

  // Keeps `request` in the history, whether it is then answered or not.
  void record(const ProxyRequest& request);
  // Answers a decoded request (required tags are checked when decoding).
  ProxyReply handle(const ProxyRequest& request);

  std::vector<ProxyRequest> history();
  ProxyStateView view();

  // The key of the VM on one side of a pair: its identifier in hex when
  // known, else "pair<N>/head" or "pair<N>/tail".
  static std::string vmKey(const ProxyPair& pair, bool tail);

 private:
  class Timer;

  ProxyPair& pairFor(int id);
  void report(int pairId, int status, const std::string& message, int eventId);
  void startSync(ProxyPair& pair);
  void markRunning(ProxyPair& pair);
  void stopPair(ProxyPair& pair, bool reportStop);
  bool workflowOwnsStatus(int pairId);
  uint64_t markerSeq();
  uint64_t lastSeq(const BlrUUID& vm);

  static const Behaviour kBehaviours[];
  ProxyReply applyRepCfg(const ProxyRequest& r);
  ProxyReply cleanupPairs(const ProxyRequest& r);
  ProxyReply pairOp(const ProxyRequest& r);
  ProxyReply powerOnOff(const ProxyRequest& r);
  void bootTestVm(const std::string& vm);
  ProxyReply testBootCrossing(const ProxyRequest& r);
  ProxyReply testBootCrossed(const ProxyRequest& r);
  ProxyReply deleteSnap(const ProxyRequest& r);

  ProxyReporter* reporter_;
  std::unique_ptr<Timer> timer_;
  std::mutex mu_;
  ProxySettings settings_;
  ProxyStateView state_;
  std::deque<ProxyRequest> history_;  // the latest kHistoryLength requests
  uint64_t startSeq_;
  uint64_t lastMarker_ = 0;
};

#endif  // TOOLS_PROXY_PROXYSTATE_H

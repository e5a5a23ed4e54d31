// Behaviour settings and injected faults of the replication-service
// simulator, from the command line and from a control file that is re-read
// whenever it changes.
//
// Fault: "<operation>=<action>".  The operation is a message id (1-20), a
// message name with or without "BLR_CTRL_MSG_", or a pair operation name
// with or without "BLR_CTRL_PAIROP_" (matching message 8 with that
// operation); names are case-insensitive.  Actions:
//   fail:<code>[:<text>]  answer with that error
//   delay:<ms>            answer normally after that pause
//   drop                  close the connection without answering
//   hang                  never answer (until the client goes or the server stops)
//   lose[:<n>]            act on the request, then close the connection without
//                         answering (the next n such requests; every one without n)
//   malformed             answer with a payload that can't be decoded
//   truncated             answer with a payload that ends inside an element
//   empty                 answer with an empty payload (every result reads as 0)
//   none                  no fault (clears one set earlier)
//
// Control file, one command per line ('#' starts a comment):
//   fault <fault>
//   set <setting> <value>
//   vm <vm> on|off        power state of a VM ("<uuid>" or "pair<N>/head|tail")
// Settings: sync-delay-ms (a started pair reports status 4 this long after 3;
// -1 never), flush-delay-ms (how far the Tail lags behind the Head's sequence
// numbers; -1: markers never arrive), missing-vm (on: started pairs report
// event 39452812 and stay synchronising), report-every-stop (on: a stop
// reports 6 also while a recovery workflow owns the pair's status, as a real
// service may), head-vm-power and tail-vm-power (on|off: the power state of
// VMs not seen before), test-vm-boot-ms (a test VM powered on during a test
// boot reports on this long after; -1 never).
#ifndef TOOLS_PROXY_PROXYCONFIG_H
#define TOOLS_PROXY_PROXYCONFIG_H

#include <sys/types.h>

#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/base/CZuError.h"

struct ProxySettings {
  int syncDelayMs = 5000;
  int flushDelayMs = 2000;
  bool missingVm = false;
  bool reportEveryStop = false;
  bool headVmPower = true;
  bool tailVmPower = false;
  int testVmBootMs = 1000;
  std::map<std::string, bool> vmPower;  // VM key -> powered on

  // Applies "<setting> <value>"; fails on an unknown setting or bad value.
  CZuError set(const std::string& name, const std::string& value);
};

struct ProxyFault {
  enum Action { kNone, kFail, kDelay, kDrop, kHang, kLose, kMalformed, kTruncated, kEmpty };
  Action action = kNone;
  int code = 0;
  std::string text;
  int delayMs = 0;
  int times = 0;  // requests it applies to; 0: every one
};

// Which requests a fault applies to: a message, or one pair operation.
struct ProxyFaultKey {
  int msgId = 0;
  int pairOp = 0;  // 0: every request of msgId
  bool operator<(const ProxyFaultKey& o) const {
    return msgId != o.msgId ? msgId < o.msgId : pairOp < o.pairOp;
  }
};

using ProxyFaults = std::map<ProxyFaultKey, ProxyFault>;

CZuError proxyParseFault(const std::string& text, ProxyFaultKey* key, ProxyFault* fault);

// The fault for a request: its pair operation's if set, else its message's.
ProxyFault proxyFindFault(const ProxyFaults& faults, int msgId, int pairOp);

// Command-line settings and faults, overlaid by the control file.
class ProxyControl {
 public:
  ProxyControl(const ProxySettings& settings, const ProxyFaults& faults,
               const std::string& controlFile);

  // Re-reads the control file when it changed (or appeared, or vanished);
  // true when the effective settings or faults may have changed.  A file
  // that can't be parsed is reported once and leaves the previous overlay.
  bool refresh(CZuError* problem);

  ProxySettings settings();
  ProxyFaults faults();
  // The fault for a request (proxyFindFault), counting it against its times.
  ProxyFault take(int msgId, int pairOp);
  // Changes made in-process (tests): applied under the file's overlay.
  void setFault(const ProxyFaultKey& key, const ProxyFault& fault);
  void clearFaults();
  void updateSettings(const ProxySettings& settings);

 private:
  struct Stamp {
    bool exists = false;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    bool operator==(const Stamp& o) const;
  };
  void rebuild();

  std::mutex mu_;
  std::string path_;
  Stamp stamp_;
  ProxySettings baseSettings_;
  ProxyFaults baseFaults_;
  std::vector<std::string> fileLines_;  // commands of the last good read
  ProxySettings settings_;
  ProxyFaults faults_;
  std::map<ProxyFaultKey, int> used_;  // of faults with times, since the last rebuild
};

// Applies control-file text to settings and faults; fails naming the line.
CZuError proxyApplyControl(const std::vector<std::string>& lines, ProxySettings* settings,
                           ProxyFaults* faults);

#endif  // TOOLS_PROXY_PROXYCONFIG_H

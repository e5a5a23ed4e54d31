// Admission of a server's connections, so that no peer can starve the others.
//
// A connection is pending from accept until it has authenticated: pending
// connections are bounded in total and per source address, and never take a
// serving slot.  An authenticated connection takes one of `maxConnections`
// slots; when all are taken, the connection idle the longest is closed to make
// room, and only when every slot is busy does the newcomer wait.
//
// Each connection owns a timer descriptor that serves as the cancel descriptor
// of its socket (krpSetCancelFd): it fires at the deadline the server arms, when
// the connection is evicted, and when the gate closes.
#ifndef HOST_DWCONNGATE_H
#define HOST_DWCONNGATE_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/base/CZuError.h"

struct DwConnLimits {
  int maxConnections = 64;        // authenticated connections served at once
  int maxPending = 128;           // connections not yet authenticated
  int maxPendingPerAddress = 16;  // of those, from one source address
};

class DwConnGate {
 public:
  class Conn;
  using ConnPtr = std::shared_ptr<Conn>;

  struct Stats {
    uint64_t shed = 0;     // closed at accept: pending limits reached
    uint64_t evicted = 0;  // idle connections closed to make room
    uint64_t unseated = 0; // authenticated but no slot freed in time
  };

  explicit DwConnGate(const DwConnLimits& limits) : limits_(limits) {}
  DwConnGate(const DwConnGate&) = delete;
  DwConnGate& operator=(const DwConnGate&) = delete;

  // A pending connection from `address`, or null when the limits refuse it or
  // the gate is closed.  `err` tells why a timer couldn't be made.
  ConnPtr admit(const std::string& address, CZuError* err);
  // Moves an authenticated connection into a slot, evicting the longest idle
  // connection when all are taken; waits up to `waitMs` while every slot is
  // busy.  False when no slot could be had or the connection was cancelled.
  bool seat(const ConnPtr& conn, int waitMs);
  // Marks a seated connection idle (between requests) or busy.  Going busy
  // fails when the connection was evicted or the gate closed meanwhile.
  bool setIdle(const ConnPtr& conn, bool idle);
  // The connection has ended: frees its pending place or its slot.
  void leave(const ConnPtr& conn);
  // Cancels every connection and refuses new ones.
  void close();

  Stats stats();
  int seated();
  // The source address of a connected socket, as text.
  static std::string peerAddress(int fd);
  int pending();

 private:
  bool evictIdleLocked();
  void leavePendingLocked(Conn* conn);  // under both locks

  DwConnLimits limits_;
  std::mutex mu_;
  std::condition_variable cv_;  // a slot was freed
  std::list<ConnPtr> conns_;
  std::map<std::string, int> pendingByAddress_;
  int pending_ = 0;
  int seated_ = 0;
  bool closed_ = false;
  Stats stats_;
};

class DwConnGate::Conn {
 public:
  ~Conn();
  const std::string& address() const { return address_; }
  // Readable once cancelled or past the armed deadline.
  int cancelFd() const { return timerFd_; }
  // Fires the cancel descriptor `ms` from now, unless already cancelled.
  void armDeadline(int ms);
  void disarm();
  bool deadlinePassed();
  bool cancelled();  // evicted or the gate closed

 private:
  friend class DwConnGate;
  using Clock = std::chrono::steady_clock;
  Conn(std::string address, int timerFd) : address_(std::move(address)), timerFd_(timerFd) {}
  void fireNow();  // under the gate's lock

  std::string address_;
  int timerFd_;
  std::mutex mu_;
  bool cancelled_ = false;
  bool pending_ = false;
  bool seated_ = false;
  bool idle_ = false;
  Clock::time_point idleSince_;
  Clock::time_point deadline_ = Clock::time_point::max();
};

// A client's side of shedding: runs `attempt` again while it fails because
// the peer closed the connection before the handshake (ECONNRESET, EPIPE),
// up to five times in all, after growing, jittered pauses (within 1.5 s).
CZuError dwRetryWhileShed(const std::function<CZuError()>& attempt);

#endif  // HOST_DWCONNGATE_H

// Admission of a server's connections, so that no crowd of peers, from any
// number of source addresses, can starve the others.
//
// A connection is pending from the moment it has something to say until it
// has authenticated.  Pending connections share `maxPending` places fairly
// among their source addresses (DwFairShare.h): when the places run out, the
// oldest pending connection of the address holding most is closed for a
// newcomer from an address holding fewer; only an address holding its
// `maxPendingPerAddress`, or as many as any other, is turned away, before
// its handshake, which a client may retry.  An authenticated connection takes
// one of `maxConnections` slots; when all are taken, the connection idle the
// longest is closed to make room, and only when every slot is busy does the
// newcomer wait.  Of the connections idle under one certificate name, at most
// `maxIdlePerName` stay open: beyond that the least recently used is closed.
// A connection receiving a request counts as idle until the request is whole,
// so that a peer trickling requests holds nothing a newcomer needs.
//
// Each connection owns a timer descriptor that serves as the cancel descriptor
// of its socket (krpSetCancelFd): it fires at the deadline the server arms, when
// the connection is closed to make room, and when the gate closes.
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
#include "host/link/DwFairShare.h"

struct DwConnLimits {
  int maxConnections = 64;        // authenticated connections served at once
  int maxPending = 128;           // connections in their handshake
  int maxPendingPerAddress = 16;  // of those, from one source address
  int maxSilent = 4096;           // accepted connections that have sent nothing yet
  int maxIdlePerName = 32;        // idle authenticated connections of one certificate name
};

class DwConnGate {
 public:
  class Conn;
  using ConnPtr = std::shared_ptr<Conn>;

  struct Stats {
    uint64_t shed = 0;      // turned away, or closed for newer ones: pending places taken
    uint64_t evicted = 0;   // idle connections closed to make room
    uint64_t unseated = 0;  // authenticated but no slot freed in time
    uint64_t crowded = 0;   // idle connections beyond their name's share, closed
  };

  explicit DwConnGate(const DwConnLimits& limits);
  DwConnGate(const DwConnGate&) = delete;
  DwConnGate& operator=(const DwConnGate&) = delete;

  // A pending connection from `address`, closing an older pending one when
  // the places are taken; null when its address is refused, when the gate is
  // closed, or when `err` tells why a timer couldn't be made.
  ConnPtr admit(const std::string& address, CZuError* err);
  // Moves a connection authenticated as `name` into a slot, evicting the
  // longest idle connection when all are taken; waits up to `waitMs` while
  // every slot is busy.  False when no slot could be had or the connection
  // was cancelled.
  bool seat(const ConnPtr& conn, const std::string& name, int waitMs);
  // Marks a seated connection idle (between requests, or while one arrives)
  // or busy; marking it idle again counts as a use.  Fails when the
  // connection was closed meanwhile.
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
  // Under mu_ and the connection's own lock.
  void unseatLocked(Conn* conn);
  void leavePendingLocked(Conn* conn);
  // Under mu_.
  bool evictIdleLocked(const std::string* name);

  DwConnLimits limits_;
  std::mutex mu_;
  std::condition_variable cv_;  // a slot was freed
  std::list<ConnPtr> conns_;
  DwFairShare<Conn*> pending_;
  std::map<std::string, int> idleByName_;
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
  void cancelLocked();  // under its own lock

  std::string address_;
  int timerFd_;
  std::mutex mu_;
  std::string name_;  // once seated
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

// Takes the connections of a server's listening sockets and holds each one,
// without a thread, until it has something to say; only then is it handed to
// the server.  A peer that opens connections and stays silent costs the
// server a descriptor, never a thread or a place in its handshakes.
//
// Silent connections share `maxSilent` places (at most half the process's
// descriptors) fairly among their source
// addresses (DwFairShare.h): when they run out, the oldest of the address
// holding most is closed for a newcomer from an address holding fewer; a
// newcomer from an address holding as many as any other is closed at once.  A connection silent for
// `silentMs` is closed.  When the process runs out of descriptors, the oldest
// silent connection of the address holding most is closed to take the
// newcomer; when none is silent, the newcomer is closed at once, so that
// accepting never stops and never spins.
#ifndef HOST_DWACCEPTOR_H
#define HOST_DWACCEPTOR_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/base/CZuError.h"
#include "host/link/DwFairShare.h"

class DwAcceptor {
 public:
  struct Stats {
    uint64_t accepted = 0;  // TCP connections taken
    uint64_t shed = 0;      // silent connections closed, or turned away, for want of places
    uint64_t late = 0;      // silent connections closed at their deadline
  };
  // Told each connection that spoke (or closed after speaking) on the
  // acceptor's thread, with its source address and when it was accepted;
  // takes the descriptor over.
  using Handoff = std::function<void(int fd, const std::string& address,
                                     std::chrono::steady_clock::time_point accepted)>;

  DwAcceptor() = default;
  ~DwAcceptor();  // stops
  DwAcceptor(const DwAcceptor&) = delete;
  DwAcceptor& operator=(const DwAcceptor&) = delete;

  // Listens on `listenFds` (owned by the caller, open until stop returns).
  CZuError start(const std::vector<int>& listenFds, int maxSilent, int silentMs, Handoff handoff);
  // Returns once the handoff is no more called; closes the silent connections.
  void stop();
  Stats stats();

 private:
  using Clock = std::chrono::steady_clock;
  struct Silent {
    int fd;
    std::string address;
    Clock::time_point accepted;
    Clock::time_point deadline;
  };

  void loop();
  void acceptFrom(int listenFd);
  bool takeDescriptor(int listenFd, int* fd);
  void spoke(uint64_t id, bool hungUp);
  void drop(std::map<uint64_t, Silent>::iterator it);
  void shed(std::map<uint64_t, Silent>::iterator it);
  void countShed();
  void expire();
  int msToNextDeadline() const;

  std::vector<int> listenFds_;
  int silentMs_ = 0;
  Handoff handoff_;
  int epoll_ = -1;
  int stopFd_ = -1;   // an eventfd, readable once stop begins
  int spareFd_ = -1;  // given up to accept a connection when descriptors run out
  std::thread thread_;

  // The acceptor's thread only, but for stats.
  std::map<uint64_t, Silent> silent_;  // ordered by id, so by deadline
  DwFairShare<uint64_t> share_{1, 1};
  uint64_t nextId_ = 0;
  std::mutex statsMu_;
  Stats stats_;
};

#endif  // HOST_DWACCEPTOR_H

// An attack on a server's listeners, held open while a good client works:
// plain TCP sockets that never speak TLS, authenticated connections left
// idle, and authenticated connections that trickle one request a byte at a
// time.  Each kind comes from loopback source addresses of its own, so that a
// good client on 127.0.0.1 is not counted with them.
#ifndef BLR_TESTS_SUPPORT_LINKATTACK_H
#define BLR_TESTS_SUPPORT_LINKATTACK_H

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/RawPeers.h"

class LinkAttack {
 public:
  struct Target {
    int port;
    bool control;  // trickles a control message header instead of a link frame
  };
  struct Counts {
    int unauthenticated = 1000;
    int idle = 200;
    int trickling = 20;
  };

  // Spreads each kind over the targets in turn.
  LinkAttack(const std::vector<Target>& targets, std::shared_ptr<TlsContext> tls, Counts counts) {
    for (int i = 0; i < counts.unauthenticated; ++i) {
      const Target& t = targets[i % targets.size()];
      std::string source = "127.0.0." + std::to_string(2 + i % 4);
      open_.push_back(std::make_unique<RawPeer>("127.0.0.1", t.port, source));
    }
    for (int i = 0; i < counts.trickling; ++i) {
      const Target& t = targets[i % targets.size()];
      auto peer = std::make_unique<RawPeer>("127.0.0.1", t.port, "127.0.0.7");
      if (peer->authenticate(tls).IsError()) continue;
      trickling_.push_back({std::move(peer), t.control});
    }
    for (int i = 0; i < counts.idle; ++i) {
      const Target& t = targets[i % targets.size()];
      auto peer = std::make_unique<RawPeer>("127.0.0.1", t.port, "127.0.0.6");
      if (!peer->authenticate(tls).IsError()) ++idleAuthenticated_;
      open_.push_back(std::move(peer));
    }
    trickler_ = std::thread([this] { trickle(); });
  }
  ~LinkAttack() {
    stop_ = true;
    trickler_.join();
  }
  LinkAttack(const LinkAttack&) = delete;
  LinkAttack& operator=(const LinkAttack&) = delete;

  int idleAuthenticated() const { return idleAuthenticated_; }
  int trickling() const { return static_cast<int>(trickling_.size()); }

 private:
  struct Trickler {
    std::unique_ptr<RawPeer> peer;
    bool control;
    size_t sent = 0;
  };

  // One byte on each connection every 200 ms: a request of 1000 bytes that
  // would take minutes to arrive.
  void trickle() {
    const unsigned char link[] = {'D', 'L', 'K', 1, 0, 0, 0x03, 0xE8};
    const unsigned char control[] = {0, 0, 0, 1, 0, 0, 0x03, 0xF0};
    while (!stop_) {
      for (Trickler& t : trickling_) {
        const unsigned char* header = t.control ? control : link;
        unsigned char byte = t.sent < 8 ? header[t.sent] : 'x';
        CZuError err;
        krpSendMs(t.peer->tls, &byte, 1, 0, &err);
        if (!err.IsError()) ++t.sent;
      }
      for (int i = 0; i < 20 && !stop_; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  std::vector<std::unique_ptr<RawPeer>> open_;
  std::vector<Trickler> trickling_;
  int idleAuthenticated_ = 0;
  std::atomic<bool> stop_{false};
  std::thread trickler_;
};

#endif  // BLR_TESTS_SUPPORT_LINKATTACK_H

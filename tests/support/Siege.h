// A siege of a server's listeners, held while a good client works, as an
// attacker on one machine would lay it: from `addresses` loopback source
// addresses (127.0.0.2 and up, never the good client's 127.0.0.1), plain TCP
// connections that never speak, TLS handshakes left after the ClientHello,
// authenticated connections left idle, and authenticated connections that
// trickle a request a byte at a time.  Connections the server closes are
// opened again, as an attacker keeping up the pressure would.
//
// Against an HTTP listener, the trickled request is a request line followed
// by header bytes, and TLS is not spoken.
#ifndef BLR_TESTS_SUPPORT_SIEGE_H
#define BLR_TESTS_SUPPORT_SIEGE_H

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/RawPeers.h"

class Siege {
 public:
  enum class Kind { kLink, kControl, kHttp };
  struct Target {
    int port;
    Kind kind;
  };
  struct Counts {
    int addresses = 50;
    int silent = 1000;     // plain TCP, never a byte
    int halfOpen = 150;    // a ClientHello, then nothing
    int idle = 200;        // authenticated, then nothing
    int trickling = 20;    // authenticated, then a request a byte at a time
  };

  // Spreads each kind over the targets and the source addresses in turn.
  Siege(const std::vector<Target>& targets, std::shared_ptr<TlsContext> tls, Counts counts)
      : targets_(targets), tls_(std::move(tls)), counts_(counts) {
    // The authenticated connections first, as an attacker holding a
    // certificate would, before the flood that would also hold up its own.
    int n = 0;
    for (int i = 0; i < counts.idle; ++i) {
      if (targets_[n % targets_.size()].kind == Kind::kHttp) ++n;  // speaks no TLS
      Peer p = open(n++, false, true);
      if (p.authenticated) ++idleAuthenticated_;
      idle_.push_back(std::move(p));
    }
    for (int i = 0; i < counts.trickling; ++i) {
      Peer p = open(n++, false, true);
      if (p.authenticated || p.target.kind == Kind::kHttp) trickling_.push_back(std::move(p));
    }
    for (int i = 0; i < counts.silent; ++i) silent_.push_back(open(n++, false, false));
    for (int i = 0; i < counts.halfOpen; ++i) {
      if (targets_[n % targets_.size()].kind == Kind::kHttp) ++n;
      halfOpen_.push_back(open(n++, true, false));
    }
    worker_ = std::thread([this] { keepUp(); });
  }
  ~Siege() {
    stop_ = true;
    worker_.join();
  }
  Siege(const Siege&) = delete;
  Siege& operator=(const Siege&) = delete;

  int idleAuthenticated() const { return idleAuthenticated_; }
  int trickling() const { return static_cast<int>(trickling_.size()); }
  int reopened() const { return reopened_; }

  static std::string source(int n, int addresses) {
    return "127.0.0." + std::to_string(2 + n % std::max(1, std::min(addresses, 250)));
  }

 private:
  struct Peer {
    std::unique_ptr<RawPeer> peer;
    Target target;
    std::string source;
    bool authenticated = false;
    size_t sent = 0;
  };

  Peer open(int n, bool hello, bool authenticate) {
    Peer p;
    p.target = targets_[n % targets_.size()];
    p.source = source(n, counts_.addresses);
    p.peer = std::make_unique<RawPeer>("127.0.0.1", p.target.port, p.source);
    if (hello) p.peer->sendClientHello();
    if (authenticate && p.target.kind != Kind::kHttp)
      p.authenticated = !p.peer->authenticate(tls_).IsError();
    return p;
  }

  // Whether the server closed `fd`, given what poll saw on it.
  static bool closedByServer(int fd, short revents) {
    if (fd < 0) return true;
    if (revents == 0) return false;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
  }

  // Reopens what the server closed, and trickles one byte on each trickling
  // connection, every 200 ms.
  void keepUp() {
    while (!stop_) {
      reopenClosed(&silent_, false);
      reopenClosed(&halfOpen_, true);
      for (Peer& t : trickling_) trickleOne(&t);
      for (int i = 0; i < 20 && !stop_; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // One poll over all of them: the attacker's own work stays small, as it
  // would on a machine of its own.
  void reopenClosed(std::vector<Peer>* peers, bool hello) {
    std::vector<pollfd> polled;
    polled.reserve(peers->size());
    for (const Peer& p : *peers) polled.push_back(pollfd{p.peer->fd, POLLIN, 0});
    if (::poll(polled.data(), polled.size(), 0) < 0) return;
    for (size_t i = 0; i < peers->size(); ++i) {
      if (stop_) return;
      Peer& p = (*peers)[i];
      if (!closedByServer(p.peer->fd, polled[i].revents)) continue;
      p.peer = std::make_unique<RawPeer>("127.0.0.1", p.target.port, p.source);
      if (hello) p.peer->sendClientHello();
      ++reopened_;
    }
  }

  static void trickleOne(Peer* t) {
    static const unsigned char link[] = {'D', 'L', 'K', 1, 0, 0, 0x03, 0xE8};
    static const unsigned char control[] = {0, 0, 0, 1, 0, 0, 0x03, 0xF0};
    static const std::string http = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
    unsigned char byte = 'x';
    if (t->target.kind == Kind::kHttp) {
      byte = t->sent < http.size() ? http[t->sent] : 'x';
      if (::send(t->peer->fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++t->sent;
      return;
    }
    const unsigned char* header = t->target.kind == Kind::kControl ? control : link;
    if (t->sent < 8) byte = header[t->sent];
    CZuError err;
    krpSendMs(t->peer->tls, &byte, 1, 0, &err);
    if (!err.IsError()) ++t->sent;
  }

  std::vector<Target> targets_;
  std::shared_ptr<TlsContext> tls_;
  Counts counts_;
  std::vector<Peer> silent_, halfOpen_, idle_, trickling_;
  int idleAuthenticated_ = 0;
  std::atomic<int> reopened_{0};
  std::atomic<bool> stop_{false};
  std::thread worker_;
};

// Times `count` runs of `request`: each must succeed.  p50 and p99 in ms.
struct Latency {
  double p50 = 0, p99 = 0;
  int failures = 0;
  std::string firstFailure;
};

inline Latency timeRequests(int count, const std::function<CZuError()>& request) {
  std::vector<double> ms;
  Latency out;
  for (int i = 0; i < count; ++i) {
    auto begin = std::chrono::steady_clock::now();
    CZuError err = request();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
                     .count());
    if (err.IsError() && out.failures++ == 0) out.firstFailure = err.AsString();
  }
  std::sort(ms.begin(), ms.end());
  out.p50 = ms[ms.size() / 2];
  out.p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  return out;
}

#endif  // BLR_TESTS_SUPPORT_SIEGE_H

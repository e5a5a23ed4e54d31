// Authenticated connections to link servers, kept open between requests so
// that a request does not pay for a TLS handshake.  Process-wide; connections
// are keyed by server address, expected server name and TLS context, and each
// is used by one request at a time.
#ifndef HOST_DWLINKPOOL_H
#define HOST_DWLINKPOOL_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/base/CZuError.h"
#include "host/link/DwLinkConfig.h"

struct KrpSocket;

class DwLinkPool {
 public:
  struct Stats {
    uint64_t connects = 0;  // new connections authenticated
    uint64_t reuses = 0;    // requests sent on an idle connection
    uint64_t replaced = 0;  // requests re-sent after a reused connection broke
  };

  static DwLinkPool& instance();

  // Told each answer frame's payload; sets `more` when further frames of the
  // same answer follow.  An error ends the exchange and drops the connection.
  using FrameFn = std::function<CZuError(std::string& payload, bool* more)>;

  // Sends one request frame to `server` and receives the answer's frames.  A reused
  // connection that turns out closed before any answer arrived is replaced by
  // a new one and the request sent again, once.  `sent` tells whether the
  // failure came after the request was sent.
  CZuError exchange(const DwLinkClientConfig& config, const DwLinkAddress& server,
                    const std::string& frame, const FrameFn& onFrame, bool* sent);

  // Which of a list of servers (named by `servers`, any text) a request
  // tries first: the one that answered last, so that the clients of a
  // process stay together on one server while it answers.
  size_t preferred(const std::string& servers);
  void prefer(const std::string& servers, size_t index);

  // Closes every idle connection.
  void clear();
  Stats stats();
  size_t idleCount();

 private:
  struct Idle {
    std::string key;
    std::shared_ptr<TlsContext> tls;  // keeps the key's context alive
    KrpSocket* socket;
    time_t since;
  };

  DwLinkPool() = default;
  KrpSocket* takeIdle(const std::string& key, int maxIdleSecs);
  void putIdle(const std::string& key, const DwLinkClientConfig& config, KrpSocket* socket);
  CZuError connect(const DwLinkClientConfig& config, const DwLinkAddress& server, KrpSocket** out);

  std::mutex mu_;
  std::list<Idle> idle_;  // most recently used first
  std::map<std::string, size_t> preferred_;
  Stats stats_;
};

#endif  // HOST_DWLINKPOOL_H

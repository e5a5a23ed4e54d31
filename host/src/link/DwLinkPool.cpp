#include "host/link/DwLinkPool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "host/base/DwClock.h"
#include "host/link/DwConnGate.h"
#include "host/link/DwLinkFrame.h"
#include "host/net/DwTcp.h"
#include "host/tls/KrpSocket.h"
#include "host/tls/TlsContext.h"

namespace {

std::string poolKey(const DwLinkClientConfig& c, const DwLinkAddress& server) {
  char tls[32];
  std::snprintf(tls, sizeof tls, "%p", static_cast<void*>(c.tls.get()));
  return server.text() + "|" + c.serverName + "|" + tls;
}

// Waits for the first bytes of the answer: the server works on the request
// meanwhile, so a read tried at once would only find nothing.  The rest of
// `*leftMs` stays for reading the frame.
CZuError awaitAnswer(KrpSocket* s, int* leftMs) {
  const auto start = std::chrono::steady_clock::now();
  DwWait w;
  CZuError err = krpWaitReadable(s, *leftMs, &w);
  if (!err.IsError() && w == DwWait::kTimeout)
    err = FXErrorUtil::ErrorInt(FXLOC, ETIMEDOUT, "no answer within %d ms", *leftMs);
  if (!err.IsError() && w == DwWait::kCancelled)
    err = FXErrorUtil::ErrorInt(FXLOC, ECANCELED, "cancelled");
  if (err.IsError()) return err.Push(FXLOC, "Couldn't receive link frame header");
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  *leftMs = std::max(1, *leftMs - static_cast<int>(waited.count()));
  return CZuError();
}

bool closedByPeer(const CZuError& err) {
  int code = FXErrorUtil::GetInt(err);
  return code == ECONNRESET || code == EPIPE;
}

}  // namespace

DwLinkPool& DwLinkPool::instance() {
  // Never destroyed: idle sockets must not be torn down after TLS cleanup at exit.
  static DwLinkPool* pool = new DwLinkPool;
  return *pool;
}

CZuError DwLinkPool::exchange(const DwLinkClientConfig& config, const DwLinkAddress& server,
                              const std::string& frame, const FrameFn& onFrame, bool* sent) {
  std::string key = poolKey(config, server);
  *sent = false;
  for (int attempt = 0;; ++attempt) {
    KrpSocket* s = takeIdle(key, config.poolIdleSecs);
    bool reused = s != nullptr;
    CZuError err;
    if (!reused) err = dwRetryWhileShed([&] { return connect(config, server, &s); });
    if (err.IsError()) return err;
    bool started = false, more = true;
    err = dwLinkSendFrame(s, frame, config.timeoutMs);
    *sent = !err.IsError();
    int firstMs = config.timeoutMs;
    if (!err.IsError()) err = awaitAnswer(s, &firstMs);
    for (bool first = true; !err.IsError() && more; first = false) {
      std::string payload;
      bool frameStarted = false;
      err = dwLinkRecvFrame(s, kDwLinkMaxFrameBytes, first ? firstMs : config.timeoutMs, &payload,
                            &frameStarted);
      started = started || frameStarted || !first;
      if (!err.IsError()) err = onFrame(payload, &more);
    }
    if (!err.IsError()) {
      putIdle(key, config, s);
      return err;
    }
    // Frames may be left unread: the connection can't serve another request.
    krpDestroySocket(s);
    // Only a reused connection that the server had closed while idle is
    // retried: the request never reached a live server then.
    if (!reused || attempt > 0 || started || !closedByPeer(err)) return err;
    std::lock_guard<std::mutex> lock(mu_);
    ++stats_.replaced;
  }
}

CZuError DwLinkPool::connect(const DwLinkClientConfig& config, const DwLinkAddress& server,
                             KrpSocket** out) {
  if (!config.tls)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't connect to central server: no TLS context");
  CZuSocket sock;
  const int connectMs = config.connectTimeoutMs > 0 ? config.connectTimeoutMs : config.timeoutMs;
  CZuError err = dwTcpConnect(server.host, server.port, connectMs, &sock);
  if (err.IsError()) return err;
  KrpSocket* s = nullptr;
  err = krpInitSocketWithContext(sock, KRP_INIT_DEFAULT, config.tls, &s);
  if (err.IsError()) return err;
  std::shared_ptr<KRP_Cert> peer;
  err = krpSetRemoteClientName(s, config.serverName);
  if (!err.IsError()) err = krpSetDialledHost(s, server.host);
  if (!err.IsError()) err = krpAuthSocketMs(s, KRP_ROLE_CLIENT, &peer, config.authTimeoutMs);
  if (!err.IsError()) err = dwLinkCheckPeerKind(*peer, config.allowBuiltinCerts);
  if (!err.IsError() && !peer->nameMatches())
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "Server authenticated as %s, expected %s",
                                peer->clientName.c_str(), config.serverName.c_str());
  if (err.IsError()) {
    krpDestroySocket(s);
    return err.Push(FXLOC, "Couldn't set up secure connection to %s", server.text().c_str());
  }
  std::lock_guard<std::mutex> lock(mu_);
  ++stats_.connects;
  *out = s;
  return CZuError();
}

// The most recently used connection of `key` that is still alive.  The
// liveness check polls the socket, so it runs outside the lock, which every
// request of the process takes.
KrpSocket* DwLinkPool::takeIdle(const std::string& key, int maxIdleSecs) {
  const time_t now = DwClock::current()->now();
  for (;;) {
    KrpSocket* candidate = nullptr;
    bool fresh = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = std::find_if(idle_.begin(), idle_.end(), [&](const Idle& i) { return i.key == key; });
      if (it == idle_.end()) return nullptr;
      candidate = it->socket;
      fresh = now - it->since < maxIdleSecs;
      idle_.erase(it);
    }
    if (fresh && krpIsIdleAlive(candidate)) {
      std::lock_guard<std::mutex> lock(mu_);
      ++stats_.reuses;
      return candidate;
    }
    krpDestroySocket(candidate);
  }
}

void DwLinkPool::putIdle(const std::string& key, const DwLinkClientConfig& config,
                         KrpSocket* socket) {
  KrpSocket* evicted = socket;
  {
    std::lock_guard<std::mutex> lock(mu_);
    size_t kept = 0;
    for (const Idle& i : idle_) kept += i.key == key;
    if (kept < static_cast<size_t>(config.poolSize)) {
      idle_.push_front(Idle{key, config.tls, socket, DwClock::current()->now()});
      evicted = nullptr;
    }
  }
  krpDestroySocket(evicted);
}

size_t DwLinkPool::preferred(const std::string& servers) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = preferred_.find(servers);
  return it == preferred_.end() ? 0 : it->second;
}

void DwLinkPool::prefer(const std::string& servers, size_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  preferred_[servers] = index;
}

void DwLinkPool::clear() {
  std::list<Idle> all;
  {
    std::lock_guard<std::mutex> lock(mu_);
    all.swap(idle_);
  }
  for (Idle& i : all) krpDestroySocket(i.socket);
}

DwLinkPool::Stats DwLinkPool::stats() {
  std::lock_guard<std::mutex> lock(mu_);
  return stats_;
}

size_t DwLinkPool::idleCount() {
  std::lock_guard<std::mutex> lock(mu_);
  return idle_.size();
}

#include "host/DwLinkPool.h"

#include <cerrno>
#include <cstdio>

#include "host/DwClock.h"
#include "host/DwConnGate.h"
#include "host/DwLinkFrame.h"
#include "host/DwTcp.h"
#include "host/KrpSocket.h"
#include "host/TlsContext.h"

namespace {

std::string poolKey(const DwLinkClientConfig& c) {
  char tls[32];
  std::snprintf(tls, sizeof tls, "%p", static_cast<void*>(c.tls.get()));
  return c.host + "|" + std::to_string(c.port) + "|" + c.serverName + "|" + tls;
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

CZuError DwLinkPool::exchange(const DwLinkClientConfig& config, const std::string& frame,
                              const FrameFn& onFrame, bool* sent) {
  std::string key = poolKey(config);
  *sent = false;
  for (int attempt = 0;; ++attempt) {
    KrpSocket* s = takeIdle(key, config.poolIdleSecs);
    bool reused = s != nullptr;
    CZuError err;
    if (!reused) err = dwRetryWhileShed([&] { return connect(config, &s); });
    if (err.IsError()) return err;
    bool started = false, more = true;
    err = dwLinkSendFrame(s, frame, config.timeoutMs);
    *sent = !err.IsError();
    for (bool first = true; !err.IsError() && more; first = false) {
      std::string payload;
      bool frameStarted = false;
      err = dwLinkRecvFrame(s, kDwLinkMaxFrameBytes, config.timeoutMs, &payload, &frameStarted);
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

CZuError DwLinkPool::connect(const DwLinkClientConfig& config, KrpSocket** out) {
  if (!config.tls)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't connect to central server: no TLS context");
  CZuSocket sock;
  const int connectMs = config.connectTimeoutMs > 0 ? config.connectTimeoutMs : config.timeoutMs;
  CZuError err = dwTcpConnect(config.host, config.port, connectMs, &sock);
  if (err.IsError()) return err;
  KrpSocket* s = nullptr;
  err = krpInitSocketWithContext(sock, KRP_INIT_DEFAULT, config.tls, &s);
  if (err.IsError()) return err;
  std::shared_ptr<KRP_Cert> peer;
  err = krpSetRemoteClientName(s, config.serverName);
  if (!err.IsError()) err = krpAuthSocketMs(s, KRP_ROLE_CLIENT, &peer, config.authTimeoutMs);
  if (!err.IsError()) err = dwLinkCheckPeerKind(*peer, config.allowBuiltinCerts);
  if (!err.IsError() && !peer->nameMatches())
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "Server authenticated as %s, expected %s",
                                peer->clientName.c_str(), config.serverName.c_str());
  if (err.IsError()) {
    krpDestroySocket(s);
    return err.Push(FXLOC, "Couldn't set up secure connection to %s:%d", config.host.c_str(),
                    config.port);
  }
  std::lock_guard<std::mutex> lock(mu_);
  ++stats_.connects;
  *out = s;
  return CZuError();
}

KrpSocket* DwLinkPool::takeIdle(const std::string& key, int maxIdleSecs) {
  time_t now = DwClock::current()->now();
  std::list<Idle> stale;
  KrpSocket* found = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = idle_.begin(); it != idle_.end() && found == nullptr;) {
      auto next = std::next(it);
      if (it->key == key) {
        if (now - it->since < maxIdleSecs && krpIsIdleAlive(it->socket)) {
          found = it->socket;
          ++stats_.reuses;
        }
        stale.splice(stale.end(), idle_, it);
      }
      it = next;
    }
  }
  for (Idle& i : stale)
    if (i.socket != found) krpDestroySocket(i.socket);
  return found;
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

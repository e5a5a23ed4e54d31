#include "host/DwLinkServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "host/DwLinkFrame.h"
#include "host/DwLinkSvc.h"
#include "host/DwTcp.h"
#include "host/EvDebug.h"
#include "host/KrpPeerPolicy.h"
#include "host/KrpSocket.h"
#include "host/TlsContext.h"

DwLinkServer::~DwLinkServer() { stop(); }

CZuError DwLinkServer::start(const DwLinkServerConfig& config) {
  if (acceptThread_.joinable())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start link server: already running");
  if (!config.tls || config.maxConnections < 1)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start link server: %s",
                                 config.tls ? "no connection allowed" : "no TLS context");
  CZuError err = dwTcpListen(config.address, config.port, 128, &listen_, &port_);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't start link server");
  if (::pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    int e = errno;
    listen_.Close();
    return FXErrorUtil::ErrorErrNo(FXLOC, e, "Couldn't start link server");
  }
  config_ = config;
  stopping_ = false;
  acceptThread_ = std::thread(&DwLinkServer::acceptLoop, this);
  return CZuError();
}

void DwLinkServer::stop() {
  if (!acceptThread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  char byte = 1;
  while (::write(stopPipe_[1], &byte, 1) < 0 && errno == EINTR) {
  }
  cv_.notify_all();
  acceptThread_.join();
  listen_.Close();
  workers_.joinAll();
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
  stopPipe_[0] = stopPipe_[1] = -1;
}

bool DwLinkServer::stopping() {
  std::lock_guard<std::mutex> lock(mu_);
  return stopping_;
}

DwLinkServer::Stats DwLinkServer::stats() {
  std::lock_guard<std::mutex> lock(mu_);
  return stats_;
}

void DwLinkServer::report(const CZuError& err) {
  if (hook_)
    hook_(err);
  else
    EvDebug().handleMsgEventDebug(-1, "DwLinkServer", 0, nullptr, "%s", err.AsString().c_str());
}

bool DwLinkServer::waitForSlot() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return stopping_ || active_ < config_.maxConnections; });
  return !stopping_;
}

void DwLinkServer::acceptLoop() {
  while (waitForSlot()) {
    workers_.reapDone();
    DwWait w;
    CZuError err = dwWaitFd(listen_.GetDescriptor(), POLLIN, -1, stopPipe_[0], &w);
    if (!err.IsError() && w == DwWait::kCancelled) return;
    int fd = -1;
    if (!err.IsError()) {
      fd = ::accept4(listen_.GetDescriptor(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0 && errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
        err = FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't accept connection");
    }
    if (fd >= 0) err = spawnWorker(CZuSocket(fd));
    if (err.IsError()) {
      report(err);
      dwWaitFd(stopPipe_[0], POLLIN, 100, -1, &w);  // e.g. out of descriptors: don't spin
    }
  }
}

CZuError DwLinkServer::spawnWorker(CZuSocket sock) {
  std::lock_guard<std::mutex> lock(mu_);
  ++stats_.accepted;
  CZuError err = workers_.spawn([this, sock]() mutable { serveConnection(sock); });
  if (!err.IsError()) ++active_;  // the worker can't finish before: it needs the lock
  return err;
}

void DwLinkServer::serveConnection(CZuSocket& sock) {
  KrpSocket* s = nullptr;
  CZuError err = krpInitSocketWithContext(sock, KRP_INIT_DEFAULT, config_.tls, &s);
  sock = CZuSocket();  // the layer's copy owns the connection now
  if (err.IsError()) {
    report(err);
  } else {
    krpSetCancelFd(s, stopPipe_[0]);
    std::shared_ptr<KRP_Cert> peer;
    if (authenticate(s, &peer))
      while (serveOne(s, *peer)) {
      }
    krpDestroySocket(s);
  }
  std::lock_guard<std::mutex> lock(mu_);
  --active_;
  cv_.notify_all();
}

bool DwLinkServer::authenticate(KrpSocket* s, std::shared_ptr<KRP_Cert>* peer) {
  CZuError err = krpAuthSocketMs(s, KRP_ROLE_SERVER, peer, config_.authTimeoutMs);
  if (!err.IsError()) err = dwLinkCheckPeerKind(**peer, config_.allowBuiltinCerts);
  bool nameRefused = false;
  if (!err.IsError() && config_.peers) {
    err = config_.peers->admit((*peer)->clientName);
    nameRefused = err.IsError();  // the policy logs these, once a minute per name
  }
  if (!err.IsError()) return true;
  if (FXErrorUtil::GetInt(err) == ECANCELED) return false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++stats_.refused;
  }
  if (!nameRefused) report(err.Push(FXLOC, "Refused link connection"));
  return false;
}

// Reads one request and answers it; false ends the connection.
bool DwLinkServer::serveOne(KrpSocket* s, const KRP_Cert& peer) {
  DwWait w;
  CZuError err = krpWaitReadable(s, config_.idleTimeoutMs, &w);
  if (err.IsError() || w != DwWait::kReady) return false;
  std::string payload, frame;
  bool started = false;
  err = dwLinkRecvFrame(s, kDwLinkMaxFrameBytes, config_.timeoutMs, &payload, &started);
  if (err.IsError()) {
    int code = FXErrorUtil::GetInt(err);
    if (code == 1) {  // a malformed or oversized frame: say why, then give up the stream
      DwLinkMessage refusal;
      refusal.failure = err.Summary();
      if (!dwLinkEncode(refusal, kDwLinkMaxFrameBytes, &frame).IsError())
        dwLinkSendFrame(s, frame, config_.timeoutMs);
    }
    if (!(code == ECONNRESET && !started) && code != ECANCELED)
      report(err.Push(FXLOC, "Dropped link connection from %s", peer.clientName.c_str()));
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++stats_.requests;
  }
  DwLinkMessage request, response;
  err = dwLinkDecode(payload.data(), payload.size(), &request);
  if (err.IsError())
    response.failure = err.Summary();
  else
    answer(request, peer, &response);
  err = dwLinkEncode(response, kDwLinkMaxFrameBytes, &frame);
  if (err.IsError()) {
    DwLinkMessage tooBig;
    tooBig.failure = err.Summary();
    dwLinkEncode(tooBig, kDwLinkMaxFrameBytes, &frame);
  }
  // The answer of a request being served is sent even while stopping.
  krpSetCancelFd(s, -1);
  err = dwLinkSendFrame(s, frame, config_.timeoutMs);
  krpSetCancelFd(s, stopPipe_[0]);
  if (err.IsError()) {
    report(err.Push(FXLOC, "Couldn't answer %s", peer.clientName.c_str()));
    return false;
  }
  return true;
}

void DwLinkServer::answer(const DwLinkMessage& request, const KRP_Cert& peer,
                          DwLinkMessage* response) {
  DwLinkSvc* svc = config_.service;
  if (svc == nullptr) {
    svc = DwLinkSvc::find(request.name);
    if (svc != nullptr && !svc->acceptsRemote) svc = nullptr;
  } else if (svc->linkName() != request.name) {
    svc = nullptr;
  }
  if (svc == nullptr) {
    response->failure = "No service \"" + request.name + "\" on this server";
    return;
  }
  svc->answer(request.entries, &response->entries, peer.clientName, peer);
}

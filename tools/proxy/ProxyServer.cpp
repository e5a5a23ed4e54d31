#include "ProxyServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrDebug.h"
#include "host/link/DwLinkConfig.h"
#include "host/net/DwTcp.h"
#include "host/tls/KrpPeerPolicy.h"
#include "host/tls/KrpSocket.h"
#include "host/net/ZuFdset.h"

namespace {

constexpr char kService[] = "BlrCtrlSvc";

// A connection that ended because the peer left or the server stops is not
// worth a log line.
bool isQuietEnd(const CZuError& err) {
  return err.Code() == ECONNRESET || err.Code() == ECANCELED;
}

}  // namespace

CZuError ProxyServer::listen(int port, int slot) {
  CZuError err = dwTcpListen(config_.address, port, 512, &listen_[slot], &ports_[slot]);
  if (err.IsError()) err.Push(FXLOC, "Couldn't listen for %s on port %d", kService, port);
  return err;
}

CZuError ProxyServer::start(const ProxyServerConfig& config) {
  if (gate_) return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start proxy: already running");
  if (!config.tls) return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start proxy: no TLS context");
  config_ = config;
  CZuError err = listen(config.port, 0);
  if (!err.IsError() && config.port2 >= 0) err = listen(config.port2, 1);
  if (!err.IsError() && config.dwdPort >= 0) {
    DwLinkServerConfig lookup;
    lookup.address = config.address;
    lookup.port = config.dwdPort;
    lookup.tls = config.tls;
    lookup.allowBuiltinCerts = config.allowBuiltinCerts;
    lookup.authTimeoutMs = config.authTimeoutMs;
    lookup.peers = config.peers;
    lookup.timeoutMs = config.messageTimeoutMs;
    lookup.limits = config.limits;
    lookup.memoryBudgetBytes = config.memoryBudgetBytes;
    responder_ = std::make_unique<DwPortResponder>();
    responder_->table().setPorts(kService, ports_[0], ports_[1]);
    err = responder_->start(lookup);
  }
  if (!err.IsError() && !config.stateFile.empty()) saveState();
  if (!err.IsError() && !config.requestLog.empty()) {
    requestLog_.reset(::open(config.requestLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                             0644));
    if (!requestLog_.valid())
      err = FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't open request log %s",
                                    config.requestLog.c_str());
  }
  if (!err.IsError() && ::pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0)
    err = FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't start proxy");
  if (!err.IsError()) {
    gate_.reset(new DwConnGate(config.limits));
    std::vector<int> listening;
    for (const CZuSocket& l : listen_)
      if (l.IsValid()) listening.push_back(l.GetDescriptor());
    err = acceptor_.start(listening, config.limits.maxSilent, config.authTimeoutMs,
                          [this](int fd, const std::string& address, auto) { spawnWorker(fd, address); });
  }
  if (err.IsError()) {
    responder_.reset();
    requestLog_.reset();
    listen_[0].Close();
    listen_[1].Close();
    gate_.reset();
    closeStopPipe();
    return err;
  }
  return CZuError();
}

void ProxyServer::stop() {
  if (!gate_) return;
  char byte = 1;
  while (::write(stopPipe_[1], &byte, 1) < 0 && errno == EINTR) {
  }
  acceptor_.stop();
  gate_->close();
  if (responder_) responder_->stop();
  listen_[0].Close();
  listen_[1].Close();
  workers_.joinAll();
  gate_.reset();
  closeStopPipe();
}

void ProxyServer::closeStopPipe() {
  for (int& fd : stopPipe_)
    if (fd >= 0) ::close(fd), fd = -1;
}

int ProxyServer::waitForConnections(int n, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return active_ == n; });
  return active_;
}

// A connection that has spoken: it is admitted (closing an older pending
// one if need be) and served on a thread of its own.
void ProxyServer::spawnWorker(int fd, const std::string& address) {
  workers_.reapDone();
  CZuSocket sock(fd);
  CZuError err;
  DwConnGate::ConnPtr conn = gate_->admit(address, &err);
  if (!conn) {  // the gate is closing, or out of timers
    sock.Close();
    if (err.IsError()) blrError("ProxyServer", "%s", err.Summary().c_str());
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  err = workers_.spawn([this, sock, conn]() mutable { serveConnection(sock, conn); });
  if (err.IsError()) {
    blrError("ProxyServer", "%s", err.Summary().c_str());
    gate_->leave(conn);
    sock.Close();
  } else {
    ++active_;  // the worker can't finish before: it needs the lock
  }
}

void ProxyServer::serveConnection(CZuSocket& sock, const DwConnGate::ConnPtr& conn) {
  KrpSocket* s = nullptr;
  CZuError err = krpInitSocketWithContext(sock, KRP_INIT_DEFAULT, config_.tls, &s);
  sock = CZuSocket();  // the layer's copy owns the connection now
  if (!err.IsError()) {
    krpSetCancelFd(s, conn->cancelFd());
    std::shared_ptr<KRP_Cert> peer;
    err = krpAuthSocketMs(s, KRP_ROLE_SERVER, &peer, config_.authTimeoutMs);
    if (!err.IsError()) err = dwLinkCheckPeerKind(*peer, config_.allowBuiltinCerts);
    // A refused name is logged by the policy, at most once a minute.
    bool admitted =
        !err.IsError() && (!config_.peers || !config_.peers->admit(peer->clientName).IsError());
    if (admitted && gate_->seat(conn, peer->clientName, config_.messageTimeoutMs)) {
      blrCtrlDebug("ProxyServer", 2, "Serving %s", peer->clientName.c_str());
      while (serveOne(s, conn)) {
      }
    }
  }
  if (err.IsError() && err.Code() != ECANCELED)
    blrError("ProxyServer", "Refused control connection from %s: %s", conn->address().c_str(),
             err.Summary().c_str());
  krpDestroySocket(s);
  gate_->leave(conn);
  std::lock_guard<std::mutex> lock(mu_);
  --active_;
  cv_.notify_all();
}

void ProxyServer::refreshControl() {
  CZuError problem;
  if (control_->refresh(&problem)) state_->setSettings(control_->settings());
  if (problem.IsError()) blrError("ProxyServer", "%s", problem.Summary().c_str());
}

// Replaces the state file whole, so that a reader never sees half of it.
void ProxyServer::saveState() {
  std::lock_guard<std::mutex> lock(saveMu_);
  std::string temp = config_.stateFile + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << proxyStateText(state_->view());
    if (!out.flush()) {
      blrError("ProxyServer", "Couldn't write %s", temp.c_str());
      return;
    }
  }
  if (std::rename(temp.c_str(), config_.stateFile.c_str()) != 0)
    blrError("ProxyServer", "Couldn't replace %s: %s", config_.stateFile.c_str(), strerror(errno));
}

// One line per request, written whole (O_APPEND), so that the logs of
// several proxies may share a file: microseconds of the wall clock, the
// message id, the pair operation, the pair and the VM.
void ProxyServer::logRequest(const ProxyRequest& r) {
  const long long us = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  char line[128];
  int n = std::snprintf(line, sizeof line, "%lld msg=%d op=%d pair=%d vm=%s\n", us, r.msgId,
                        r.pairOp, r.pairId, r.vm.toHex().c_str());
  if (::write(requestLog_.get(), line, static_cast<size_t>(n)) != n)
    blrError("ProxyServer", "Couldn't write request log %s", config_.requestLog.c_str());
}

// Waits out a delay or a hang; false when the connection is to end.
bool ProxyServer::applyFault(KrpSocket* s, const ProxyFault& fault) {
  DwWait w;
  switch (fault.action) {
    case ProxyFault::kDrop:
      return false;
    case ProxyFault::kHang:
      krpWaitReadable(s, -1, &w);  // until the client sends, leaves, or the server stops
      return false;
    case ProxyFault::kDelay:
      dwWaitFd(stopPipe_[0], POLLIN, fault.delayMs, -1, &w);
      return w == DwWait::kTimeout;
    default:
      return true;
  }
}

// Reads one request and answers it; false ends the connection.
// The connection counts as idle until a request is whole, so that one
// trickling in holds nothing a newcomer needs.
bool ProxyServer::serveOne(KrpSocket* s, const DwConnGate::ConnPtr& conn) {
  if (!gate_->setIdle(conn, true)) return false;
  DwWait w;
  CZuError err = krpWaitReadable(s, -1, &w);
  if (err.IsError() || w != DwWait::kReady) return false;
  if (!gate_->setIdle(conn, true)) return false;  // a request begins: used last
  int msgId = 0;
  DwBuffer payload;
  // The whole message within its deadline, however its bytes trickle.
  conn->armDeadline(config_.messageTimeoutMs);
  err = BlrCtrl::recvMsg(s, &msgId, payload, 0);
  bool late = conn->deadlinePassed();
  conn->disarm();
  if (!err.IsError() && !gate_->setIdle(conn, false)) return false;
  if (err.IsError()) {
    if (late)
      blrError("ProxyServer", "Dropping connection from %s: request not complete within %d ms",
               conn->address().c_str(), config_.messageTimeoutMs);
    else if (!isQuietEnd(err))
      blrError("ProxyServer", "Dropping connection: %s", err.Summary().c_str());
    return false;
  }
  refreshControl();
  ProxyRequest request;
  CZuError decoded =
      ProxyRequest::decode(msgId, payload.data(), static_cast<int>(payload.getSize()), &request);
  request.msgId = msgId;
  state_->record(request);
  if (requestLog_.valid()) logRequest(request);
  ProxyFault fault = control_->take(msgId, request.pairOp);
  if (!applyFault(s, fault)) return false;

  ProxyReply reply;
  if (decoded.IsError())
    reply = ProxyReply::failure(msgId, 1, decoded.Summary());
  else if (fault.action == ProxyFault::kFail)
    reply = ProxyReply::failure(msgId, fault.code, fault.text);
  else
    reply = state_->handle(request);
  if (!config_.stateFile.empty()) saveState();  // before the answer: the client then sees it
  if (fault.action == ProxyFault::kLose) return false;
  std::vector<char> bytes;
  if (fault.action == ProxyFault::kMalformed) {
    bytes = {0, 0};  // a tag id without a length marker
  } else if (fault.action != ProxyFault::kEmpty) {
    bytes = reply.encode();
    // An error code announced as four bytes, of which one follows.
    if (fault.action == ProxyFault::kTruncated) bytes.insert(bytes.end(), {'\x81', '\x84', 0});
  }
  krpSetCancelFd(s, -1);  // an answer being sent is finished even while stopping
  err = BlrCtrl::sendMsg(s, reply.msgId, bytes.data(), static_cast<int>(bytes.size()));
  krpSetCancelFd(s, conn->cancelFd());
  if (err.IsError() && !isQuietEnd(err))
    blrError("ProxyServer", "Couldn't answer: %s", err.Summary().c_str());
  return !err.IsError();
}

#include "host/link/DwLinkServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "host/link/DwLinkFrame.h"
#include "host/link/DwLinkSvc.h"
#include "host/net/DwTcp.h"
#include "host/log/EvDebug.h"
#include "host/tls/KrpPeerPolicy.h"
#include "host/tls/KrpSocket.h"
#include "host/tls/TlsContext.h"

namespace {

// A request frame is charged for its bytes and for its decoded form.
constexpr size_t kChargePerByte = 2;

// Sends the pieces of an answer as frames of about one window each.
class FrameReply : public DwLinkReply {
 public:
  FrameReply(KrpSocket* s, int timeoutMs, DwLinkTraffic* traffic)
      : s_(s), timeoutMs_(timeoutMs), traffic_(traffic) {}

  CZuError append(const std::string& key, std::string piece) override {
    if (err_.IsError()) return err_;
    bytes_ += key.size() + piece.size();
    gathered_.entries[key] += piece;
    if (bytes_ >= kDwLinkAnswerWindowBytes) send(&gathered_, true);
    return err_;
  }

  // The last frame: what is still gathered, then what the service left.
  CZuError finish(DwLinkMessage* last) {
    if (err_.IsError()) return err_;
    if (last->failure.empty() && !last->entries.count("error"))
      for (auto& kv : gathered_.entries) last->entries[kv.first].insert(0, kv.second);
    send(last, false);
    return err_;
  }

 private:
  void send(DwLinkMessage* msg, bool more) {
    msg->more = more;
    std::string frame;
    err_ = dwLinkEncode(*msg, kDwLinkMaxFrameBytes, &frame);
    if (err_.IsError() && !more) {  // say why instead
      DwLinkMessage tooBig;
      tooBig.failure = err_.Summary();
      err_ = dwLinkEncode(tooBig, kDwLinkMaxFrameBytes, &frame);
    }
    if (!err_.IsError()) err_ = dwLinkSendFrame(s_, frame, timeoutMs_);
    if (!err_.IsError()) traffic_->frameOut(frame.size() + kDwLinkHeaderBytes);
    msg->entries.clear();
    bytes_ = 0;
  }

  KrpSocket* s_;
  int timeoutMs_;
  DwLinkTraffic* traffic_;
  DwLinkMessage gathered_;
  size_t bytes_ = 0;
  CZuError err_;
};

bool quiet(const CZuError& err) {
  int code = FXErrorUtil::GetInt(err);
  return code == ECANCELED;
}

}  // namespace

DwLinkServer::~DwLinkServer() { stop(); }

CZuError DwLinkServer::start(const DwLinkServerConfig& config) {
  if (listen_.IsValid())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start link server: already running");
  if (!config.tls || config.limits.maxConnections < 1 || config.limits.maxPending < 1)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start link server: %s",
                                 config.tls ? "no connection allowed" : "no TLS context");
  CZuError err = dwTcpListen(config.address, config.port, 512, &listen_, &port_);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't start link server");
  config_ = config;
  stopping_ = false;
  stats_ = Stats();
  gate_.reset(new DwConnGate(config.limits));
  budget_.reset(new DwMemBudget(config.memoryBudgetBytes));
  err = acceptor_.start({listen_.GetDescriptor()}, config.limits.maxSilent, config.authTimeoutMs,
                        [this](int fd, const std::string& address, auto) { spawnWorker(fd, address); });
  if (err.IsError()) {
    listen_.Close();
    return err.Push(FXLOC, "Couldn't start link server");
  }
  return CZuError();
}

void DwLinkServer::stop() {
  if (!listen_.IsValid()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  acceptor_.stop();
  listen_.Close();
  gate_->close();
  budget_->close();
  workers_.joinAll();
}

void DwLinkServer::setTls(std::shared_ptr<TlsContext> tls) {
  std::lock_guard<std::mutex> lock(mu_);
  if (tls) config_.tls = std::move(tls);
}

bool DwLinkServer::stopping() {
  std::lock_guard<std::mutex> lock(mu_);
  return stopping_;
}

DwLinkServer::Stats DwLinkServer::stats() {
  Stats out;
  {
    std::lock_guard<std::mutex> lock(mu_);
    out = stats_;
  }
  out.acceptor = acceptor_.stats();
  if (gate_) out.gate = gate_->stats();
  if (budget_) out.peakBytes = budget_->peak();
  return out;
}

void DwLinkServer::count(uint64_t Stats::*field) {
  std::lock_guard<std::mutex> lock(mu_);
  ++(stats_.*field);
}

void DwLinkServer::report(const CZuError& err) {
  if (hook_)
    hook_(err);
  else
    EvDebug().handleMsgEventDebug(-1, "DwLinkServer", 0, nullptr, "%s", err.AsString().c_str());
}

// A connection that has spoken: it is admitted (closing an older pending
// one if need be) and served on a thread of its own.
void DwLinkServer::spawnWorker(int fd, const std::string& address) {
  workers_.reapDone();
  dwTcpSendAtOnce(fd);  // an answer may span several TLS records and frames
  CZuSocket sock(fd);
  CZuError err;
  ConnPtr conn = gate_->admit(address, &err);
  if (conn) {
    err = workers_.spawn([this, sock, conn]() mutable { serveConnection(sock, conn); });
    if (err.IsError()) gate_->leave(conn);
  }
  if (!conn || err.IsError()) {
    sock.Close();
    if (err.IsError()) report(err);
  }
}

void DwLinkServer::serveConnection(CZuSocket& sock, const ConnPtr& conn) {
  KrpSocket* s = nullptr;
  std::shared_ptr<TlsContext> tls;
  {
    std::lock_guard<std::mutex> lock(mu_);
    tls = config_.tls;
  }
  CZuError err = krpInitSocketWithContext(sock, KRP_INIT_DEFAULT, tls, &s);
  sock = CZuSocket();  // the layer's copy owns the connection now
  if (err.IsError()) {
    report(err);
  } else {
    krpSetCancelFd(s, conn->cancelFd());
    std::shared_ptr<KRP_Cert> peer;
    if (authenticate(s, conn, &peer) && gate_->seat(conn, peer->clientName, config_.timeoutMs)) {
      // The first request within the time of a frame, later ones within the idle time.
      int waitMs = std::min(config_.timeoutMs, config_.idleTimeoutMs);
      while (serveOne(s, *peer, conn, waitMs)) waitMs = config_.idleTimeoutMs;
    }
    krpDestroySocket(s);
  }
  gate_->leave(conn);
}

bool DwLinkServer::authenticate(KrpSocket* s, const ConnPtr& conn,
                                std::shared_ptr<KRP_Cert>* peer) {
  CZuError err = krpAuthSocketMs(s, KRP_ROLE_SERVER, peer, config_.authTimeoutMs);
  if (!err.IsError()) err = dwLinkCheckPeerKind(**peer, config_.allowBuiltinCerts);
  bool nameRefused = false;
  if (!err.IsError() && config_.peers) {
    err = config_.peers->admit((*peer)->clientName);
    nameRefused = err.IsError();  // the policy logs these, once a minute per name
  }
  if (!err.IsError()) return true;
  if (quiet(err)) return false;
  count(err.Code() == ETIMEDOUT ? &Stats::late : &Stats::refused);
  if (!nameRefused)
    report(err.Push(FXLOC, "Refused link connection from %s", conn->address().c_str()));
  return false;
}

// Tells the peer why its frame was refused, then gives up the stream.
void DwLinkServer::refuseFrame(KrpSocket* s, const KRP_Cert& peer, const CZuError& err,
                               bool started) {
  int code = FXErrorUtil::GetInt(err);
  if (code == 1) {  // malformed, oversized, or beyond the memory budget
    DwLinkMessage refusal;
    refusal.failure = err.Summary();
    std::string frame;
    if (!dwLinkEncode(refusal, kDwLinkMaxFrameBytes, &frame).IsError())
      dwLinkSendFrame(s, frame, config_.timeoutMs);
  }
  if (!(code == ECONNRESET && !started) && !quiet(err))
    report(CZuError(err).Push(FXLOC, "Dropped link connection from %s", peer.clientName.c_str()));
}

// Reads one request, begun within `waitMs`, and answers it; false ends the
// connection.  The connection counts as idle until the request is whole, so
// that one trickling in holds nothing a newcomer needs.
bool DwLinkServer::serveOne(KrpSocket* s, const KRP_Cert& peer, const ConnPtr& conn, int waitMs) {
  if (!gate_->setIdle(conn, true)) return false;
  DwWait w;
  CZuError err = krpWaitReadable(s, waitMs, &w);
  if (err.IsError() || w != DwWait::kReady) return false;
  if (!gate_->setIdle(conn, true)) return false;  // a request begins: used last
  DwMemBudget::Grant grant;
  auto admit = [&](uint32_t len, int leftMs) {
    CZuError e = grant.take(budget_.get(), kChargePerByte * len, leftMs,
                            [&] { return conn->cancelled(); });
    if (e.IsError() && !quiet(e)) {
      count(&Stats::overBudget);
      e = FXErrorUtil::ErrorInt(FXLOC, 1, "Refused link frame of %u bytes: %s", len,
                                e.Summary().c_str());
    }
    return e;
  };
  std::string payload;
  bool started = false;
  err = dwLinkRecvFrame(s, kDwLinkMaxFrameBytes, config_.timeoutMs, &payload, &started, admit);
  if (err.IsError()) {
    refuseFrame(s, peer, err, started);
    return false;
  }
  if (!gate_->setIdle(conn, false)) return false;
  count(&Stats::requests);
  traffic_.frameIn(payload.size() + kDwLinkHeaderBytes);
  DwLinkMessage request;
  err = dwLinkDecode(payload.data(), payload.size(), &request);
  std::string().swap(payload);
  // The answer of a request being served is sent even while stopping.
  krpSetCancelFd(s, -1);
  if (err.IsError()) {
    FrameReply reply(s, config_.timeoutMs, &traffic_);
    DwLinkMessage failure;
    failure.failure = err.Summary();
    err = reply.finish(&failure);
  } else {
    err = answer(s, request, peer);
  }
  krpSetCancelFd(s, conn->cancelFd());
  if (err.IsError()) {
    report(err.Push(FXLOC, "Couldn't answer %s", peer.clientName.c_str()));
    return false;
  }
  return true;
}

DwLinkSvc* DwLinkServer::serviceFor(const DwLinkMessage& request) {
  DwLinkSvc* svc = config_.service;
  if (svc == nullptr) {
    svc = DwLinkSvc::find(request.name);
    if (svc != nullptr && !svc->acceptsRemote) svc = nullptr;
  } else if (svc->linkName() != request.name) {
    svc = nullptr;
  }
  return svc;
}

CZuError DwLinkServer::answer(KrpSocket* s, const DwLinkMessage& request, const KRP_Cert& peer) {
  const auto began = std::chrono::steady_clock::now();
  FrameReply reply(s, config_.timeoutMs, &traffic_);
  DwLinkMessage response;
  DwLinkSvc* svc = serviceFor(request);
  if (svc == nullptr)
    response.failure = "No service \"" + request.name + "\" on this server";
  else if (request.acceptsPieces)
    svc->answer(request.entries, &response.entries, &reply, peer.clientName, peer);
  else
    svc->answer(request.entries, &response.entries, peer.clientName, peer);
  const bool failed = !response.failure.empty() || response.entries.count("error") != 0;
  CZuError err = reply.finish(&response);
  auto name = request.entries.find("req");
  traffic_.answered(request.name, name == request.entries.end() ? "" : name->second,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(),
                    failed || err.IsError());
  return err;
}

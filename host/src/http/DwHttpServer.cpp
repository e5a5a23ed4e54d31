#include "host/http/DwHttpServer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "DwHttpAnswer.h"
#include "DwHttpRequest.h"
#include "host/link/DwAcceptor.h"
#include "host/link/DwConnGate.h"
#include "host/log/EvDebug.h"
#include "host/net/DwTcp.h"
#include "host/tls/TlsContext.h"

namespace {

// The installation's TLS policy and files; the authority checks clients when
// they must present a certificate.
bool setupTls(const DwHttpServerConfig& config, SSL_CTX& ctx) {
  if (!tlsApplyPolicy(&ctx)) return false;
  if (SSL_CTX_use_certificate_chain_file(&ctx, config.certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(&ctx, config.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(&ctx) != 1)
    return false;
  if (config.requireClientCert) {
    if (SSL_CTX_load_verify_locations(&ctx, config.caFile.c_str(), nullptr) != 1) return false;
    if (!config.crlFile.empty()) {
      X509_STORE* store = SSL_CTX_get_cert_store(&ctx);
      if (X509_STORE_load_file(store, config.crlFile.c_str()) != 1) return false;
      X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
    }
    SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  return true;
}

using Clock = std::chrono::steady_clock;

// epoll tokens: the wake-up descriptor, then a connection's socket (id << 1)
// and its cancel descriptor (id << 1 | 1), ids from 1.
constexpr uint64_t kWakeToken = 1;

// After the last answer of a connection, what the client still sends is read
// and dropped for this long, so that closing does not reset the connection
// before the client has read the answer.
constexpr int kLingerMs = 1000;

epoll_event eventFor(uint32_t events, uint64_t token) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = token;
  return ev;
}

enum class Io { kDone, kWantRead, kWantWrite, kClosed };

Io tlsWant(SSL* ssl, int result) {
  int e = SSL_get_error(ssl, result);
  ERR_clear_error();
  if (e == SSL_ERROR_WANT_READ) return Io::kWantRead;
  if (e == SSL_ERROR_WANT_WRITE) return Io::kWantWrite;
  return Io::kClosed;
}

Io sysWant(ssize_t result) {
  if (result > 0) return Io::kDone;
  if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Io::kWantRead;
  return Io::kClosed;
}

}  // namespace

class DwHttpServer::Impl {
 public:
  Impl(const DwHttpServerConfig& config, const std::map<std::string, QueryHandler>& handlers)
      : config_(config), handlers_(handlers), timeoutMs_(config.timeoutSecs * 1000) {}
  ~Impl();

  CZuError start(int* port);
  void stop();
  Stats stats();

 private:
  struct Peer {
    enum class State { kHandshake, kReading, kWorking, kWriting, kDraining };
    uint64_t id = 0;
    int fd = -1;
    DwConnGate::ConnPtr admission;
    SSL* ssl = nullptr;
    State state = State::kReading;
    uint32_t watching = 0;      // epoll events asked for on fd
    bool timerWatched = false;
    bool seated = false;        // holds a keep-alive slot (answered before)
    bool doomed = false;        // cancelled while a worker answers it
    int answered = 0;
    std::string in;
    size_t scanned = 0;         // of `in`, searched for the end of the head
    std::string out;
    size_t sent = 0;
    bool keepAlive = false;
  };
  using State = Peer::State;
  struct Job {
    uint64_t id;
    std::string path;
    std::string query;
    bool head;
    bool keepAlive;
  };
  struct Answer {
    uint64_t id;
    std::string bytes;
    bool keepAlive;
  };
  // A connection that spoke, handed over by the acceptor.
  struct Arrival {
    int fd;
    std::string address;
    Clock::time_point accepted;
  };

  // The poller thread.
  void run();
  void admit(const Arrival& arrival);
  void onSocket(Peer* p);
  void onTimer(Peer* p);
  void handshake(Peer* p);
  void readRequest(Peer* p);
  bool takeHead(Peer* p);
  void takeRequest(Peer* p, int status, const DwHttpRequest& req);
  void startWrite(Peer* p, std::string bytes, bool keepAlive);
  void writeAnswer(Peer* p);
  void linger(Peer* p);
  void drain(Peer* p);
  bool takeQueued();
  void close(Peer* p, uint64_t Stats::*reason);
  void watch(Peer* p, uint32_t events);
  Io recvSome(Peer* p, char* buf, size_t cap, size_t* n);
  Io sendSome(Peer* p, size_t* n);

  // The workers.
  void work();
  void wake();

  void count(uint64_t Stats::*field) {
    std::lock_guard<std::mutex> lock(statsMu_);
    ++(stats_.*field);
  }

  const DwHttpServerConfig config_;
  const std::map<std::string, QueryHandler> handlers_;
  const int timeoutMs_;
  SSL_CTX* tls_ = nullptr;
  CZuSocket listen_;
  DwAcceptor acceptor_;  // holds silent connections until they speak
  int epoll_ = -1;
  int wake_ = -1;
  std::unique_ptr<DwConnGate> gate_;
  std::thread poller_;
  std::vector<std::thread> workers_;

  // The poller's own.
  std::unordered_map<uint64_t, std::unique_ptr<Peer>> peers_;
  uint64_t nextId_ = 1;

  std::mutex mu_;
  std::condition_variable cv_;  // a job came, or stop
  std::deque<Job> jobs_;
  std::deque<Answer> answers_;
  std::vector<Arrival> arrivals_;
  bool stopping_ = false;

  mutable std::mutex statsMu_;
  Stats stats_;
};

DwHttpServer::Impl::~Impl() {
  stop();
  if (epoll_ >= 0) ::close(epoll_);
  if (wake_ >= 0) ::close(wake_);
  listen_.Close();
  SSL_CTX_free(tls_);
}

CZuError DwHttpServer::Impl::start(int* port) {
  struct stat st;
  if (!config_.filesDir.empty() && (::stat(config_.filesDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't serve the files of %s: not a directory",
                                 config_.filesDir.c_str());
  if (config_.tls) {
    tls_ = SSL_CTX_new(TLS_server_method());
    if (tls_ == nullptr || !setupTls(config_, *tls_))
      return FXErrorUtil::ErrorInt(FXLOC, 1,
                                   "Couldn't start HTTPS server: can't use certificate %s, key %s, "
                                   "authority %s or revocation list %s: %s",
                                   config_.certFile.c_str(), config_.keyFile.c_str(),
                                   config_.caFile.c_str(), config_.crlFile.c_str(),
                                   tlsErrorText().c_str());
  }
  if (config_.maxPending < 1 || config_.maxPendingPerAddress < 1 || config_.timeoutSecs < 1)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start HTTP server: no connection allowed");
  DwConnLimits limits;
  limits.maxConnections = config_.maxKeepAlive;
  limits.maxPending = config_.maxPending;
  limits.maxPendingPerAddress = config_.maxPendingPerAddress;
  gate_.reset(new DwConnGate(limits));
  CZuError err = dwTcpListen(config_.address, config_.port, 512, &listen_, port);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't start HTTP server");
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event wakeEv = eventFor(EPOLLIN, kWakeToken);
  if (epoll_ < 0 || wake_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &wakeEv) != 0)
    return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't start HTTP server");
  poller_ = std::thread(&Impl::run, this);
  for (int i = 0; i < std::max(1, config_.threads); ++i) workers_.emplace_back(&Impl::work, this);
  auto handoff = [this](int fd, const std::string& address, Clock::time_point accepted) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      arrivals_.push_back(Arrival{fd, address, accepted});
    }
    wake();
  };
  err = acceptor_.start({listen_.GetDescriptor()}, std::max(1, config_.maxSilent), timeoutMs_,
                        handoff);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't start HTTP server");
  return CZuError();
}

void DwHttpServer::Impl::stop() {
  acceptor_.stop();  // no more arrivals
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (poller_.joinable()) {
    wake();
    poller_.join();
  }
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  for (const Arrival& a : arrivals_) ::close(a.fd);
  arrivals_.clear();
}

DwHttpServer::Stats DwHttpServer::Impl::stats() {
  Stats out;
  {
    std::lock_guard<std::mutex> lock(statsMu_);
    out = stats_;
  }
  // Silent connections are the acceptor's: turned away or closed there.
  const DwAcceptor::Stats silent = acceptor_.stats();
  out.accepted = silent.accepted;
  out.pendingLimit += silent.shed;
  out.deadline += silent.late;
  return out;
}

void DwHttpServer::Impl::wake() {
  uint64_t one = 1;
  while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

// ---- The poller ----

void DwHttpServer::Impl::run() {
  // TLS writes go through write(2): a vanished client must not raise SIGPIPE.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  std::vector<epoll_event> events(256);
  for (;;) {
    int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), -1);
    for (int i = 0; i < n; ++i) {
      const uint64_t token = events[i].data.u64;
      if (token == kWakeToken) {
        if (!takeQueued()) return;
      } else {
        auto it = peers_.find(token >> 1);
        if (it == peers_.end()) continue;  // closed earlier in this round
        if (token & 1)
          onTimer(it->second.get());
        else
          onSocket(it->second.get());
      }
    }
  }
}

void DwHttpServer::Impl::admit(const Arrival& arrival) {
  const int fd = arrival.fd;
  CZuError err;
  DwConnGate::ConnPtr admission = gate_->admit(arrival.address, &err);
  if (!admission) {
    ::close(fd);
    if (err.IsError())
      EvDebug().handleMsgEventDebug(-1, "DwHttpServer", 0, nullptr, "%s", err.AsString().c_str());
    else
      count(&Stats::pendingLimit);
    return;
  }
  std::unique_ptr<Peer> owned(new Peer);
  Peer* p = owned.get();
  p->id = nextId_++;
  p->fd = fd;
  p->admission = std::move(admission);
  peers_[p->id] = std::move(owned);
  epoll_event timerEv = eventFor(EPOLLIN, p->id << 1 | 1);
  p->timerWatched = ::epoll_ctl(epoll_, EPOLL_CTL_ADD, p->admission->cancelFd(), &timerEv) == 0;
  if (tls_ != nullptr) {
    p->ssl = SSL_new(tls_);
    if (p->ssl == nullptr || SSL_set_fd(p->ssl, fd) != 1) {
      ERR_clear_error();
      close(p, nullptr);
      return;
    }
    SSL_set_accept_state(p->ssl);
    p->state = State::kHandshake;
  }
  if (!p->timerWatched) {
    close(p, nullptr);
    return;
  }
  // The whole first request, handshake included, counted from the accept.
  const auto silentMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - arrival.accepted).count();
  p->admission->armDeadline(std::max<int>(1, timeoutMs_ - static_cast<int>(silentMs)));
  onSocket(p);  // its first bytes are there
}

void DwHttpServer::Impl::onSocket(Peer* p) {
  switch (p->state) {
    case State::kHandshake: return handshake(p);
    case State::kReading: return readRequest(p);
    case State::kWriting: return writeAnswer(p);
    case State::kDraining: return drain(p);
    case State::kWorking: return;
  }
}

// The armed deadline passed, or the gate closed the connection.
void DwHttpServer::Impl::onTimer(Peer* p) {
  const bool cancelled = p->admission->cancelled();
  if (!cancelled && !p->admission->deadlinePassed()) return;  // re-armed since it fired
  if (p->state == State::kWorking) {  // closed when its answer comes
    p->doomed = true;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, p->admission->cancelFd(), nullptr);
    p->timerWatched = false;
    return;
  }
  uint64_t Stats::*reason = &Stats::deadline;
  if (cancelled)
    reason = p->seated ? &Stats::idleEvicted : &Stats::pendingLimit;
  else if (p->state == State::kDraining || (p->state == State::kReading && p->seated && p->in.empty()))
    reason = nullptr;  // answered, or idle as long as it may be
  close(p, reason);
}

void DwHttpServer::Impl::handshake(Peer* p) {
  ERR_clear_error();
  int r = SSL_do_handshake(p->ssl);
  if (r == 1) {
    p->state = State::kReading;
    return readRequest(p);
  }
  Io io = tlsWant(p->ssl, r);
  if (io == Io::kClosed) return close(p, &Stats::handshake);
  watch(p, io == Io::kWantRead ? EPOLLIN : EPOLLOUT);
}

// Reads until the head is whole, over a limit, or nothing more is there.
void DwHttpServer::Impl::readRequest(Peer* p) {
  char buf[4096];
  while (!takeHead(p)) {
    size_t n = 0;
    Io io = recvSome(p, buf, std::min(sizeof buf, kDwHttpMaxHeadBytes - p->in.size()), &n);
    if (io == Io::kClosed) return close(p, nullptr);
    if (io != Io::kDone) return watch(p, io == Io::kWantRead ? EPOLLIN : EPOLLOUT);
    // A kept-alive connection's next request has its deadline from its first byte.
    if (p->seated && p->in.empty()) p->admission->armDeadline(timeoutMs_);
    p->in.append(buf, n);
  }
}

// Takes the head in `in` when it is whole or already over a limit.
bool DwHttpServer::Impl::takeHead(Peer* p) {
  size_t end = dwHttpHeadEnd(p->in, p->scanned);
  if (end == std::string::npos) {
    p->scanned = p->in.size() > 3 ? p->in.size() - 3 : 0;
    if (p->in.size() <= kDwHttpMaxLineBytes || !dwHttpHeadOverLimit(p->in)) return false;
    end = p->in.size();
  }
  DwHttpRequest req;
  int status = dwHttpParseHead(std::string_view(p->in).substr(0, end), &req);
  p->in.erase(0, end);
  p->scanned = 0;
  takeRequest(p, status, req);
  return true;
}

void DwHttpServer::Impl::takeRequest(Peer* p, int status, const DwHttpRequest& req) {
  if (status == 0 && req.method != "GET" && req.method != "HEAD") status = 405;
  if (status == 0 && req.hasBody) status = 413;  // never read
  std::string path;
  if (status == 0 && !dwHttpDecodePath(req.target, &path)) status = 400;
  if (status != 0) {
    count(&Stats::badRequest);
    return startWrite(p, dwHttpRefusal(status), false);
  }
  p->admission->disarm();
  if (!p->seated) {
    // Idle keep-alive connections are capped per source address; with every
    // slot busy the request is answered and the connection closed.
    p->seated = gate_->seat(p->admission, p->admission->address(), 0);
  } else if (!gate_->setIdle(p->admission, false)) {
    return close(p, &Stats::idleEvicted);
  }
  ++p->answered;
  p->state = State::kWorking;
  watch(p, 0);
  {
    std::lock_guard<std::mutex> lock(mu_);
    jobs_.push_back(Job{p->id, std::move(path), dwHttpQuery(req.target), req.method == "HEAD",
                        req.keepAlive && p->seated &&
                            p->answered < config_.maxRequestsPerConnection});
  }
  cv_.notify_one();
}

void DwHttpServer::Impl::startWrite(Peer* p, std::string bytes, bool keepAlive) {
  p->out = std::move(bytes);
  p->sent = 0;
  p->keepAlive = keepAlive;
  p->state = State::kWriting;
  p->admission->armDeadline(timeoutMs_);
  writeAnswer(p);
}

void DwHttpServer::Impl::writeAnswer(Peer* p) {
  while (p->sent < p->out.size()) {
    size_t n = 0;
    Io io = sendSome(p, &n);
    if (io == Io::kClosed) return close(p, nullptr);
    if (io != Io::kDone) return watch(p, io == Io::kWantRead ? EPOLLIN : EPOLLOUT);
    p->sent += n;
  }
  std::string().swap(p->out);
  if (p->seated && !gate_->setIdle(p->admission, true)) return close(p, nullptr);
  if (!p->keepAlive) return linger(p);
  p->state = State::kReading;
  p->admission->armDeadline(timeoutMs_);  // idle, until the next request's first byte
  readRequest(p);  // a pipelined request may be there already
}

void DwHttpServer::Impl::linger(Peer* p) {
  if (p->ssl != nullptr) {
    SSL_shutdown(p->ssl);  // the close notice, best effort
    ERR_clear_error();
  }
  ::shutdown(p->fd, SHUT_WR);
  p->state = State::kDraining;
  p->admission->armDeadline(kLingerMs);
  drain(p);
}

void DwHttpServer::Impl::drain(Peer* p) {
  char buf[4096];
  for (int i = 0; i < 16; ++i) {  // a client that keeps sending is polled again later
    Io io = sysWant(::recv(p->fd, buf, sizeof buf, MSG_DONTWAIT));
    if (io == Io::kClosed) return close(p, nullptr);
    if (io != Io::kDone) break;
  }
  watch(p, EPOLLIN);
}

// Takes the connections that arrived and the answers that are ready; false
// once stopping: every connection is then closed.
bool DwHttpServer::Impl::takeQueued() {
  uint64_t ignored;
  while (::read(wake_, &ignored, sizeof ignored) < 0 && errno == EINTR) {
  }
  std::deque<Answer> answers;
  std::vector<Arrival> arrivals;
  bool stopping;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping = stopping_;
    answers.swap(answers_);
    if (!stopping) arrivals.swap(arrivals_);  // else closed by stop
  }
  if (stopping) {
    while (!peers_.empty()) close(peers_.begin()->second.get(), nullptr);
    gate_->close();
    return false;
  }
  for (const Arrival& a : arrivals) admit(a);
  for (Answer& a : answers) {
    auto it = peers_.find(a.id);
    if (it == peers_.end()) continue;
    Peer* p = it->second.get();
    count(&Stats::requests);
    if (p->doomed)
      close(p, p->seated ? nullptr : &Stats::pendingLimit);
    else
      startWrite(p, std::move(a.bytes), a.keepAlive);
  }
  return true;
}

void DwHttpServer::Impl::close(Peer* p, uint64_t Stats::*reason) {
  if (reason != nullptr) count(reason);
  if (p->timerWatched) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, p->admission->cancelFd(), nullptr);
  SSL_free(p->ssl);
  ::close(p->fd);  // also leaves the epoll set
  gate_->leave(p->admission);
  peers_.erase(p->id);
}

void DwHttpServer::Impl::watch(Peer* p, uint32_t events) {
  if (events == p->watching) return;
  epoll_event ev = eventFor(events, p->id << 1);
  int op = p->watching == 0 ? EPOLL_CTL_ADD : events == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
  // On failure (no memory) the connection only waits for its deadline.
  if (::epoll_ctl(epoll_, op, p->fd, &ev) == 0) p->watching = events;
}

Io DwHttpServer::Impl::recvSome(Peer* p, char* buf, size_t cap, size_t* n) {
  if (p->ssl != nullptr) {
    ERR_clear_error();
    int r = SSL_read_ex(p->ssl, buf, cap, n);
    return r == 1 ? Io::kDone : tlsWant(p->ssl, r);
  }
  ssize_t r = ::recv(p->fd, buf, cap, MSG_DONTWAIT);
  if (r > 0) *n = static_cast<size_t>(r);
  return sysWant(r);
}

Io DwHttpServer::Impl::sendSome(Peer* p, size_t* n) {
  const char* data = p->out.data() + p->sent;
  const size_t len = p->out.size() - p->sent;
  if (p->ssl != nullptr) {
    ERR_clear_error();
    int r = SSL_write_ex(p->ssl, data, len, n);
    return r == 1 ? Io::kDone : tlsWant(p->ssl, r);
  }
  ssize_t r = ::send(p->fd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (r > 0) *n = static_cast<size_t>(r);
  Io io = sysWant(r);
  return io == Io::kWantRead ? Io::kWantWrite : io;
}

// ---- The workers ----

void DwHttpServer::Impl::work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    std::string bytes;
    auto handler = handlers_.find(job.path);
    if (handler != handlers_.end())
      bytes = dwHttpHandlerAnswer(handler->second, job.query, job.head, job.keepAlive);
    else
      bytes = dwHttpFileAnswer(config_.filesDir, job.path, job.head, job.keepAlive);
    {
      std::lock_guard<std::mutex> lock(mu_);
      answers_.push_back(Answer{job.id, std::move(bytes), job.keepAlive});
    }
    wake();
  }
}

// ---- DwHttpServer ----

DwHttpServer::DwHttpServer() = default;

DwHttpServer::~DwHttpServer() { stop(); }

void DwHttpServer::get(const std::string& path, Handler handler) {
  handlers_[path] = [handler](const std::string&, DwHttpResponse* out) { handler(out); };
}

void DwHttpServer::getWithQuery(const std::string& path, QueryHandler handler) {
  handlers_[path] = std::move(handler);
}

CZuError DwHttpServer::start(const DwHttpServerConfig& config) {
  if (impl_) return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start HTTP server: already running");
  std::unique_ptr<Impl> impl(new Impl(config, handlers_));
  CZuError err = impl->start(&port_);
  if (err.IsError()) return err;
  impl_ = std::move(impl);
  return CZuError();
}

void DwHttpServer::stop() { impl_.reset(); }

DwHttpServer::Stats DwHttpServer::stats() const { return impl_ ? impl_->stats() : Stats(); }

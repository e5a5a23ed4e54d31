#include "host/link/DwConnGate.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "host/base/DwClock.h"

namespace {

void setTimer(int fd, std::chrono::nanoseconds in) {
  itimerspec when{};
  if (in.count() > 0) {
    when.it_value.tv_sec = static_cast<time_t>(in.count() / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(in.count() % 1000000000);
  }
  timerfd_settime(fd, 0, &when, nullptr);  // a zero value disarms
}

}  // namespace

std::string DwConnGate::peerAddress(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  char text[INET6_ADDRSTRLEN] = "?";
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    if (addr.ss_family == AF_INET)
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&addr)->sin_addr, text, sizeof text);
    else if (addr.ss_family == AF_INET6)
      inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr, text, sizeof text);
  }
  return text;
}

// ---- Conn ----

DwConnGate::Conn::~Conn() { ::close(timerFd_); }

void DwConnGate::Conn::fireNow() {
  std::lock_guard<std::mutex> lock(mu_);
  cancelled_ = true;
  setTimer(timerFd_, std::chrono::nanoseconds(1));
}

void DwConnGate::Conn::armDeadline(int ms) {
  std::lock_guard<std::mutex> lock(mu_);
  if (cancelled_) return;
  deadline_ = Clock::now() + std::chrono::milliseconds(ms);
  setTimer(timerFd_, std::chrono::milliseconds(ms > 0 ? ms : 1));
}

void DwConnGate::Conn::disarm() {
  std::lock_guard<std::mutex> lock(mu_);
  deadline_ = Clock::time_point::max();
  if (!cancelled_) setTimer(timerFd_, std::chrono::nanoseconds(0));
}

bool DwConnGate::Conn::deadlinePassed() {
  std::lock_guard<std::mutex> lock(mu_);
  return !cancelled_ && Clock::now() >= deadline_;
}

bool DwConnGate::Conn::cancelled() {
  std::lock_guard<std::mutex> lock(mu_);
  return cancelled_;
}

// ---- DwConnGate ----

DwConnGate::ConnPtr DwConnGate::admit(const std::string& address, CZuError* err) {
  std::lock_guard<std::mutex> lock(mu_);
  int& fromAddress = pendingByAddress_[address];
  if (closed_ || pending_ >= limits_.maxPending || fromAddress >= limits_.maxPendingPerAddress) {
    if (fromAddress == 0) pendingByAddress_.erase(address);
    ++stats_.shed;
    return nullptr;
  }
  int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (fd < 0) {
    *err = FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't admit connection from %s",
                                   address.c_str());
    if (fromAddress == 0) pendingByAddress_.erase(address);
    return nullptr;
  }
  ConnPtr conn(new Conn(address, fd));
  ++fromAddress;
  ++pending_;
  conn->pending_ = true;
  conns_.push_back(conn);
  return conn;
}

bool DwConnGate::evictIdleLocked() {
  ConnPtr oldest;
  for (const ConnPtr& c : conns_) {
    std::lock_guard<std::mutex> lock(c->mu_);
    if (c->seated_ && c->idle_ && !c->cancelled_ &&
        (!oldest || c->idleSince_ < oldest->idleSince_))
      oldest = c;
  }
  if (!oldest) return false;
  oldest->fireNow();
  // Its slot is handed over now; the evicted thread only cleans up.
  std::lock_guard<std::mutex> lock(oldest->mu_);
  oldest->seated_ = false;
  --seated_;
  ++stats_.evicted;
  return true;
}

void DwConnGate::leavePendingLocked(Conn* conn) {
  if (!conn->pending_) return;
  conn->pending_ = false;
  --pending_;
  if (--pendingByAddress_[conn->address_] == 0) pendingByAddress_.erase(conn->address_);
}

bool DwConnGate::seat(const ConnPtr& conn, int waitMs) {
  std::unique_lock<std::mutex> lock(mu_);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (closed_ || conn->cancelled()) return false;
    if (seated_ < limits_.maxConnections || evictIdleLocked()) break;
    if (cv_.wait_until(lock, until) == std::cv_status::timeout &&
        seated_ >= limits_.maxConnections && !evictIdleLocked()) {
      ++stats_.unseated;
      return false;
    }
  }
  ++seated_;
  std::lock_guard<std::mutex> connLock(conn->mu_);
  leavePendingLocked(conn.get());
  conn->seated_ = true;
  conn->idle_ = false;
  return true;
}

bool DwConnGate::setIdle(const ConnPtr& conn, bool idle) {
  std::lock_guard<std::mutex> lock(mu_);
  std::lock_guard<std::mutex> connLock(conn->mu_);
  if (conn->cancelled_ || !conn->seated_) return false;
  conn->idle_ = idle;
  if (idle) {
    conn->idleSince_ = Conn::Clock::now();
    cv_.notify_all();  // a waiting newcomer may evict it now
  }
  return true;
}

void DwConnGate::leave(const ConnPtr& conn) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = conns_.begin(); it != conns_.end(); ++it) {
    if (*it != conn) continue;
    conns_.erase(it);
    std::lock_guard<std::mutex> connLock(conn->mu_);
    leavePendingLocked(conn.get());
    if (conn->seated_) {
      conn->seated_ = false;
      --seated_;
    }
    break;
  }
  cv_.notify_all();
}

void DwConnGate::close() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
  for (const ConnPtr& c : conns_) c->fireNow();
  cv_.notify_all();
}

DwConnGate::Stats DwConnGate::stats() {
  std::lock_guard<std::mutex> lock(mu_);
  return stats_;
}

int DwConnGate::seated() {
  std::lock_guard<std::mutex> lock(mu_);
  return seated_;
}

int DwConnGate::pending() {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_;
}

// ---- Clients ----

CZuError dwRetryWhileShed(const std::function<CZuError()>& attempt) {
  constexpr int kAttempts = 5;
  thread_local std::minstd_rand jitter(std::random_device{}());
  for (int n = 1;; ++n) {
    CZuError err = attempt();
    const bool shed = err.Code() == ECONNRESET || err.Code() == EPIPE;
    if (!err.IsError() || !shed || n == kAttempts) return err;
    const int pauseMs = 50 << (n - 1);  // 50, 100, 200, 400 ms, each up to twice that
    ZUSLEEP(pauseMs + std::uniform_int_distribution<int>(0, pauseMs)(jitter));
  }
}

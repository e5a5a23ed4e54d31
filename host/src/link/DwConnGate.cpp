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

void DwConnGate::Conn::cancelLocked() {
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

DwConnGate::DwConnGate(const DwConnLimits& limits)
    : limits_(limits), pending_(limits.maxPending, limits.maxPendingPerAddress) {}

DwConnGate::ConnPtr DwConnGate::admit(const std::string& address, CZuError* err) {
  using Verdict = DwFairShare<Conn*>::Verdict;
  std::lock_guard<std::mutex> lock(mu_);
  if (closed_) return nullptr;
  Conn* victim = nullptr;
  const Verdict verdict = pending_.judge(address, &victim);
  if (verdict != Verdict::kTake) ++stats_.shed;
  if (verdict == Verdict::kRefuse) return nullptr;
  const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (fd < 0) {
    *err = FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't admit connection from %s",
                                   address.c_str());
    return nullptr;
  }
  if (victim) {
    std::lock_guard<std::mutex> victimLock(victim->mu_);
    leavePendingLocked(victim);
    victim->cancelLocked();
  }
  ConnPtr conn(new Conn(address, fd));
  conn->pending_ = true;
  pending_.add(address, conn.get());
  conns_.push_back(conn);
  return conn;
}

void DwConnGate::leavePendingLocked(Conn* conn) {
  if (!conn->pending_) return;
  conn->pending_ = false;
  pending_.remove(conn->address_, conn);
}

void DwConnGate::unseatLocked(Conn* conn) {
  if (!conn->seated_) return;
  if (conn->idle_ && --idleByName_[conn->name_] == 0) idleByName_.erase(conn->name_);
  conn->seated_ = false;
  conn->idle_ = false;
  --seated_;
}

// Closes the connection idle the longest, of `name` or of any name; its slot
// is handed over now, and its thread only cleans up.
bool DwConnGate::evictIdleLocked(const std::string* name) {
  Conn* oldest = nullptr;
  for (const ConnPtr& c : conns_) {
    std::lock_guard<std::mutex> lock(c->mu_);
    if (c->seated_ && c->idle_ && !c->cancelled_ && (!name || c->name_ == *name) &&
        (!oldest || c->idleSince_ < oldest->idleSince_))
      oldest = c.get();
  }
  if (!oldest) return false;
  std::lock_guard<std::mutex> lock(oldest->mu_);
  oldest->cancelLocked();
  unseatLocked(oldest);
  ++(name ? stats_.crowded : stats_.evicted);
  return true;
}

bool DwConnGate::seat(const ConnPtr& conn, const std::string& name, int waitMs) {
  std::unique_lock<std::mutex> lock(mu_);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (closed_ || conn->cancelled()) return false;
    if (seated_ < limits_.maxConnections || evictIdleLocked(nullptr)) break;
    if (cv_.wait_until(lock, until) == std::cv_status::timeout &&
        seated_ >= limits_.maxConnections && !evictIdleLocked(nullptr)) {
      ++stats_.unseated;
      return false;
    }
  }
  ++seated_;
  std::lock_guard<std::mutex> connLock(conn->mu_);
  leavePendingLocked(conn.get());
  conn->name_ = name;
  conn->seated_ = true;
  conn->idle_ = false;
  return true;
}

bool DwConnGate::setIdle(const ConnPtr& conn, bool idle) {
  std::lock_guard<std::mutex> lock(mu_);
  {
    std::lock_guard<std::mutex> connLock(conn->mu_);
    if (conn->cancelled_ || !conn->seated_) return false;
    if (idle) conn->idleSince_ = Conn::Clock::now();  // again: used just now
    if (conn->idle_ == idle) return true;
    conn->idle_ = idle;
    if (!idle) {
      if (--idleByName_[conn->name_] == 0) idleByName_.erase(conn->name_);
      return true;
    }
  }
  if (++idleByName_[conn->name_] > limits_.maxIdlePerName) evictIdleLocked(&conn->name_);
  cv_.notify_all();  // a waiting newcomer may evict it now
  return !conn->cancelled();
}

void DwConnGate::leave(const ConnPtr& conn) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = conns_.begin(); it != conns_.end(); ++it) {
    if (*it != conn) continue;
    conns_.erase(it);
    std::lock_guard<std::mutex> connLock(conn->mu_);
    leavePendingLocked(conn.get());
    unseatLocked(conn.get());
    break;
  }
  cv_.notify_all();
}

void DwConnGate::close() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
  for (const ConnPtr& c : conns_) {
    std::lock_guard<std::mutex> connLock(c->mu_);
    c->cancelLocked();
  }
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
  return static_cast<int>(pending_.size());
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

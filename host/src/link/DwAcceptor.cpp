#include "host/link/DwAcceptor.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "host/link/DwConnGate.h"

namespace {

// epoll data of the descriptors that are not silent connections.
constexpr uint64_t kStopId = ~uint64_t(0);
constexpr uint64_t kListenBase = ~uint64_t(0) - 64;
constexpr int kAcceptBatch = 64;  // then deadlines and speakers get a turn

int openSpare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

// Silent connections take at most half the process's descriptors: the rest
// are for the connections being served, the database and files.
int silentShare(int wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
  const rlim_t half = limit.rlim_cur / 2;
  return half < static_cast<rlim_t>(wanted) ? static_cast<int>(std::max<rlim_t>(half, 1)) : wanted;
}

}  // namespace

DwAcceptor::~DwAcceptor() { stop(); }

CZuError DwAcceptor::start(const std::vector<int>& listenFds, int maxSilent, int silentMs,
                           Handoff handoff) {
  if (thread_.joinable())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start accepting: already running");
  if (listenFds.empty() || listenFds.size() > 64)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't start accepting: %zu listeners",
                                 listenFds.size());
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  spareFd_ = openSpare();
  CZuError err;
  if (epoll_ < 0 || stopFd_ < 0 || spareFd_ < 0)
    err = FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't start accepting");
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kStopId;
  if (!err.IsError() && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, stopFd_, &ev) != 0)
    err = FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't start accepting");
  for (size_t i = 0; i < listenFds.size() && !err.IsError(); ++i) {
    ::fcntl(listenFds[i], F_SETFL, ::fcntl(listenFds[i], F_GETFL) | O_NONBLOCK);
    ev.data.u64 = kListenBase + i;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, listenFds[i], &ev) != 0)
      err = FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't start accepting");
  }
  if (err.IsError()) {
    for (int* fd : {&epoll_, &stopFd_, &spareFd_})
      if (*fd >= 0) ::close(*fd), *fd = -1;
    return err;
  }
  listenFds_ = listenFds;
  silentMs_ = silentMs;
  handoff_ = std::move(handoff);
  maxSilent = silentShare(maxSilent);
  share_ = DwFairShare<uint64_t>(maxSilent, maxSilent);
  {
    std::lock_guard<std::mutex> lock(statsMu_);
    stats_ = Stats();
  }
  thread_ = std::thread(&DwAcceptor::loop, this);
  return CZuError();
}

void DwAcceptor::stop() {
  if (!thread_.joinable()) return;
  uint64_t one = 1;
  while (::write(stopFd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  thread_.join();
  while (!silent_.empty()) drop(silent_.begin());
  for (int* fd : {&epoll_, &stopFd_, &spareFd_})
    if (*fd >= 0) ::close(*fd), *fd = -1;
}

DwAcceptor::Stats DwAcceptor::stats() {
  std::lock_guard<std::mutex> lock(statsMu_);
  return stats_;
}

void DwAcceptor::loop() {
  epoll_event events[64];
  for (;;) {
    int n = ::epoll_wait(epoll_, events, 64, msToNextDeadline());
    if (n < 0 && errno != EINTR) return;  // only on a programming error: EBADF, EINVAL
    for (int i = 0; i < n; ++i) {
      const uint64_t id = events[i].data.u64;
      if (id == kStopId) return;
      if (id >= kListenBase)
        acceptFrom(listenFds_[id - kListenBase]);
      else
        spoke(id, (events[i].events & EPOLLIN) == 0);
    }
    expire();
  }
}

// A descriptor for the next connection, closing a silent one or the
// newcomer itself when there are no more; false when the queue is empty.
bool DwAcceptor::takeDescriptor(int listenFd, int* fd) {
  for (;;) {
    *fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (*fd >= 0) return true;
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EMFILE && errno != ENFILE) return false;  // EAGAIN, or nothing to do
    if (!silent_.empty()) {
      shed(silent_.find(share_.oldestOfLargest()));
      continue;
    }
    if (spareFd_ >= 0) ::close(spareFd_);
    int newcomer = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (newcomer >= 0) {
      countShed();
      ::close(newcomer);
    }
    spareFd_ = openSpare();
    if (newcomer < 0) return false;
  }
}

void DwAcceptor::acceptFrom(int listenFd) {
  for (int taken = 0; taken < kAcceptBatch; ++taken) {
    int fd = -1;
    if (!takeDescriptor(listenFd, &fd)) return;
    {
      std::lock_guard<std::mutex> lock(statsMu_);
      ++stats_.accepted;
    }
    const std::string address = DwConnGate::peerAddress(fd);
    uint64_t victim = 0;
    const auto verdict = share_.judge(address, &victim);
    if (verdict == DwFairShare<uint64_t>::Verdict::kRefuse) {
      countShed();
      ::close(fd);
      continue;
    }
    if (verdict == DwFairShare<uint64_t>::Verdict::kReplace) shed(silent_.find(victim));
    const uint64_t id = nextId_++;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = id;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      ::close(fd);
      continue;
    }
    const Clock::time_point now = Clock::now();
    silent_[id] = Silent{fd, address, now, now + std::chrono::milliseconds(silentMs_)};
    share_.add(address, id);
  }
}

void DwAcceptor::spoke(uint64_t id, bool hungUp) {
  auto it = silent_.find(id);
  if (it == silent_.end()) return;
  if (hungUp) {  // left without a word
    drop(it);
    return;
  }
  const Silent silent = it->second;
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, silent.fd, nullptr);
  share_.remove(silent.address, id);
  silent_.erase(it);
  handoff_(silent.fd, silent.address, silent.accepted);
}

void DwAcceptor::drop(std::map<uint64_t, Silent>::iterator it) {
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.fd, nullptr);
  ::close(it->second.fd);
  share_.remove(it->second.address, it->first);
  silent_.erase(it);
}

// Counted before the connection is closed, so that a peer seeing it closed
// finds it counted.
void DwAcceptor::shed(std::map<uint64_t, Silent>::iterator it) {
  countShed();
  drop(it);
}

void DwAcceptor::countShed() {
  std::lock_guard<std::mutex> lock(statsMu_);
  ++stats_.shed;
}

void DwAcceptor::expire() {
  const Clock::time_point now = Clock::now();
  while (!silent_.empty() && silent_.begin()->second.deadline <= now) {
    {
      std::lock_guard<std::mutex> lock(statsMu_);
      ++stats_.late;
    }
    drop(silent_.begin());
  }
}

int DwAcceptor::msToNextDeadline() const {
  if (silent_.empty()) return -1;
  auto left = silent_.begin()->second.deadline - Clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
  return ms < 0 ? 0 : static_cast<int>(ms);
}

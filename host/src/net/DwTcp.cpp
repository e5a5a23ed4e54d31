#include "host/net/DwTcp.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>

namespace {

using SteadyClock = std::chrono::steady_clock;

struct AddrInfoFree {
  void operator()(addrinfo* ai) const { freeaddrinfo(ai); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoFree>;

CZuError resolve(const std::string& host, int port, bool passive, AddrInfoPtr* out) {
  if (port < 0 || port > 65535) return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid port %d", port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : AI_ADDRCONFIG;
  std::string service = std::to_string(port);
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't resolve %s: %s",
                                 host.empty() ? "(any)" : host.c_str(), gai_strerror(rc));
  out->reset(list);
  return CZuError();
}

int remainingMs(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// One connection attempt; a failed attempt's socket closes with `sock`.
CZuError connectOne(const addrinfo* ai, SteadyClock::time_point deadline, CZuSocket* out) {
  int s = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
  if (s < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't create socket");
  CZuSocket sock(s);
  if (::connect(s, ai->ai_addr, ai->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't connect");
    DwWait w;
    CZuError err = dwWaitFd(s, POLLOUT, remainingMs(deadline), -1, &w);
    if (!err.IsError() && w == DwWait::kTimeout)
      err = FXErrorUtil::ErrorInt(FXLOC, ETIMEDOUT, "Couldn't connect: timed out");
    int soErr = 0;
    socklen_t len = sizeof soErr;
    if (!err.IsError() && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &soErr, &len) == 0 && soErr != 0)
      err = FXErrorUtil::ErrorErrNo(FXLOC, soErr, "Couldn't connect");
    if (err.IsError()) return err;
  }
  dwTcpSendAtOnce(s);
  *out = sock;
  return CZuError();
}

}  // namespace

void dwTcpSendAtOnce(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

CZuError dwWaitFd(int fd, short events, int timeoutMs, int cancelFd, DwWait* out) {
  auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
    int wait = timeoutMs < 0 ? -1 : remainingMs(deadline);
    int n = ::poll(fds, cancelFd >= 0 ? 2 : 1, wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't wait on socket %d", fd);
    }
    if (cancelFd >= 0 && fds[1].revents != 0) {
      *out = DwWait::kCancelled;
    } else if (fds[0].revents != 0) {
      *out = DwWait::kReady;
    } else if (n == 0 && wait >= 0 && remainingMs(deadline) == 0) {
      *out = DwWait::kTimeout;
    } else {
      continue;  // woken early without an event
    }
    return CZuError();
  }
}

CZuError dwTcpConnect(const std::string& host, int port, int timeoutMs, CZuSocket* out) {
  AddrInfoPtr list;
  CZuError err = resolve(host, port, false, &list);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't connect to %s:%d", host.c_str(), port);
  auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    err = connectOne(ai, deadline, out);
    if (!err.IsError()) return err;
    if (remainingMs(deadline) == 0) break;
  }
  return err.Push(FXLOC, "Couldn't connect to %s:%d", host.c_str(), port);
}

CZuError dwTcpListen(const std::string& address, int port, int backlog, CZuSocket* out,
                     int* boundPort) {
  AddrInfoPtr list;
  CZuError err = resolve(address, port, true, &list);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't listen on port %d", port);
  const addrinfo* ai = list.get();
  int s = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
  if (s < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't create listening socket");
  CZuSocket sock(s);
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(s, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(s, backlog) != 0)
    return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't listen on %s:%d",
                                   address.empty() ? "*" : address.c_str(), port);
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &len);
  if (boundPort != nullptr) {
    *boundPort = bound.ss_family == AF_INET6
                     ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                     : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  }
  *out = sock;
  return CZuError();
}

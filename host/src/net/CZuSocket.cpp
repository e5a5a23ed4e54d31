#include "host/net/CZuSocket.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>

CZuSocket::CZuSocket() : handle_(std::make_shared<auto_handle>()) {}

CZuSocket::CZuSocket(int fd) : handle_(std::make_shared<auto_handle>(fd)) {}

CZuError CZuSocket::SetToNonBlocking() {
  int fd = handle_->get();
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
    return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't make socket %d non-blocking", fd);
  return CZuError();
}

void CZuSocket::Close() { handle_->reset(); }

CZuError CZuSocket::CreateSocketPair(CZuSocket& a, CZuSocket& b) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0)
    return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't create a socket pair");
  a = CZuSocket(fds[0]);
  b = CZuSocket(fds[1]);
  return CZuError();
}

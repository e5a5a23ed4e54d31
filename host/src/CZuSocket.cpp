#include "host/CZuSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

CZuSocket::Handle::~Handle() {
  if (fd >= 0) ::close(fd);
}

CZuSocket::CZuSocket() : handle_(std::make_shared<Handle>(-1)) {}

CZuSocket::CZuSocket(int fd) : handle_(std::make_shared<Handle>(fd)) {}

void CZuSocket::Close() {
  if (handle_->fd >= 0) ::close(handle_->fd);
  handle_->fd = -1;
}

CZuError CZuSocket::SetToNonBlocking() {
  int fd = handle_->fd;
  if (fd < 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't make an invalid socket non-blocking");
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
    return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't make socket %d non-blocking", fd);
  return CZuError();
}

CZuError CZuSocket::CreateSocketPair(CZuSocket& a, CZuSocket& b) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't create socket pair");
  a = CZuSocket(fds[0]);
  b = CZuSocket(fds[1]);
  return CZuError();
}

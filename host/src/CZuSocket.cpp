#include "host/CZuSocket.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

void CZuSocket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

CZuError CZuSocket::SetToNonBlocking() {
  if (fd_ < 0) return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't make an invalid socket non-blocking");
  int flags = ::fcntl(fd_, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0)
    return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't make socket %d non-blocking", fd_);
  return CZuError();
}

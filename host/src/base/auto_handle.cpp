#include "host/base/auto_handle.h"

#include <unistd.h>

void auto_handle::reset(int fd) {
  // Linux releases the descriptor even when close() is interrupted, so a
  // failed close is never retried.
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

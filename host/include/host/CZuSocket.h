// A TCP socket handle.  Copies name the same descriptor; the handle does not
// close it by itself: whoever owns the connection calls Close() once.
#ifndef HOST_CZUSOCKET_H
#define HOST_CZUSOCKET_H

#include "host/CZuError.h"

class CZuSocket {
 public:
  CZuSocket() : fd_(-1) {}
  explicit CZuSocket(int fd) : fd_(fd) {}

  bool IsValid() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Closes the descriptor and makes this handle invalid (copies keep the
  // stale number and must not be used afterwards).
  void Close();
  CZuError SetToNonBlocking();

 private:
  int fd_;
};

#endif  // HOST_CZUSOCKET_H

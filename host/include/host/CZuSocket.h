// A socket descriptor with shared-handle semantics.
//
// Copies of a CZuSocket refer to the same socket.  The socket is closed when
// the last copy goes away, or at once for every copy by Close().  A socket and
// its copies are meant for one thread at a time.
#ifndef HOST_CZUSOCKET_H
#define HOST_CZUSOCKET_H

#include <memory>

#include "host/CZuError.h"

class CZuSocket {
 public:
  CZuSocket();                 // no socket
  explicit CZuSocket(int fd);  // takes ownership of `fd`
  // Copies share the socket.  No move: a moved-from handle must stay usable.
  CZuSocket(const CZuSocket&) = default;
  CZuSocket& operator=(const CZuSocket&) = default;

  bool IsValid() const { return handle_->fd >= 0; }
  int GetDescriptor() const { return handle_->fd; }

  CZuError SetToNonBlocking();
  // Closes the socket for this object and all its copies.
  void Close();

  // Connects `a` and `b` to each other (a local stream socket pair).
  static CZuError CreateSocketPair(CZuSocket& a, CZuSocket& b);

 private:
  struct Handle {
    explicit Handle(int d) : fd(d) {}
    ~Handle();
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    int fd;
  };
  std::shared_ptr<Handle> handle_;  // never null
};

#endif  // HOST_CZUSOCKET_H

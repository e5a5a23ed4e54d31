// A socket descriptor with shared-handle semantics.
//
// Copies of a CZuSocket refer to the same socket.  The socket is closed when
// the last copy goes away, or at once for every copy by Close().  A socket and
// its copies are meant for one thread at a time: closing through one copy
// while another thread uses a second copy is a race.
#ifndef HOST_CZUSOCKET_H
#define HOST_CZUSOCKET_H

#include <memory>

#include "host/base/CZuError.h"
#include "host/base/auto_handle.h"

class CZuSocket {
 public:
  CZuSocket();                // no socket
  explicit CZuSocket(int fd);  // takes ownership of `fd`
  // Copies share the socket.  There is no move: a moved-from socket would have
  // to stay usable, so moving copies.
  CZuSocket(const CZuSocket&) = default;
  CZuSocket& operator=(const CZuSocket&) = default;

  bool IsValid() const { return handle_->valid(); }
  int GetDescriptor() const { return handle_->get(); }
  // The shared handle, for the file layer (FXFile).  Stays owned by the socket.
  auto_handle& GetHandle() const { return *handle_; }

  CZuError SetToNonBlocking();
  // Closes the socket for this object and all its copies.
  void Close();

  // Connects `a` and `b` to each other (a local stream socket pair).  Each
  // gives up its previous socket as if assigned a new one.
  static CZuError CreateSocketPair(CZuSocket& a, CZuSocket& b);

 private:
  std::shared_ptr<auto_handle> handle_;  // never null
};

#endif  // HOST_CZUSOCKET_H

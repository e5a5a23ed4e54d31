// A set of descriptors to wait on, as select() takes them, without select's
// limit on descriptor numbers (poll() underneath).
#ifndef HOST_ZUFDSET_H
#define HOST_ZUFDSET_H

#include <vector>

class ZuFdset {
 public:
  ZuFdset() = default;

  void set(int fd);
  void clear(int fd);
  void zero() { fds_.clear(); }
  bool isSet(int fd) const;
  bool empty() const { return fds_.empty(); }

  // Waits until a descriptor of `read`, `write` or `except` (each may be
  // null) is ready for reading (end of stream and errors included), writing,
  // or has exceptional data, or `timeoutMs` passes (0 polls; negative waits
  // without limit).  Each set keeps only its ready descriptors.  Returns how
  // many set entries are ready, 0 on time-out, or -1 with errno set (EINTR
  // when a signal interrupted the wait, EBADF for a negative or closed
  // descriptor).
  static int select(ZuFdset* read, ZuFdset* write, ZuFdset* except, int timeoutMs);

 private:
  std::vector<int> fds_;
};

#endif  // HOST_ZUFDSET_H

// An owned file or socket descriptor: closed when its owner goes away.
#ifndef HOST_AUTO_HANDLE_H
#define HOST_AUTO_HANDLE_H

class auto_handle {
 public:
  auto_handle() : fd_(-1) {}
  explicit auto_handle(int fd) : fd_(fd) {}
  ~auto_handle() { reset(); }

  auto_handle(const auto_handle&) = delete;
  auto_handle& operator=(const auto_handle&) = delete;
  auto_handle(auto_handle&& other) noexcept : fd_(other.release()) {}
  auto_handle& operator=(auto_handle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Gives up ownership without closing.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes the current descriptor, if any, and owns `fd` instead.
  void reset(int fd = -1);

 private:
  int fd_;
};

#endif  // HOST_AUTO_HANDLE_H

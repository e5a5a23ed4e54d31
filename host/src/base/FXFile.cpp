#include "host/base/FXFile.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "host/base/DwSeam.h"

namespace {

FXFile systemLayer;
DwSeam<FXFile> seam(&systemLayer);

CZuError checkArgs(int len, int* moved, void* reserved) {
  if (len < 0) return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid transfer length %d", len);
  if (moved == nullptr) return FXErrorUtil::ErrorInt(FXLOC, 1, "No place for the transfer count");
  if (reserved != nullptr)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Asynchronous I/O is not supported");
  return CZuError();
}

}  // namespace

FXFile* FXFile::current() { return seam.current(); }

FXFile* FXFile::install(FXFile* layer) { return seam.install(layer); }

CZuError FXFile::DWReadFile(auto_handle& h, void* buf, int len, int* moved, void* reserved) {
  CZuError err = checkArgs(len, moved, reserved);
  if (err.IsError()) return err;
  *moved = 0;
  return current()->read(h.get(), buf, len, moved);
}

CZuError FXFile::DWWriteFile(auto_handle& h, const void* buf, int len, int* moved,
                             void* reserved) {
  CZuError err = checkArgs(len, moved, reserved);
  if (err.IsError()) return err;
  *moved = 0;
  return current()->write(h.get(), buf, len, moved);
}

CZuError FXFile::read(int fd, void* buf, int len, int* moved) {
  ssize_t n;
  do {
    n = ::read(fd, buf, static_cast<size_t>(len));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't read from descriptor %d", fd);
  *moved = static_cast<int>(n);
  return CZuError();
}

CZuError FXFile::write(int fd, const void* buf, int len, int* moved) {
  ssize_t n;
  do {
    // send() keeps a vanished peer from killing the process with SIGPIPE;
    // anything that is not a socket takes write().
    n = ::send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd, buf, static_cast<size_t>(len));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't write to descriptor %d", fd);
  *moved = static_cast<int>(n);
  return CZuError();
}

#include "host/base/DwServiceNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "host/base/auto_handle.h"

namespace {

// The variable's value as an unsigned number; false when absent or not one.
bool envNumber(const char* name, unsigned long long* value) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoull(text, &end, 10);
  return errno == 0 && *end == '\0';
}

}  // namespace

CZuError dwServiceNotify(const std::string& state) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || *path == '\0') return CZuError();
  sockaddr_un addr{};
  size_t len = std::strlen(path);
  if ((path[0] != '/' && path[0] != '@') || len >= sizeof addr.sun_path)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Unusable NOTIFY_SOCKET \"%s\"", path);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path, len);
  if (path[0] == '@') addr.sun_path[0] = '\0';  // abstract: the length delimits the name
  socklen_t addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  auto_handle fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't notify the service manager");
  ssize_t sent = ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                          reinterpret_cast<sockaddr*>(&addr), addrLen);
  if (sent < 0 || static_cast<size_t>(sent) != state.size())
    return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't notify the service manager at %s", path);
  return CZuError();
}

CZuError dwServiceReady() { return dwServiceNotify("READY=1"); }

// The manager matches the reload to its request by the monotonic clock.
CZuError dwServiceReloading() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  unsigned long long usec = static_cast<unsigned long long>(now.tv_sec) * 1000000ull +
                            static_cast<unsigned long long>(now.tv_nsec) / 1000ull;
  return dwServiceNotify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

CZuError dwServiceStopping() { return dwServiceNotify("STOPPING=1"); }

CZuError dwServiceWatchdog() { return dwServiceNotify("WATCHDOG=1"); }

int dwServiceWatchdogMs() {
  unsigned long long usec = 0, pid = 0;
  if (!envNumber("WATCHDOG_USEC", &usec) || usec == 0) return 0;
  if (envNumber("WATCHDOG_PID", &pid) && pid != static_cast<unsigned long long>(::getpid())) return 0;
  unsigned long long ms = usec / 2000;
  if (ms > 24ull * 3600 * 1000) ms = 24ull * 3600 * 1000;
  return ms == 0 ? 1 : static_cast<int>(ms);
}

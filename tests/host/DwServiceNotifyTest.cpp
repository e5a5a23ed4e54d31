// Notifications to a service manager whose $NOTIFY_SOCKET is an abstract
// socket name (the states themselves: ServiceTest, on a named socket).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "host/base/DwServiceNotify.h"

namespace {

// Sets the variables for one test and removes them after it.
class ServiceEnv : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) unsetenv(name);
  }
};

TEST_F(ServiceEnv, AbstractSocketNames) {
  std::string name = "blr-notify-test-" + std::to_string(getpid());
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
  setenv("NOTIFY_SOCKET", ("@" + name).c_str(), 1);
  EXPECT_FALSE(dwServiceStopping().IsError());
  char buf[64];
  ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "STOPPING=1");
  ::close(fd);
}

}  // namespace

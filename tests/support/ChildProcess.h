// A program run as a child process with its standard output on a pipe, for
// tests of the real binaries.  Destroying it stops the program; so does the
// end of the thread that started it, or of the test killed midway, so that
// no server outlives its test.  Start it on a thread that outlives it.
#ifndef BLR_TESTS_SUPPORT_CHILDPROCESS_H
#define BLR_TESTS_SUPPORT_CHILDPROCESS_H

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "host/net/DwTcp.h"

class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> argv) {
    std::vector<char*> args;  // made before fork: the child only execs
    for (std::string& a : argv) args.push_back(&a[0]);
    args.push_back(nullptr);
    int fds[2];
    if (::pipe(fds) != 0) return;
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(127);  // the parent ended already
      ::dup2(fds[1], 1);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~ChildProcess() {
    stop();
    if (out_ >= 0) ::close(out_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // One line of its output without the newline; what arrived so far when
  // `timeoutMs` passes between two bytes or the output closes.
  std::string readLine(int timeoutMs = 10000) {
    std::string line;
    char c = 0;
    DwWait w = DwWait::kReady;
    while (!dwWaitFd(out_, POLLIN, timeoutMs, -1, &w).IsError() && w == DwWait::kReady &&
           ::read(out_, &c, 1) == 1 && c != '\n')
      line += c;
    return line;
  }

  // Sends SIGTERM and returns the exit status (-1 when it did not exit).
  int stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    pid_t got = ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return got > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t pid() const { return pid_; }
  // A "Vm..." figure of /proc/<pid>/status in KiB ("VmHWM": peak resident
  // memory, "VmRSS": resident now); 0 when unknown.
  long memoryKiB(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.compare(0, field.size() + 1, field + ":") == 0)
        return std::atol(line.c_str() + field.size() + 1);
    return 0;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

// The number following `marker` in `text`, or 0.
inline int numberAfter(const std::string& text, const std::string& marker) {
  size_t at = text.rfind(marker);
  return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + marker.size());
}

// A loopback port nothing listens on (for a moment); 0 when none was found.
inline int freePort() {
  CZuSocket sock;
  int port = 0;
  return dwTcpListen("127.0.0.1", 0, 1, &sock, &port).IsError() ? 0 : port;
}

#endif  // BLR_TESTS_SUPPORT_CHILDPROCESS_H

// Helpers shared by the I/O tests.
#ifndef TESTS_IOTESTUTIL_H
#define TESTS_IOTESTUTIL_H

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <vector>

#include "host/auto_handle.h"

// Both ends of a pipe, each closed by its own handle.
struct Pipe {
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      readEnd.reset(fds[0]);
      writeEnd.reset(fds[1]);
    }
  }
  auto_handle readEnd;
  auto_handle writeEnd;
};

inline bool isClosed(int fd) { return ::fcntl(fd, F_GETFD) < 0 && errno == EBADF; }

inline std::vector<char> randomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<char> out(n);
  for (char& c : out) c = static_cast<char>(gen());
  return out;
}

#endif  // TESTS_IOTESTUTIL_H

// One line from a descriptor (a child's output pipe), without its newline;
// what arrived so far when `timeoutMs` passes between two bytes or the
// descriptor closes.
#ifndef BLR_TESTS_SUPPORT_READLINE_H
#define BLR_TESTS_SUPPORT_READLINE_H

#include <poll.h>
#include <unistd.h>

#include <string>

#include "host/DwTcp.h"

inline std::string readLine(int fd, int timeoutMs = 10000) {
  std::string line;
  char c = 0;
  DwWait w = DwWait::kReady;
  while (!dwWaitFd(fd, POLLIN, timeoutMs, -1, &w).IsError() && w == DwWait::kReady &&
         ::read(fd, &c, 1) == 1 && c != '\n')
    line += c;
  return line;
}

#endif  // BLR_TESTS_SUPPORT_READLINE_H

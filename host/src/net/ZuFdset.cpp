#include "host/net/ZuFdset.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

void ZuFdset::set(int fd) {
  if (!isSet(fd)) fds_.push_back(fd);
}

void ZuFdset::clear(int fd) { fds_.erase(std::remove(fds_.begin(), fds_.end(), fd), fds_.end()); }

bool ZuFdset::isSet(int fd) const { return std::find(fds_.begin(), fds_.end(), fd) != fds_.end(); }

int ZuFdset::select(ZuFdset* read, ZuFdset* write, ZuFdset* except, int timeoutMs) {
  struct Want {
    ZuFdset* set;
    short events;  // what poll reports for this set
  } wants[3] = {{read, POLLIN | POLLHUP | POLLERR},
                {write, POLLOUT | POLLERR},
                {except, POLLPRI}};
  std::vector<pollfd> fds;
  for (const Want& w : wants) {
    if (w.set == nullptr) continue;
    for (int fd : w.set->fds_) {
      if (fd < 0) {
        errno = EBADF;
        return -1;
      }
      fds.push_back(pollfd{fd, static_cast<short>(w.events & (POLLIN | POLLOUT | POLLPRI)), 0});
    }
  }
  int n = ::poll(fds.data(), fds.size(), timeoutMs < 0 ? -1 : timeoutMs);
  if (n < 0) return -1;
  for (const pollfd& p : fds) {
    if (p.revents & POLLNVAL) {
      errno = EBADF;
      return -1;
    }
  }
  int ready = 0;
  size_t i = 0;
  for (const Want& w : wants) {
    if (w.set == nullptr) continue;
    std::vector<int> kept;
    for (int fd : w.set->fds_) {
      if (fds[i++].revents & w.events) kept.push_back(fd);
    }
    ready += static_cast<int>(kept.size());
    w.set->fds_.swap(kept);
  }
  return ready;
}

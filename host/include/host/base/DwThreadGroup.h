// Threads started one by one (a server's connections) and joined when they
// have finished, or all at once at the end.
#ifndef HOST_DWTHREADGROUP_H
#define HOST_DWTHREADGROUP_H

#include <functional>
#include <list>
#include <mutex>
#include <thread>

#include "host/base/CZuError.h"

class DwThreadGroup {
 public:
  DwThreadGroup() = default;
  ~DwThreadGroup() { joinAll(); }
  DwThreadGroup(const DwThreadGroup&) = delete;
  DwThreadGroup& operator=(const DwThreadGroup&) = delete;

  // Runs `work` on a new thread; fails when the system can't make one.
  CZuError spawn(std::function<void()> work);
  // Joins the threads whose work has returned.
  void reapDone();
  // Joins every thread; the caller makes sure no more are spawned meanwhile.
  void joinAll();

 private:
  struct Member {
    std::thread thread;
    bool done = false;
  };

  void join(std::list<Member>* members);

  std::mutex mu_;
  std::list<Member> members_;
};

#endif  // HOST_DWTHREADGROUP_H

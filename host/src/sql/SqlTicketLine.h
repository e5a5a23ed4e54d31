// Arrival order for threads that wait under one mutex: each joins the line
// with a place of its own (on its stack) and may go only when it is first, so
// that a thread arriving late never overtakes one that waits.  Each place has
// its own condition variable and only the first is woken, so a release wakes
// one thread rather than all that wait.  Not locked itself: every call is
// made under the owner's mutex.
#ifndef HOST_SRC_SQLTICKETLINE_H
#define HOST_SRC_SQLTICKETLINE_H

#include <condition_variable>
#include <list>

class SqlTicketLine {
 public:
  struct Place {
    std::condition_variable turn;
    std::list<Place*>::iterator at;
  };

  void join(Place* place) { place->at = waiting_.insert(waiting_.end(), place); }
  bool first(const Place* place) const { return !waiting_.empty() && waiting_.front() == place; }
  bool empty() const { return waiting_.empty(); }

  // The place was served or given up.  The owner wakes the next in line when
  // what it waits for may hold.
  void leave(Place* place) { waiting_.erase(place->at); }
  // What the first waits for may hold now.
  void wakeFirst() {
    if (!waiting_.empty()) waiting_.front()->turn.notify_one();
  }

 private:
  std::list<Place*> waiting_;
};

#endif  // HOST_SRC_SQLTICKETLINE_H

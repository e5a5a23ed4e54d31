// Arrival order for threads that wait under one mutex and condition
// variable: each takes a ticket and is served only when its ticket is first
// in line, so that a thread arriving late never overtakes one that waits.
// A ticket given up (its wait timed out) is skipped when its turn comes.
// Not locked itself: every call is made under the owner's mutex.
#ifndef HOST_SRC_SQLTICKETLINE_H
#define HOST_SRC_SQLTICKETLINE_H

#include <cstdint>
#include <set>

class SqlTicketLine {
 public:
  uint64_t take() { return next_++; }
  bool isTurn(uint64_t ticket) const { return ticket == serving_; }
  bool empty() const { return serving_ == next_; }

  // The ticket was served or given up; the owner wakes the waiters.
  void done(uint64_t ticket) {
    if (ticket != serving_) {
      abandoned_.insert(ticket);
      return;
    }
    ++serving_;
    while (abandoned_.erase(serving_) != 0) ++serving_;
  }

 private:
  uint64_t next_ = 0;
  uint64_t serving_ = 0;
  std::set<uint64_t> abandoned_;
};

#endif  // HOST_SRC_SQLTICKETLINE_H

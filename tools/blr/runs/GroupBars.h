// How far each group of a run got, drawn on a terminal as one line per
// group, in place: "group 2 [#####x>.......] 5/12 done, 1 failed, 1 running".
#ifndef TOOLS_BLR_GROUPBARS_H
#define TOOLS_BLR_GROUPBARS_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

struct GroupCount {
  size_t total = 0;
  size_t done = 0;
  size_t failed = 0;
  size_t running = 0;
};

class GroupBars {
 public:
  explicit GroupBars(FILE* out) : out_(out) {}
  // Draws `title` (when not empty) and a line per group over what was
  // drawn before.
  void draw(const std::string& title, const std::vector<GroupCount>& groups);

  // "[####x>....] 4/10 done, 1 failed, 1 running" for group `groupNo` (from 0).
  static std::string line(size_t groupNo, const GroupCount& count);

 private:
  FILE* out_;
  size_t drawn_ = 0;
};

#endif  // TOOLS_BLR_GROUPBARS_H

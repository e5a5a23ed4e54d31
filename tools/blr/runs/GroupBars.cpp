#include "runs/GroupBars.h"

#include <algorithm>

namespace {

// [####xx>....]: done, failed, running, waiting, in 30 columns.
std::string bar(const GroupCount& c) {
  const size_t width = 30;
  auto cols = [&](size_t n) { return c.total == 0 ? 0 : (n * width + c.total - 1) / c.total; };
  std::string text(std::min(width, cols(c.done)), '#');
  text += std::string(std::min(width - text.size(), cols(c.failed)), 'x');
  text += std::string(std::min(width - text.size(), cols(c.running)), '>');
  return "[" + text + std::string(width - text.size(), '.') + "]";
}

}  // namespace

std::string GroupBars::line(size_t groupNo, const GroupCount& c) {
  return "group " + std::to_string(groupNo + 1) + " " + bar(c) + " " + std::to_string(c.done) + "/" +
         std::to_string(c.total) + " done" + (c.failed ? ", " + std::to_string(c.failed) + " failed" : "") +
         (c.running ? ", " + std::to_string(c.running) + " running" : "");
}

void GroupBars::draw(const std::string& title, const std::vector<GroupCount>& groups) {
  std::vector<std::string> lines;
  if (!title.empty()) lines.push_back(title);
  for (size_t g = 0; g < groups.size(); ++g) lines.push_back(line(g, groups[g]));
  if (drawn_ > 0) std::fprintf(out_, "\033[%zuA", drawn_);
  for (const std::string& l : lines) std::fprintf(out_, "\r\033[K%s\n", l.c_str());
  drawn_ = lines.size();
  std::fflush(out_);
}

// The table printer of blr, for whole answers and for rows printed as they
// arrive.  Cells are shown through cliTerminalText; columns are two blanks
// apart and measured in terminal columns, so that multi-byte characters and
// escapes keep them in line.
#ifndef TOOLS_BLR_CLITABLE_H
#define TOOLS_BLR_CLITABLE_H

#include <cstddef>
#include <string>
#include <vector>

// Ends a cell cut to its column's declared width.
extern const char kCliCutMarker[];

class CliTable {
 public:
  // `widths` are the columns' declared widths, needed only by take().
  explicit CliTable(std::vector<std::string> headers, std::vector<size_t> widths = {});

  void add(const std::vector<std::string>& row);
  // Rows added and not taken.
  size_t rows() const { return rows_.size(); }

  // The header and every row, each column as wide as its longest cell.
  std::string render() const;
  // The rows added since the last call, the header before the first, in
  // the declared widths: rows printed before the later ones are known, so
  // a longer cell is cut and ends in kCliCutMarker.  The rows are then
  // dropped, so that a table of any length is never held whole.
  std::string take();

 private:
  std::vector<std::string> header_;
  std::vector<size_t> widths_;
  std::vector<std::vector<std::string>> rows_;
  bool headerTaken_ = false;
};

#endif  // TOOLS_BLR_CLITABLE_H

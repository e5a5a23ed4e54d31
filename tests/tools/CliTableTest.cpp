// The table printer of blr: columns in line whatever the bytes of the cells,
// and the cells of a streamed table cut to the declared widths; JSON of texts
// that are not UTF-8.
#include <gtest/gtest.h>

#include "Cli.h"
#include "output/CliTable.h"

namespace {

TEST(CliTableTest, ColumnsFitTheirLongestValueInTerminalColumns) {
  CliTable table({"A", "B", "C"});
  table.add({"\xc3\xa9\x1b", "x", "1"});   // é (two bytes, one column), ESC shown as \x1b
  table.add({"\xff", "\xe6\xbc\xa2\xe5\xad\x97", "2"});  // a stray byte; two wide characters
  table.add({"plain", "y"});               // a missing cell is empty
  EXPECT_EQ(table.render(),
            "A      B     C\n"
            "\xc3\xa9\\x1b  x     1\n"
            "\\xff   \xe6\xbc\xa2\xe5\xad\x97  2\n"
            "plain  y\n");
}

TEST(CliTableTest, StreamedRowsKeepTheDeclaredWidthsAndCutLongerCells) {
  CliTable table({"ID", "NAME", "STATUS"}, {4, 8, 6});
  table.add({"1", "short", "ok"});
  EXPECT_EQ(table.take(), "ID    NAME      STATUS\n1     short     ok\n");
  table.add({"12345", "abcde\x1bxyz", "3 synchronising"});  // an escape is never split
  table.add({"2", "\xc3\xbcn\xc3\xaf" "c\xc3\xb6" "d\xc3\xa9-long", "ok"});
  EXPECT_EQ(table.take(),
            "123\xe2\x80\xa6  abcde\xe2\x80\xa6    3 syn\xe2\x80\xa6\n"
            "2     \xc3\xbcn\xc3\xaf" "c\xc3\xb6" "d\xc3\xa9\xe2\x80\xa6  ok\n");
  EXPECT_EQ(table.rows(), 0u);
  EXPECT_EQ(table.take(), "");
}

// A step's result may hold a peer's bytes as they came: storing the steps
// must not throw on them (it once ended blr mid-run).
TEST(CliJsonTest, TextsThatAreNotUtf8AreReplacedNotThrownOn) {
  Json steps = Json::array({Json{{"title", "Stopping VM"}, {"result", std::string("FAILED: \xff\xfe boom")}}});
  std::string compact;
  ASSERT_NO_THROW(compact = cliJsonCompact(steps));
  EXPECT_EQ(compact, "[{\"title\":\"Stopping VM\",\"result\":\"FAILED: \xef\xbf\xbd\xef\xbf\xbd boom\"}]");
  ASSERT_NO_THROW(cliJsonText(steps));
}

}  // namespace

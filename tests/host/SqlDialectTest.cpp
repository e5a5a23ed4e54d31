#include <gtest/gtest.h>

#include "host/sql/DWSqlDialect.h"

namespace {

using DWSqlDialect::rewrite;
using DWSqlDialect::splitCommands;
const DWSqlBackend kSqlite = DWSqlBackend::kSqlite;
const DWSqlBackend kPostgres = DWSqlBackend::kPostgres;

TEST(SqlDialectSplit, SeparatorsInsideLiteralsIdentifiersAndCommentsDoNotSplit) {
  std::vector<std::string> commands = splitCommands(
      "INSERT INTO t VALUES('a;b', 'it''s; --x /*y*/');"
      " SELECT \"we;ird\" FROM [x;y] -- tail; comment\n"
      "; /* block; /* nested; */ still; */ DELETE FROM t;;  ;\n-- only a comment;\n");
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0], "INSERT INTO t VALUES('a;b', 'it''s; --x /*y*/')");
  EXPECT_EQ(commands[1], "SELECT \"we;ird\" FROM [x;y] -- tail; comment");
  EXPECT_EQ(commands[2], "/* block; /* nested; */ still; */ DELETE FROM t");
}

TEST(SqlDialectSplit, EmptyAndUnterminatedTexts) {
  EXPECT_TRUE(splitCommands("").empty());
  EXPECT_TRUE(splitCommands(" ; ;\n").empty());
  EXPECT_TRUE(splitCommands(" \t\n").empty());
  EXPECT_EQ(splitCommands(" \tSELECT 1\n "), std::vector<std::string>{"SELECT 1"});
  // An unterminated literal swallows the rest, separators included.
  std::vector<std::string> commands = splitCommands("SELECT 'abc; SELECT 2");
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0], "SELECT 'abc; SELECT 2");
}

}  // namespace

#include <gtest/gtest.h>

#include "host/base/FXString.h"
#include "host/sql/DWSqlDialect.h"

namespace {

using DWSqlDialect::rewrite;
using DWSqlDialect::splitCommands;
const DWSqlBackend kSqlite = DWSqlBackend::kSqlite;
const DWSqlBackend kPostgres = DWSqlBackend::kPostgres;

// Each row: a command, then what it becomes on SQLite and on PostgreSQL
// ("=": unchanged, "": not checked).
TEST(SqlDialectRewrite, CommandsBecomeTheBackendsOwn) {
  const std::string head = "DELETE BlrDisk FROM BlrDisk INNER JOIN BlrPair ON BlrPair.id=BlrDisk.pairId ";
  const std::string filter = "BlrPair.srcType=2 AND BlrPair.subClientId=3 OR BlrPair.flags&8=8";
  const std::string subquery = "DELETE FROM BlrDisk WHERE rowid IN (SELECT BlrDisk.rowid FROM BlrDisk INNER JOIN "
                               "BlrPair ON BlrPair.id=BlrDisk.pairId";
  const std::string usingJoin = "DELETE FROM BlrDisk USING BlrPair WHERE (BlrPair.id=BlrDisk.pairId)";
  const struct {
    std::string cmd;
    std::string sqlite;
    std::string postgres;
  } cases[] = {
      // The OR of the filter must stay inside its parentheses.
      {head + "WHERE " + filter, subquery + " WHERE " + filter + ")", usingJoin + " AND (" + filter + ")"},
      {head, subquery + ")", usingJoin},  // every joined row
      {"delete t from t join u /* where */ on (u.id=t.uid and u.n='x WHERE y') where u.name='a''b' -- done",
       "",
       "DELETE FROM t USING u WHERE ((u.id=t.uid and u.n='x WHERE y')) AND (u.name='a''b')"},
      {"DELETE FROM BlrPair WHERE id=3", "=", "="},
      {"DELETE a FROM b INNER JOIN c ON 1=1", "=", "="},
      {"DELETE t FROM t LEFT JOIN u ON 1=1", "=", "="},
      {"SELECT SCOPE_IDENTITY()", "SELECT last_insert_rowid()", "SELECT lastval()"},
      {"select scope_identity ( )", "select last_insert_rowid()", "select lastval()"},
      {"SELECT 'SCOPE_IDENTITY()'", "=", "="},
      {"UPDATE BlrPair SET flags=flags&~8 WHERE id=1", "=", "UPDATE BlrPair SET flags=flags& ~8 WHERE id=1"},
      {"UPDATE BlrPair SET flags=flags|-5 WHERE id=-1", "=", "UPDATE BlrPair SET flags=flags| -5 WHERE id= -1"},
      {"SELECT '&~', x<>y, a<=b, 1e-5 FROM t", "=", "="},
      {"INSERT INTO BlrPairProperties(pairId, propertyName, propertyValue, propertyTypeId, created, modified) "
       "VALUES(4, 'a', 'it''s -- /* ; x', '', 0, 0)",
       "=", "="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cmd);
    if (!c.sqlite.empty()) {
      EXPECT_EQ(rewrite(c.cmd, kSqlite), c.sqlite == "=" ? c.cmd : c.sqlite);
    }
    EXPECT_EQ(rewrite(c.cmd, kPostgres), c.postgres == "=" ? c.cmd : c.postgres);
  }
}

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

// Texts cross to and from the wide form of the database layer byte for byte,
// whatever they hold; wide values no UTF-8 can carry become U+FFFD.
TEST(FXString, AnyBytesComeBackByteForByte) {
  for (const std::string& s : {std::string("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"),
                               std::string("\xFF\xFE\x80", 3), std::string("\xF4\x90\x80\x80", 4)})
    EXPECT_EQ(FXString::ToString(FXString::FromString(s).c_str()), s);
  const wchar_t odd[] = {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), 0};
  EXPECT_EQ(FXString::ToString(odd), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace

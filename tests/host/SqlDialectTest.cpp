#include <gtest/gtest.h>

#include "host/DWSqlDialect.h"

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

TEST(SqlDialectRewrite, DeleteJoinBecomesSubqueryOnSqliteAndUsingOnPostgres) {
  const std::string head = "DELETE BlrDisk FROM BlrDisk INNER JOIN BlrPair ON BlrPair.id=BlrDisk.pairId ";
  const std::string where = "WHERE BlrPair.srcType=2 AND BlrPair.subClientId=3 OR BlrPair.flags&8=8";
  EXPECT_EQ(rewrite(head + where, kSqlite),
            "DELETE FROM BlrDisk WHERE rowid IN (SELECT BlrDisk.rowid FROM BlrDisk INNER JOIN BlrPair "
            "ON BlrPair.id=BlrDisk.pairId WHERE " + where.substr(6) + ")");
  // The OR of the filter must stay inside its parentheses.
  EXPECT_EQ(rewrite(head + where, kPostgres),
            "DELETE FROM BlrDisk USING BlrPair WHERE (BlrPair.id=BlrDisk.pairId) AND (" + where.substr(6) +
                ")");
  // Without a WHERE clause (delete every joined row).
  EXPECT_EQ(rewrite(head, kPostgres), "DELETE FROM BlrDisk USING BlrPair WHERE (BlrPair.id=BlrDisk.pairId)");
  EXPECT_EQ(rewrite(head, kSqlite),
            "DELETE FROM BlrDisk WHERE rowid IN (SELECT BlrDisk.rowid FROM BlrDisk INNER JOIN BlrPair "
            "ON BlrPair.id=BlrDisk.pairId)");
}

TEST(SqlDialectRewrite, DeleteJoinKeepsLiteralsAndFindsTheOuterWhere) {
  std::string cmd = "delete t from t join u /* where */ on (u.id=t.uid and u.n='x WHERE y') "
                    "where u.name='a''b' -- done";
  EXPECT_EQ(rewrite(cmd, kPostgres),
            "DELETE FROM t USING u WHERE ((u.id=t.uid and u.n='x WHERE y')) AND (u.name='a''b')");
}

TEST(SqlDialectRewrite, OtherDeletesAreUntouched) {
  for (const char* cmd : {"DELETE FROM BlrPair WHERE id=3", "DELETE FROM BlrDisk where id=4",
                          "DELETE a FROM b INNER JOIN c ON 1=1", "DELETE t FROM t LEFT JOIN u ON 1=1"}) {
    EXPECT_EQ(rewrite(cmd, kSqlite), cmd);
    EXPECT_EQ(rewrite(cmd, kPostgres), cmd);
  }
}

TEST(SqlDialectRewrite, ScopeIdentityBecomesTheBackendsLastIdentity) {
  EXPECT_EQ(rewrite("SELECT SCOPE_IDENTITY()", kSqlite), "SELECT last_insert_rowid()");
  EXPECT_EQ(rewrite("select scope_identity ( )", kPostgres), "select lastval()");
  EXPECT_EQ(rewrite("SELECT 'SCOPE_IDENTITY()'", kPostgres), "SELECT 'SCOPE_IDENTITY()'");
}

TEST(SqlDialectRewrite, UnaryOperatorsAreSeparatedOnPostgresOnly) {
  EXPECT_EQ(rewrite("UPDATE BlrPair SET flags=flags&~8 WHERE id=1", kPostgres),
            "UPDATE BlrPair SET flags=flags& ~8 WHERE id=1");
  EXPECT_EQ(rewrite("UPDATE BlrPair SET flags=flags|-5 WHERE id=-1", kPostgres),
            "UPDATE BlrPair SET flags=flags| -5 WHERE id= -1");
  EXPECT_EQ(rewrite("UPDATE BlrPair SET flags=flags&~8 WHERE id=1", kSqlite),
            "UPDATE BlrPair SET flags=flags&~8 WHERE id=1");
  EXPECT_EQ(rewrite("SELECT '&~', x<>y, a<=b, 1e-5 FROM t", kPostgres), "SELECT '&~', x<>y, a<=b, 1e-5 FROM t");
}

TEST(SqlDialectRewrite, HandlerStatementsPassUnchanged) {
  const char* statements[] = {
      ("INSERT INTO BlrPairProperties(pairId, propertyName, propertyValue, propertyTypeId, created, modified) "
       "VALUES(4, 'a', 'it''s -- /* ; x', '', 0, 0)"),
      "UPDATE BlrPair SET statusCode=14, statusMessage='', eventId=0 WHERE id=4",
      "SELECT BlrPair.id FROM BlrPair WHERE BlrPair.flags&8=8 OR BlrPair.id=5",
  };
  for (const char* s : statements) {
    EXPECT_EQ(rewrite(s, kSqlite), s);
    EXPECT_EQ(rewrite(s, kPostgres), s);
  }
}

}  // namespace

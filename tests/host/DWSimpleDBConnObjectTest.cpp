#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/SqlTestDb.h"
#include "host/config/DWPlatformInfo.h"
#include "host/sql/DWSimpleDBConnObject.h"
#include "host/sql/DWSqlDialect.h"
#include "host/sql/DWSqlSchema.h"
#include "host/sql/DWSqlUnit.h"
#include "host/base/FXString.h"
#include "SqliteWriterLock.h"
#include "support/Check.h"
#include "support/ManualClock.h"

namespace {

class Conn : public DWSimpleDBConnObject {
 public:
  explicit Conn(const char* db = "Anchor") { openCode = openSQLConnectionUsingDbName(db); }
  int exec(const std::string& sql) { return execQuery(sql.c_str(), false, false); }
  // The single integer of a one-row query, or INT_MIN.
  int scalar(const std::string& sql) {
    int32_t value = INT_MIN;
    if (exec(sql) != 0 || ibindstruct("i", &value) != 0 || getNextRow() != 0) return INT_MIN;
    return value;
  }
  int openCode;
};

class ConnTest : public SqlBackendTest {
 protected:
  void SetUp() override {
    SqlBackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_OK(DWCreateSchema("Anchor"));
    Conn conn;
    ASSERT_EQ(conn.exec("CREATE TABLE T(id INTEGER PRIMARY KEY, n INTEGER, s TEXT)"), 0)
        << conn.getLastErrorText();
  }
};

// Codes are stable across backends; an error's text is the backend's, and
// the next success clears it.  Binds that don't fit the query are misuse.
TEST_P(ConnTest, ResultCodesFollowTheLastCommandAndBindMisuseIsRefused) {
  Conn conn;
  ASSERT_EQ(conn.openCode, 0) << conn.getLastErrorText();
  int32_t a = 0, b = 0;
  char s[8];
  EXPECT_EQ(conn.ibindstruct("i", &a), DWSQL_MISUSE);  // nothing executed yet
  EXPECT_EQ(conn.getNextRow(), DWSQL_MISUSE);
  const std::pair<const char*, int> cases[] = {
      {"SELECT n FROM T", DWSQL_NO_ROWS},
      {"INSERT INTO T(id, n) VALUES(1, 10)", 0},
      {"UPDATE T SET n=11 WHERE id=99", 0},  // no row affected is still 0
      {"SELECT n FROM T", 0},
      {"INSERT INTO T(id, n) VALUES(2, 20); SELECT n FROM T WHERE id=3", DWSQL_NO_ROWS},
      {"SELECT n FROM T; DELETE FROM T WHERE id=2", 0},
      {"SELEC 1", DWSQL_ERROR},
      {"INSERT INTO T(id) VALUES(1)", DWSQL_CONSTRAINT},
      {"INSERT INTO T(id) VALUES(1); SELECT n FROM T", DWSQL_CONSTRAINT},  // not only the last
      {"INSERT INTO BlrDisk(pairId) VALUES(12345)", DWSQL_CONSTRAINT},  // no such pair
      {"   ;  -- nothing\n", DWSQL_MISUSE},
  };
  for (const auto& [sql, code] : cases) {
    EXPECT_EQ(conn.exec(sql), code) << sql;
    EXPECT_EQ(conn.getLastErrorText().empty(), code == 0 || code == DWSQL_NO_ROWS) << sql;
  }
  EXPECT_EQ(conn.execQuery(nullptr, false, false), DWSQL_MISUSE);
  EXPECT_EQ(conn.scalar("SELECT COUNT(*) FROM T"), 1);

  ASSERT_EQ(conn.exec("SELECT id, n FROM T"), 0);
  EXPECT_EQ(conn.ibindstruct("i", &a), DWSQL_MISUSE);           // too few items
  EXPECT_EQ(conn.ibindstruct("i|i|i", &a, &b, &a), DWSQL_MISUSE);  // too many
  for (const char* bad : {"i|", "i|x", "i|s", "i|s0", "i|w-1", "i||"})
    EXPECT_EQ(conn.ibindstruct(bad, &a, s), DWSQL_MISUSE) << bad;
  EXPECT_EQ(conn.getNextRow(), DWSQL_MISUSE);  // the failed binds left nothing bound
  EXPECT_EQ(conn.ibindstruct("i|i", &a, &b), 0);
  EXPECT_EQ(conn.getNextRow(), 0);
}

TEST_P(ConnTest, ScopeIdentityReadsTheIdOfTheInsertedRow) {
  Conn conn;
  int first = conn.scalar("INSERT INTO BlrPair(subClientId, srcGuid) VALUES(3, 'g'); SELECT SCOPE_IDENTITY()");
  int second = conn.scalar("INSERT INTO BlrPair(subClientId, srcGuid) VALUES(3, 'h'); SELECT SCOPE_IDENTITY()");
  EXPECT_GT(first, 0);
  EXPECT_EQ(second, first + 1);
  // Identities are not reused after the newest row is deleted.
  ASSERT_EQ(conn.exec("DELETE FROM BlrPair WHERE id=" + std::to_string(second)), 0);
  EXPECT_EQ(conn.scalar("INSERT INTO BlrPair(subClientId, srcGuid) VALUES(3, 'i'); SELECT SCOPE_IDENTITY()"),
            second + 1);
}

TEST_P(ConnTest, BindFormatsTruncateTerminateAndSaturate) {
  Conn conn;
  ASSERT_EQ(conn.exec("INSERT INTO T(id, n, s) VALUES(1, 7, 'abcdefghij')"), 0);
  ASSERT_EQ(conn.exec("SELECT n, 5000000000, -5000000000, 5000000000, s, s, s, n FROM T"), 0);
  int32_t n = 0, small = 0;
  int64_t big = 0, jobId = 0;
  char s4[5], s64[65], num[9];
  wchar_t w5[6];
  ASSERT_EQ(conn.ibindstruct("i|i|b|B|s4|s64|w5|s8", &n, &small, &big, &jobId, s4, s64, w5, num), 0)
      << conn.getLastErrorText();
  ASSERT_EQ(conn.getNextRow(), 0);
  EXPECT_EQ(n, 7);
  EXPECT_EQ(small, INT32_MAX);
  EXPECT_EQ(big, -5000000000LL);
  EXPECT_EQ(jobId, 5000000000LL);
  EXPECT_STREQ(s4, "abcd");  // a text of the width is read whole
  EXPECT_STREQ(s64, "abcdefghij");
  EXPECT_STREQ(w5, L"abcde");
  EXPECT_STREQ(num, "7");  // a number read as text
  EXPECT_EQ(conn.getNextRow(), DWSQL_NO_ROWS);

  // Texts read as numbers as strtoll reads them: blanks and a sign first,
  // digits up to the first other character, saturated when out of range.
  const std::pair<const char*, int64_t> texts[] = {
      {"' +42'", 42}, {"'-99999999999999999999'", INT64_MIN}, {"'12abc'", 12}, {"''", 0}};
  for (const auto& [text, expected] : texts) {
    int64_t wide = -1;
    int32_t narrow = 0;
    ASSERT_EQ(conn.exec(std::string("SELECT ") + text + ", '-3000000000'"), 0);
    ASSERT_EQ(conn.ibindstruct("b|i", &wide, &narrow), 0) << conn.getLastErrorText();
    ASSERT_EQ(conn.getNextRow(), 0);
    EXPECT_EQ(wide, expected) << text;
    EXPECT_EQ(narrow, INT32_MIN);
  }

  // A narrow text is not cut inside a UTF-8 sequence.
  ASSERT_EQ(conn.exec("UPDATE T SET s='ab\xE2\x82\xAC" "c'"), 0);
  char s6[7];
  ASSERT_EQ(conn.exec("SELECT s, s FROM T"), 0);
  ASSERT_EQ(conn.ibindstruct("s4|s6", s4, s6), 0);
  ASSERT_EQ(conn.getNextRow(), 0);
  EXPECT_STREQ(s4, "ab");
  EXPECT_STREQ(s6, "ab\xE2\x82\xAC" "c");
}

// A failed request leaves no trace: several commands outside a transaction
// are one unit, and inside one a failed statement undoes only itself.  An
// abandoned failed request: see PooledHandlesComeBackWithoutTheirTransaction.
TEST_P(ConnTest, TransactionsEndByCommitRollbackOrDestructionAndFailuresLeaveNoTrace) {
  {
    Conn conn;
    ASSERT_EQ(conn.startTran(), 0);
    EXPECT_EQ(conn.startTran(), DWSQL_MISUSE);  // no nesting
    ASSERT_EQ(conn.exec("INSERT INTO T(id) VALUES(1)"), 0);
    ASSERT_EQ(conn.endTran(1), 0);
    EXPECT_EQ(conn.endTran(1), DWSQL_MISUSE);  // nothing open
    ASSERT_EQ(conn.startTran(), 0);
    EXPECT_EQ(conn.endTran(3), DWSQL_MISUSE);
    ASSERT_EQ(conn.exec("INSERT INTO T(id) VALUES(2)"), 0);
    ASSERT_EQ(conn.endTran(2), 0);
    ASSERT_EQ(conn.startTran(), 0);
    ASSERT_EQ(conn.exec("INSERT INTO T(id) VALUES(3)"), 0);
  }  // destroyed with the transaction open
  Conn conn;
  EXPECT_EQ(conn.scalar("SELECT SUM(id) FROM T"), 1);

  EXPECT_EQ(conn.exec("INSERT INTO T(id) VALUES(5); INSERT INTO T(id) VALUES(5)"), DWSQL_CONSTRAINT);
  ASSERT_EQ(conn.startTran(), 0);
  ASSERT_EQ(conn.exec("INSERT INTO T(id) VALUES(6)"), 0);
  EXPECT_EQ(conn.exec("INSERT INTO T(id) VALUES(7); INSERT INTO T(id) VALUES(6)"), DWSQL_CONSTRAINT);
  EXPECT_EQ(conn.exec("INSERT INTO T(id) VALUES(8)"), 0);
  ASSERT_EQ(conn.endTran(1), 0);
  EXPECT_EQ(conn.scalar("SELECT SUM(id) FROM T"), 15);
}

// Statements that differ only in their values share a prepared statement on
// SQLite: a command of a shape the handle has run is matched against that
// shape's text, and only a literal of the same kind, whole, may take a
// value's place.  A number after ORDER BY or GROUP BY names a column, one
// before it is a value; a text literal in a comment is no value.
TEST_P(ConnTest, CommandsOfAKnownShapeKeepWhatTheirLiteralsMean) {
  Conn conn;
  for (int i = 1; i <= 5; ++i)
    ASSERT_EQ(conn.exec("INSERT INTO T(id, n, s) VALUES(" + std::to_string(i) + ", " + std::to_string(i * 10) +
                        ", 'it''s " + std::to_string(i) + "')"),
              0);
  const int none = INT_MIN;
  struct Case {
    const char* sql;
    int expected;
  };
  std::vector<Case> cases = {
      {"SELECT n FROM T WHERE id=2", 20},
      {"SELECT n FROM T WHERE id=003", 30},
      {"SELECT n FROM T WHERE id=3.5", none},
      {"SELECT n FROM T WHERE s='it''s 1'", 10},
      {"SELECT n FROM T WHERE s='it''s 3' ORDER BY 1", 30},
      {"SELECT n FROM T WHERE s='x'' ORDER BY 1 -- '", none},
      {"SELECT COUNT(*) FROM T WHERE id IN (1,2,3,4,5,6,7,8,9,10,11) AND s<>'a'", 5},
      {"SELECT COUNT(*) FROM T WHERE id IN (5,6,7,8,9,10,11,12,13,14,1) AND s<>'a'", 2},
      {"SELECT n FROM T WHERE id > 1 /* 'x' */ ORDER BY 1 DESC", 50},
      {"SELECT n FROM T WHERE id > 3 /* 'x' */ ORDER BY 1 DESC", 50},
      {"SELECT COUNT(*) FROM T WHERE id > 1 GROUP BY n > 25 ORDER BY 1 DESC", 3},
      {"SELECT COUNT(*) FROM T WHERE id > 3 GROUP BY n > 25 ORDER BY 1 DESC", 2},
  };
  if (GetParam() == DWSqlBackend::kSqlite)
    cases.push_back({"SELECT n FROM T WHERE id=0x4", 40});  // "0" followed by a word: no value
  // Twice, so that every command also meets its own shape again.
  for (int pass = 0; pass < 2; ++pass)
    for (const Case& c : cases) EXPECT_EQ(conn.scalar(c.sql), c.expected) << c.sql;
  // An unterminated literal is the database's to refuse.
  int rc = conn.exec("SELECT n FROM T WHERE s='it''s 2");
  EXPECT_NE(rc, 0);
  EXPECT_NE(rc, DWSQL_NO_ROWS);
  EXPECT_EQ(conn.scalar("SELECT n FROM T WHERE s='it''s 2'"), 20);
}

// Which pooled handle a connection runs on: a number kept in a table of the
// handle's own session.
int handleId(Conn& conn) {
  static std::atomic<int> next{1};
  conn.exec("CREATE TEMP TABLE IF NOT EXISTS Handle(id INTEGER)");
  conn.exec("INSERT INTO Handle(id) SELECT " + std::to_string(next++) + " WHERE NOT EXISTS (SELECT 1 FROM Handle)");
  return conn.scalar("SELECT id FROM Handle");
}

TEST_P(ConnTest, PooledHandlesComeBackWithoutTheirTransaction) {
  DWPlatformInfo::setNumber("Database", "nPoolSize", 1);
  int first;
  {
    Conn conn;
    first = handleId(conn);
    ASSERT_EQ(conn.startTran(), 0);
    ASSERT_EQ(conn.exec("INSERT INTO T(id) VALUES(1); INSERT INTO T(id) VALUES(4)"), 0);
    EXPECT_EQ(conn.exec("INSERT INTO T(id) VALUES(5); INSERT INTO Missing VALUES(1)"), DWSQL_ERROR);
  }  // a failed request, abandoned
  {
    Conn conn;
    EXPECT_EQ(handleId(conn), first);
    EXPECT_EQ(conn.exec("SELECT id FROM T"), DWSQL_NO_ROWS);
    ASSERT_EQ(conn.exec("INSERT INTO T(id) VALUES(2)"), 0);  // commits by itself
    // A transaction begun by a statement rather than startTran.
    ASSERT_EQ(conn.exec("BEGIN"), 0);
    ASSERT_EQ(conn.exec("INSERT INTO T(id) VALUES(3)"), 0);
  }
  Conn conn;
  EXPECT_EQ(handleId(conn), first);
  EXPECT_EQ(conn.scalar("SELECT SUM(id) FROM T"), 2);
}

// Concurrent read-then-write transactions stay within the pool's handles and
// lose no update (a lost one would show in the total).
TEST_P(ConnTest, ConcurrentWritersStayWithinThePoolAndLoseNothing) {
  const int kSize = 3, kThreads = 64, kEach = 4;  // 64 requests at once
  DWPlatformInfo::setNumber("Database", "nPoolSize", kSize);
  ASSERT_EQ(Conn().exec("INSERT INTO T(id, n) VALUES(1, 0)"), 0);
  std::atomic<int> holding{0}, most{0}, failures{0};
  std::mutex idsMutex;
  std::set<int> ids;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        Conn conn;
        int now = ++holding;
        for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {}
        const int id = handleId(conn);
        int rc = conn.startTran();
        int n = rc == 0 ? conn.scalar("SELECT n FROM T WHERE id=1") : INT_MIN;
        if (rc == 0 && n != INT_MIN) rc = conn.exec("UPDATE T SET n=" + std::to_string(n + 1) + " WHERE id=1");
        if (rc == 0 && n != INT_MIN) rc = conn.endTran(1);
        if (conn.openCode != 0 || id == INT_MIN || rc != 0 || n == INT_MIN) ++failures;
        --holding;
        std::lock_guard<std::mutex> lock(idsMutex);
        ids.insert(id);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_LE(most, kSize);
  EXPECT_LE(ids.size(), static_cast<size_t>(kSize));
  EXPECT_EQ(Conn().scalar("SELECT n FROM T WHERE id=1"), kThreads * kEach);

  // A thread that holds a handle gets a second one even when none is free.
  DWPlatformInfo::setNumber("Database", "nPoolSize", 1);
  Conn outer, inner;
  EXPECT_EQ(outer.openCode, 0);
  EXPECT_EQ(inner.openCode, 0);
  EXPECT_NE(handleId(outer), handleId(inner));
}

// What the writers spent is counted per database on both backends: a write
// transaction held open for a while is the time held, and the one behind it
// waits that long.  SQLite also counts the flushes of its log, each made
// inside a commit's wait for one.
TEST_P(ConnTest, TheWritersTimeIsCountedPerDatabase) {
  auto anchor = [] {
    DWSqlWriterUsage sum;
    for (const DWSqlWriterUsage& u : DWSimpleDBConnObject::writerUsage()) {
      if (u.database != "Anchor") continue;
      sum.writes += u.writes, sum.waitSecs += u.waitSecs, sum.heldSecs += u.heldSecs;
      sum.flushes += u.flushes, sum.flushSecs += u.flushSecs, sum.commitWaitSecs += u.commitWaitSecs;
    }
    return sum;
  };
  const DWSqlWriterUsage before = anchor();
  Conn holder;
  ASSERT_EQ(holder.startTran(), 0);
  ASSERT_EQ(holder.exec("INSERT INTO T(id) VALUES(1)"), 0);
  std::thread next([] {
    Conn conn;
    EXPECT_EQ(conn.startTran(), 0);
    EXPECT_EQ(conn.exec("INSERT INTO T(id) VALUES(2)"), 0);
    EXPECT_EQ(conn.endTran(1), 0);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(holder.endTran(1), 0);
  next.join();
  const DWSqlWriterUsage after = anchor();
  EXPECT_EQ(after.writes - before.writes, 2u);
  EXPECT_GE(after.heldSecs - before.heldSecs, 0.3);
  EXPECT_GE(after.waitSecs - before.waitSecs, 0.1);
  const bool sqlite = GetParam() == DWSqlBackend::kSqlite;
  EXPECT_GE(after.flushes - before.flushes, sqlite ? 1u : 0u);
  EXPECT_LE(after.flushes - before.flushes, sqlite ? 2u : 0u);
  EXPECT_GE(after.commitWaitSecs - before.commitWaitSecs, after.flushSecs - before.flushSecs);
  EXPECT_EQ(Conn().scalar("SELECT COUNT(*) FROM T"), 2);
}

BLR_SQL_BACKENDS(ConnTest);

// The server ends a session in the middle of a transaction.
TEST(SqlPoolPostgres, HandleBrokenMidTransactionIsNeverReused) {
  SqlTestDb db;
  std::string whyNot;
  if (!db.setUp(DWSqlBackend::kPostgres, &whyNot)) GTEST_SKIP() << whyNot;
  DWPlatformInfo::setNumber("Database", "nPoolSize", 2);
  int broken;
  {
    Conn victim;
    broken = victim.scalar("SELECT pg_backend_pid()");
    ASSERT_EQ(victim.startTran(), 0);
    Conn killer;
    EXPECT_EQ(killer.scalar("SELECT CASE WHEN pg_terminate_backend(" + std::to_string(broken) + ") THEN 1 ELSE 0 END"), 1);
    EXPECT_EQ(victim.exec("SELECT 1"), DWSQL_CONNECTION);
  }
  for (int i = 0; i < 4; ++i) {
    Conn next;
    int pid = next.scalar("SELECT pg_backend_pid()");
    EXPECT_NE(pid, INT_MIN) << next.getLastErrorText();
    EXPECT_NE(pid, broken);
  }
  db.tearDown();
}

// An unreachable database is a connection error, a name the registry does
// not describe a configuration error (a bad backend: BlrSQLTest; a PostgreSQL
// server away: FailoverTest's health); an unopened connection fails every
// operation with its code.
TEST(SqlLocation, UnreachableDatabasesAndUnknownNamesAreReported) {
  DWPlatformInfo::reset();
  DWPlatformInfo::setValue("Database", "sBackend", "sqlite");
  DWPlatformInfo::setValue("Database", "sSqliteFile", "/proc/no-such-dir/x.db");
  Conn conn("Anchor");
  EXPECT_EQ(conn.openCode, DWSQL_CONNECTION);
  EXPECT_NE(conn.getLastErrorText().find("Anchor"), std::string::npos) << conn.getLastErrorText();
  EXPECT_EQ(conn.exec("SELECT 1"), DWSQL_CONNECTION);
  EXPECT_EQ(conn.startTran(), DWSQL_CONNECTION);
  EXPECT_EQ(Conn("no/such").openCode, DWSQL_CONFIG);
  DWSimpleDBConnObject never;
  EXPECT_EQ(never.execQuery("SELECT 1", false, false), DWSQL_CONNECTION);
  DWPlatformInfo::reset();
}

class SqliteLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    ASSERT_TRUE(db_.setUp(DWSqlBackend::kSqlite, &whyNot)) << whyNot;
    ASSERT_EQ(Conn().exec("CREATE TABLE T(id INTEGER PRIMARY KEY)"), 0);
  }
  void TearDown() override { db_.tearDown(); }

  static std::string file() {
    std::string dir;
    DWPlatformInfo().getString("Database", "sSqliteDir", &dir);
    return dir + "/Anchor.db";
  }

  SqlTestDb db_;
  ManualClock clock_;
  ManualClock::Installer installer_{&clock_};
};

// A handle outside the pool stands for a writer in another process.
struct ForeignWriter {
  explicit ForeignWriter(const std::string& file) {
    sqlite3_open(file.c_str(), &db);
    ok = sqlite3_exec(db, "BEGIN IMMEDIATE; INSERT INTO T(id) VALUES(1)", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~ForeignWriter() { sqlite3_close(db); }
  int commit() { return sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
  sqlite3* db = nullptr;
  bool ok = false;
};

// Another process's writer is awaited through the clock, up to the timeout.
TEST_F(SqliteLockTest, WriterOfAnotherProcessIsAwaitedUntilTheTimeout) {
  DWPlatformInfo::setNumber("Database", "nBusyTimeoutMs", 1500);
  ForeignWriter other(file());
  ASSERT_TRUE(other.ok);
  Conn conn;
  long long start = clock_.nowMs();
  EXPECT_EQ(conn.startTran(), DWSQL_BUSY);
  EXPECT_EQ(clock_.nowMs() - start, 1500);
  EXPECT_EQ(conn.scalar("SELECT COUNT(*) FROM T"), 0);  // readers don't wait
  EXPECT_EQ(conn.exec("INSERT INTO T(id) VALUES(3)"), DWSQL_BUSY);

  int sleeps = 0, otherCommit = -1;
  clock_.onSleep = [&] {
    if (sleeps++ == 0) otherCommit = other.commit();
  };
  ASSERT_EQ(conn.startTran(), 0);
  ASSERT_EQ(conn.exec("INSERT INTO T(id) VALUES(2)"), 0);
  ASSERT_EQ(conn.endTran(1), 0);
  EXPECT_GT(sleeps, 0);
  EXPECT_EQ(otherCommit, SQLITE_OK);
  EXPECT_EQ(conn.scalar("SELECT COUNT(*) FROM T"), 2);
}

// Transactions run on the connection the writer lock keeps.  Rows of one
// still being read when it commits keep that connection, and the lock, until
// they end: a transaction the same handle begins meanwhile goes on under it
// (and its roll back, too, waits for the rows); the next writer waits, then
// finds every change.
TEST_F(SqliteLockTest, RowsOpenAtCommitKeepTheWritersConnectionUntilRead) {
  DWSqlUnit unit;
  ASSERT_EQ(unit.begin("Anchor"), 0);
  ASSERT_EQ(unit.conn().execQuery("INSERT INTO T(id) VALUES(1), (2), (3)"), 0);
  Conn reader;  // joins the unit
  int32_t id = 0;
  ASSERT_EQ(reader.exec("SELECT id FROM T ORDER BY id"), 0);
  ASSERT_EQ(reader.ibindstruct("i", &id), 0);
  ASSERT_EQ(reader.getNextRow(), 0);
  ASSERT_EQ(unit.commit(), 0) << unit.lastError();
  ASSERT_EQ(unit.conn().startTran(), 0) << unit.lastError();
  ASSERT_EQ(unit.conn().execQuery("INSERT INTO T(id) VALUES(5)"), 0);
  ASSERT_EQ(unit.conn().endTran(2), 0);
  std::atomic<bool> written{false};
  std::thread next([&] {
    Conn other;
    EXPECT_EQ(other.startTran(), 0) << other.getLastErrorText();
    EXPECT_EQ(other.exec("INSERT INTO T(id) VALUES(4)"), 0);
    EXPECT_EQ(other.endTran(1), 0);
    written = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(written);
  std::vector<int> ids{id};
  while (reader.getNextRow() == 0) ids.push_back(id);
  EXPECT_EQ(ids, (std::vector<int>{1, 2, 3}));
  next.join();
  EXPECT_EQ(Conn().scalar("SELECT COUNT(*) FROM T"), 4);
}

// Commits are answered once the log is flushed, and a log that can't be
// flushed fails the commits waiting on it.
TEST(SqliteWriterLockTest, ALogThatCannotBeFlushedFailsTheCommits) {
  char dir[] = "/tmp/blr-wal-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/Anchor.db", log = file + "-wal";
  std::FILE* f = std::fopen(log.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("frames", f);
  std::fclose(f);
  std::shared_ptr<SqliteWriterLock> lock = SqliteWriterLock::forFile(file);
  std::string error;
  ASSERT_EQ(lock->acquire(1000, &error), 0);
  EXPECT_EQ(lock->syncWritten(lock->release(), &error), 0) << error;
  EXPECT_EQ(lock->flushes(), 1u);

  ASSERT_EQ(std::remove(log.c_str()), 0);
  ASSERT_EQ(symlink(log.c_str(), log.c_str()), 0);  // opening it loops
  const uint64_t third = lock->committed();
  EXPECT_EQ(lock->syncWritten(third, &error), DWSQL_IO);
  EXPECT_NE(error.find("Couldn't flush " + log), std::string::npos) << error;
  ASSERT_EQ(std::remove(log.c_str()), 0);
  EXPECT_EQ(lock->syncWritten(third, &error), 0) << "no log: nothing is left to flush";
  std::remove(dir);
}

}  // namespace

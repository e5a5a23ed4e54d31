// The service frame: dispatch, the connection class, and the statement
// builders.
#include <gtest/gtest.h>

#include "PairDbTestEnv.h"
#include "host/DWPlatformInfo.h"
#include "support/EvDebugRecorder.h"

namespace {

using Map = std::map<std::string, std::string>;

TEST(BlrDBSvcDispatch, RefusesMissingEmptyAndUnknownNames) {
  BlrDBSvc svc;
  EXPECT_TRUE(svc.acceptsRemote);
  EXPECT_EQ(svc.linkName(), "BLR");
  KRP_Cert cert;
  Map resp;
  struct Case {
    Map req;
    const char* summary;
  } cases[] = {
      {{{"blob", ""}}, "Couldn't find request type in received request map"},
      {{{"req", ""}}, "Unknown request \"\""},
      {{{"req", "GET_PAIRS"}}, "Unknown request \"GET_PAIRS\""},
  };
  for (const Case& c : cases) {
    CZuError err = svc.dispatch(c.req, &resp, "tester", cert);
    EXPECT_EQ(err.Code(), 1);
    EXPECT_EQ(err.Summary(), c.summary);
  }
  EXPECT_TRUE(resp.empty());
}

TEST(BlrDBSvcText, NumbersAndQuotedTexts) {
  EXPECT_EQ(blrdbsvc::i2s(-1), "-1");
  EXPECT_EQ(blrdbsvc::ll2s(1ul << 63), "-9223372036854775808");
  EXPECT_EQ(blrdbsvc::ll2s(42), "42");
  EXPECT_EQ(blrdbsvc::sqlText("it's ''x"), "'it''s ''''x'");
  EXPECT_EQ(blrdbsvc::sqlText(""), "''");
}

TEST(BlrDBSvcText, FiltersBecomeOneClauseInTableOrder) {
  BlrDB::Pair byId;
  byId.id = 5;
  EXPECT_EQ(blrdbsvc::filter2where(byId), "WHERE BlrPair.id=5");
  EXPECT_EQ(blrdbsvc::filter2where(BlrDB::Pair()), "");

  BlrDB::Pair a, b, negativeFlags;
  a.subClientId = 3;
  a.srcType = 2;
  b.flags = 8;
  negativeFlags.flags = -4;
  EXPECT_EQ(blrdbsvc::filters2where({BlrDB::Pair(), a, negativeFlags, b}),
            "WHERE BlrPair.srcType=2 AND BlrPair.subClientId=3 OR BlrPair.flags&8=8");

  BlrDB::Pair named;
  named.srcName = "x' OR 1=1 --";
  named.rpStoreId = 0;
  EXPECT_EQ(blrdbsvc::filter2where(named),
            "WHERE BlrPair.srcName='x'' OR 1=1 --' AND BlrPair.rpStoreId=0");
}

class BlrSQLTest : public SqlBackendTest {};

TEST_P(BlrSQLTest, OpenTransactionIsRolledBackOnDestruction) {
  ASSERT_OK(DWCreateSchema("Anchor"));
  {
    BlrSQL sql("Anchor");
    EXPECT_FALSE(sql.inTran);
    EXPECT_STREQ(sql.dbName, "Anchor");
    ASSERT_EQ(sql.startTran(), 0);
    EXPECT_TRUE(sql.inTran);
    ASSERT_EQ(sql.execQuery("INSERT INTO APP_Client(id, name) VALUES(1, 'a')"), 0);
  }
  {
    BlrSQL sql("Anchor");
    ASSERT_EQ(sql.startTran(), 0);
    ASSERT_EQ(sql.execQuery("INSERT INTO APP_Client(id, name) VALUES(2, 'b')"), 0);
    ASSERT_EQ(sql.commitTran(), 0);
    EXPECT_FALSE(sql.inTran);
  }
  std::vector<DWClientInfo> clients;
  ASSERT_OK(DWClientDirectory::list(&clients));
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients.front().id, 2);
}

TEST_P(BlrSQLTest, UnreachableDatabaseFailsRequestsAndIsLogged) {
  BlrDBSvc svc;
  DWPlatformInfo::setValue("Database", "sBackend", "nonsense");
  EvDebugRecorder recorder;
  BlrDB db;
  std::list<BlrDB::Pair> pairs;
  CZuError err = db.getPairs(BlrDB::Pair(), &pairs);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(err.AsString().find("Couldn't query BLR pairs"), std::string::npos);
  EXPECT_TRUE(db.setPairFlags(1, 2).IsError());
  int logged = 0;
  for (const std::string& m : recorder.messages())
    logged += m == "Couldn't open connection to Anchor Database: rc=308";
  EXPECT_EQ(logged, 2);
}

BLR_SQL_BACKENDS(BlrSQLTest);

}  // namespace

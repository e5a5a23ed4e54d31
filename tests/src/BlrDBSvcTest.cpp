// The service frame: dispatch and the connection class (the service behind
// the TLS link server: PairDbRequestTableTest).
#include <algorithm>

#include "support/PairDbTestEnv.h"
#include "host/config/DWPlatformInfo.h"
#include "support/EvDebugRecorder.h"

namespace {

using Map = std::map<std::string, std::string>;

TEST(BlrDBSvcDispatch, RefusesMissingEmptyAndUnknownNames) {
  BlrDBSvc svc;
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
  for (const Case& c : cases)
    EXPECT_EQ(failure(svc.dispatch(c.req, &resp, "tester", cert)), std::string("1: ") + c.summary);
  EXPECT_TRUE(resp.empty());
}

class BlrSQLTest : public SqlBackendTest {};

TEST_P(BlrSQLTest, UnreachableDatabaseFailsRequestsAndIsLogged) {
  BlrDBSvc svc;
  DWPlatformInfo::setValue("Database", "sBackend", "nonsense");
  EvDebugRecorder recorder;
  BlrDB db;
  std::list<BlrDB::Pair> pairs;
  EXPECT_THAT(db.getPairs(BlrDB::Pair(), &pairs).AsString(), HasSubstr("Couldn't query BLR pairs"));
  EXPECT_TRUE(db.setPairFlags(1, 2).IsError());
  std::vector<std::string> logged = recorder.messages();
  EXPECT_EQ(std::count(logged.begin(), logged.end(),
                       "Couldn't open connection to Anchor Database: rc=308"),
            2);
}

BLR_SQL_BACKENDS(BlrSQLTest);

}  // namespace

// The schema versions as the programs show and enforce them.
#include "tools/cli/CliEnv.h"

#include "host/config/DWPlatformInfo.h"
#include "support/Check.h"
#include "host/sql/DWSimpleDBConnObject.h"
#include "host/sql/DWSqlSchema.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(AnchorSchemaTest, VersionsArePrintedMigratedOnceAndANewerDatabaseStopsTheServer) {
  CliEnv env;
  const std::string anchor = std::to_string(DWSchemaVersion("Anchor"));
  const std::string history = std::to_string(DWSchemaVersion("HistoryDB"));
  for (const char* program : {"blr", "blr-anchor"}) {
    CliEnv::Result r = env.run(std::string(program) + " --version");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, StartsWith(std::string(program) + " "));
    EXPECT_THAT(r.out, HasSubstr("(schema: Anchor " + anchor + ", HistoryDB " + history + ")"));
  }
  env.write("db.reg", "[Database]\nsBackend = sqlite\nsSqliteDir = " + env.dir + "/db\n");
  CliEnv::Result first = env.run("blr-anchor migrate --registry db.reg");
  EXPECT_EQ(first.code, 0) << first.err;
  EXPECT_THAT(first.out, StartsWith("Anchor: schema version " + anchor + " (was 0; applied 1-base"));
  EXPECT_THAT(first.out, HasSubstr("\nHistoryDB: schema version " + history + " (was 0; applied 1-base"));
  CliEnv::Result again = env.run("blr-anchor migrate --registry db.reg");
  EXPECT_EQ(again.out, "Anchor: schema version " + anchor + "\nHistoryDB: schema version " + history + "\n");

  // A later release has been here.
  ASSERT_OK(DWPlatformInfo::loadRegistryFile(env.dir + "/db.reg"));
  const std::string later = std::to_string(DWSchemaVersion("Anchor") + 1);
  {
    DWSimpleDBConnObject conn;
    ASSERT_EQ(conn.openSQLConnectionUsingDbName("Anchor"), 0);
    ASSERT_EQ(conn.execQuery(("INSERT INTO APP_SchemaVersion VALUES ('Anchor', " + later + ", 'later', 0)").c_str()), 0);
  }
  DWSimpleDBConnObject::closeIdleHandles();
  DWPlatformInfo::reset();
  for (const char* command : {"migrate", "serve"}) {
    CliEnv::Result refused = env.run(std::string("blr-anchor ") + command + " --registry db.reg");
    EXPECT_EQ(refused.code, 1) << command;
    EXPECT_THAT(refused.err, HasSubstr("The database Anchor has schema version " + later + ", newer than version " +
                                       anchor + " of this program: nothing was changed"));
  }
}

}  // namespace

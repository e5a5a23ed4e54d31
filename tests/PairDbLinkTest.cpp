// The pair database service behind the TLS link server.
#include "LinkTestEnv.h"
#include "PairDbTestEnv.h"
#include "host/DwLink.h"
#include "host/DwLinkServer.h"

namespace {

using PairDbLinkTest = PairDbTest;

TEST_P(PairDbLinkTest, AnswersAuthenticatedPeersOnly) {
  LinkTestEnv& env = LinkTestEnv::get();
  DwLinkServerConfig config;
  config.address = "127.0.0.1";
  config.port = 0;
  config.tls = env.server;
  DwLinkServer server;
  ASSERT_OK(server.start(config));
  auto remote = [&](std::shared_ptr<TlsContext> tls, const BlrDBSvc::Map& req, BlrDBSvc::Map* resp) {
    DwLinkClientConfig c;
    c.host = "127.0.0.1";
    c.port = server.port();
    c.tls = tls;
    c.timeoutMs = 5000;
    return DwLink("BLR").makeRemoteReq(c, req, resp);
  };

  BlrDB::Pair p = store(3, 1, 2);
  BlrDBSvc::Map req{{"req", "get_pairs"}}, resp;
  blrSetBlob(req, BlrDB::encodePairs({p}));
  ASSERT_OK(remote(env.client, req, &resp));
  std::list<BlrDB::Pair> pairs;
  ASSERT_OK(BlrDB::decodePairs(blrGetBlob(resp), &pairs));
  EXPECT_EQ(pairs, std::list<BlrDB::Pair>{p});

  for (auto tls : {env.noCert, env.otherCa}) {
    resp.clear();
    EXPECT_TRUE(remote(tls, req, &resp).IsError());
    EXPECT_TRUE(resp.empty());
  }
  server.stop();  // refusals are counted on the server's threads
  EXPECT_EQ(server.stats().refused, 2u);
}

BLR_SQL_BACKENDS(PairDbLinkTest);

}  // namespace

// The pair database service behind the TLS link server.
#include <gtest/gtest.h>

#include <cerrno>

#include "LinkTestEnv.h"
#include "PairDbTestEnv.h"
#include "host/DwLink.h"
#include "host/DwLinkFrame.h"
#include "host/DwLinkServer.h"
#include "host/DwTcp.h"

namespace {

class PairDbLinkTest : public PairDbTest {
 protected:
  void SetUp() override {
    PairDbTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    env_ = &LinkTestEnv::get();
    DwLinkServerConfig c;
    c.address = "127.0.0.1";
    c.port = 0;
    c.tls = env_->server;
    ASSERT_OK(server_.start(c));
  }
  void TearDown() override {
    server_.stop();
    PairDbTest::TearDown();
  }

  CZuError remote(std::shared_ptr<TlsContext> tls, const BlrDBSvc::Map& req,
                  BlrDBSvc::Map* resp) {
    DwLinkClientConfig c;
    c.host = "127.0.0.1";
    c.port = server_.port();
    c.tls = tls;
    c.timeoutMs = 5000;
    return DwLink("BLR").makeRemoteReq(c, req, resp);
  }

  LinkTestEnv* env_ = nullptr;
  DwLinkServer server_;
};

TEST_P(PairDbLinkTest, AnswersAuthenticatedPeersOnlyAndRefusesOversizedFrames) {
  BlrDB::Pair p = store(3, 1, 2);
  BlrDBSvc::Map req{{"req", "get_pairs"}}, resp;
  blrSetBlob(req, BlrDB::encodePairs({p}));
  ASSERT_OK(remote(env_->client, req, &resp));
  std::list<BlrDB::Pair> pairs;
  ASSERT_OK(BlrDB::decodePairs(blrGetBlob(resp), &pairs));
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs.front(), p);

  for (auto tls : {env_->noCert, env_->otherCa}) {
    resp.clear();
    EXPECT_TRUE(remote(tls, req, &resp).IsError());
    EXPECT_TRUE(resp.empty());
  }

  CZuSocket sock;
  ASSERT_OK(dwTcpConnect("127.0.0.1", server_.port(), 5000, &sock));
  KrpSocket* s = nullptr;
  ASSERT_OK(krpInitSocketWithContext(sock, KRP_INIT_DEFAULT, env_->client, &s));
  ASSERT_OK(krpAuthSocketMs(s, KRP_ROLE_CLIENT, nullptr, 5000));
  const unsigned char huge[] = {'D', 'L', 'K', 1, 0x10, 0x00, 0x00, 0x00};  // 256 MiB
  CZuError err;
  krpSendMs(s, huge, sizeof huge, 5000, &err);
  ASSERT_OK(err);
  std::string payload;
  bool started = false;
  ASSERT_OK(dwLinkRecvFrame(s, kDwLinkMaxFrameBytes, 5000, &payload, &started));
  DwLinkMessage answer;
  ASSERT_OK(dwLinkDecode(payload.data(), payload.size(), &answer));
  EXPECT_FALSE(answer.failure.empty());
  EXPECT_EQ(FXErrorUtil::GetInt(dwLinkRecvFrame(s, kDwLinkMaxFrameBytes, 5000, &payload, &started)),
            ECONNRESET);
  krpDestroySocket(s);
  EXPECT_EQ(count("BlrPair"), 1);
  server_.stop();  // refusals are counted on the server's threads
  EXPECT_EQ(server_.stats().refused, 2u);
}

BLR_SQL_BACKENDS(PairDbLinkTest);

}  // namespace

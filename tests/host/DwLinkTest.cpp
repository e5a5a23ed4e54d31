#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include "support/LinkTestEnv.h"
#include "host/clients/DWClient.h"
#include "host/config/DWPlatformInfo.h"
#include "host/link/DwLink.h"
#include "host/link/DwLinkFrame.h"
#include "host/link/DwLinkPool.h"
#include "host/link/DwLinkServer.h"
#include "host/link/DwLinkSvc.h"
#include "host/net/DwTcp.h"
#include "support/EvDebugRecorder.h"
#include "support/RawPeers.h"
#include "support/TempFile.h"

namespace {

using Map = std::map<std::string, std::string>;

// ---- Frames ----

// Any bytes and sizes round trip in the requests below (binary entries,
// 64 KiB pieces with three-byte sizes, failures).
TEST(DwLinkFrameTest, EncodesHeaderAndElements) {
  DwLinkMessage msg;
  msg.name = "BLR";
  msg.entries["req"] = "get";
  std::string frame;
  ASSERT_OK(dwLinkEncode(msg, kDwLinkMaxFrameBytes, &frame));
  EXPECT_EQ(frame, std::string("DLK\x01\x00\x00\x00\x0F\x81\x83" "BLR\x82\x83" "req\x83\x83" "get", 23));
}

// A receiving server stops at an oversized header: see OversizedFramesAreAnsweredAndRefused.
TEST(DwLinkFrameTest, MalformedAndOversizedFramesAreRefused) {
  DwLinkMessage out;
  const std::string cases[] = {
      std::string("\x82\x81k", 3),                              // key without value
      std::string("\x82\x85k", 3),                              // size past the end
      std::string("\x82\x40", 2),                               // size cut short
      std::string("\x82\x81k\x83\x81v\x82\x81k\x83\x81w", 12),  // repeated key
  };
  for (const std::string& c : cases)
    EXPECT_TRUE(dwLinkDecode(c.data(), c.size(), &out).IsError()) << testing::PrintToString(c);
  // Unknown tags are skipped.
  std::string unknown("\x89\x81x\x82\x81k\x83\x81v", 9);
  ASSERT_OK(dwLinkDecode(unknown.data(), unknown.size(), &out));
  EXPECT_EQ(out.entries.at("k"), "v");

  DwLinkMessage msg;
  msg.entries["k"] = std::string(100, 'v');
  std::string frame;
  EXPECT_TRUE(dwLinkEncode(msg, 64, &frame).IsError());
  EXPECT_TRUE(frame.empty());
  uint32_t len = 0;
  const unsigned char http[] = {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T'};
  EXPECT_TRUE(dwLinkParseHeader(http, kDwLinkMaxFrameBytes, &len).IsError());
}

// ---- Requests ----

// The next message on `s`, decoded.
CZuError recvMessage(KrpSocket* s, DwLinkMessage* msg) {
  std::string payload;
  bool started = false;
  CZuError err = dwLinkRecvFrame(s, kDwLinkMaxFrameBytes, 5000, &payload, &started);
  return err.IsError() ? err : dwLinkDecode(payload.data(), payload.size(), msg);
}

// Echoes the request with the caller's identity; "fail" makes it fail,
// "wait" blocks until released.
class EchoSvc : public DwLinkSvc {
 public:
  explicit EchoSvc(const std::string& name, bool remote = true) : DwLinkSvc(name) {
    acceptsRemote = remote;
  }

  CZuError dispatch(const Map& req, Map* resp, const std::string& from,
                    const KRP_Cert& cert) override {
    ++calls;
    if (req.count("wait")) {
      std::unique_lock<std::mutex> lock(mu);
      waiting = true;
      cv.notify_all();
      cv.wait(lock, [this] { return released; });
    }
    if (req.count("throw")) throw FXErrorUtil::ErrorInt(FXLOC, 3, "Couldn't cope");
    if (req.count("fail"))
      return FXErrorUtil::ErrorInt(FXLOC, 7, "Couldn't do %s (100%%)", req.at("fail").c_str());
    *resp = req;
    (*resp)["from"] = from;
    (*resp)["kind"] = std::to_string(cert.kind);
    return CZuError();
  }

  void awaitWaiting() {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [this] { return waiting; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mu);
    released = true;
    cv.notify_all();
  }

  std::atomic<int> calls{0};
  std::mutex mu;
  std::condition_variable cv;
  bool waiting = false;
  bool released = false;
};

class DwLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DWPlatformInfo::reset();
    DwLinkPool::instance().clear();
    env_ = &LinkTestEnv::get();
  }
  void TearDown() override {
    server_.stop();
    DwLinkPool::instance().clear();
    DWPlatformInfo::reset();
  }

  void startServer(bool allowBuiltin = false, int idleTimeoutMs = 60000,
                   const std::function<void(DwLinkServerConfig*)>& tune = nullptr) {
    DwLinkServerConfig c;
    c.address = "127.0.0.1";
    c.port = 0;
    c.tls = env_->server;
    c.allowBuiltinCerts = allowBuiltin;
    c.idleTimeoutMs = idleTimeoutMs;
    if (tune) tune(&c);
    server_.setErrorHook([this](const CZuError& err) {
      std::lock_guard<std::mutex> lock(hookMu_);
      serverErrors_.push_back(err.AsString());
    });
    ASSERT_OK(server_.start(c));
  }

  // Sends `header` on an authenticated raw connection; the server's failure answer.
  std::string failureForHeader(const unsigned char (&header)[8], RawPeer* peer) {
    CZuError err;
    krpSendMs(peer->tls, header, sizeof header, 5000, &err);
    EXPECT_OK(err);
    DwLinkMessage answer;
    EXPECT_OK(recvMessage(peer->tls, &answer));
    return answer.failure;
  }

  DwLinkClientConfig client(std::shared_ptr<TlsContext> tls = nullptr) {
    DwLinkClientConfig c;
    c.servers = {{"127.0.0.1", server_.port()}};
    c.tls = tls ? tls : env_->client;
    c.timeoutMs = 5000;
    return c;
  }

  LinkTestEnv* env_ = nullptr;
  EchoSvc echo_{"REMOTE"};
  DwLinkServer server_;
  std::mutex hookMu_;
  std::vector<std::string> serverErrors_;
};

TEST_F(DwLinkTest, InProcessServicesAreCalledDirectlyAndTheirAnswersChecked) {
  DWPlatformInfo::setValue("Host", "sClientName", "pm1");
  EchoSvc svc("LOCAL", false);
  Map resp;
  ASSERT_OK(DwLink("LOCAL").makeReqToAnchor({{"req", "x"}}, &resp, nullptr));
  EXPECT_EQ(resp.at("req"), "x");
  EXPECT_EQ(resp.at("from"), "pm1");
  EXPECT_EQ(resp.at("kind"), std::to_string(KRP_CERT_KIND_LOCAL));

  // A service that throws fails its request, not the exchange.
  Map thrown;
  ASSERT_OK(DwLink("LOCAL").makeReqToAnchor({{"throw", ""}}, &thrown, nullptr));
  EXPECT_THAT(thrown.at("error"), HasSubstr("Couldn't cope"));


  // A client list claiming more clients than its answer carries is refused
  // rather than walked.
  struct Liar : DwLinkSvc {
    Liar() : DwLinkSvc("CLIENTS") { acceptsRemote = false; }
    CZuError dispatch(const Map&, Map* resp, const std::string&, const KRP_Cert&) override {
      (*resp)["count"] = "2000000000";
      return CZuError();
    }
  } liar;
  std::vector<DWClientInfo> clients;
  EXPECT_THAT(DWClient::list(&clients).Summary(), HasSubstr("missing"));
  EXPECT_TRUE(clients.empty());
}

TEST_F(DwLinkTest, RemoteRequestCarriesAuthenticatedNameAndErrors) {
  startServer();
  // Client settings from the registry; the explicit address skips the local service.
  TestCerts::get().useInRegistry("client1");
  DWPlatformInfo::setValue("Link", "sServerName", "anchor");
  std::string address = "127.0.0.1:" + std::to_string(server_.port());
  Map resp;
  Map req{{"req", "get_pairs"}, {"blob", std::string("\0\x01", 2)}};
  ASSERT_OK(DwLink("REMOTE").makeReqToAnchor(req, &resp, address.c_str()));
  EXPECT_EQ(resp.at("blob"), req.at("blob"));
  EXPECT_EQ(resp.at("from"), "client1");
  EXPECT_EQ(resp.at("kind"), std::to_string(KRP_CERT_KIND_CLIENT));

  // A failed service request is an answer, not a failed exchange.
  // The requester gets the messages, the code and an id; the log gets the
  // whole stack under that id.
  Map failed;
  {
    EvDebugRecorder log;
    ASSERT_OK(DwLink("REMOTE").makeReqToAnchor({{"fail", "it"}}, &failed, address.c_str()));
    std::smatch id;
    const std::string error = failed.at("error");
    ASSERT_TRUE(std::regex_match(
        error, id, std::regex(R"(Couldn't do it \(100%\) \(code 7, request ([0-9a-f]{16})\))")))
        << error;
    const std::string logged = "Request " + id[1].str();
    EXPECT_THAT(log.messages(), testing::Contains(HasSubstr(logged)).Times(1));
    EXPECT_THAT(log.messages(), testing::Contains(AllOf(HasSubstr(logged), HasSubstr("DwLinkTest:"),
                                                        HasSubstr("Couldn't do it (100%)"))));
  }
  EXPECT_EQ(failed.count("fail"), 0u);

  // Undeliverable requests fail the exchange.
  EchoSvc localOnly("PRIVATE", false);
  EXPECT_THAT(DwLink("PRIVATE").makeReqToAnchor({}, nullptr, address.c_str()).Summary(),
              HasSubstr("No service \"PRIVATE\""));
  EXPECT_EQ(localOnly.calls, 0);

  DWPlatformInfo::setValue("Link", "sServerName", "impostor-check");
  EXPECT_THAT(DwLink("REMOTE").makeReqToAnchor({}, nullptr, address.c_str()).Summary(),
              HasSubstr("Server authenticated as anchor, expected impostor-check"));
  EXPECT_EQ(server_.stats().requests, 3u);
}

// The client's settings are kept from one request to the next, but a
// certificate renewed in place is presented from the next request on.
TEST_F(DwLinkTest, ACertificateRenewedInPlaceIsPresentedOnTheNextRequest) {
  startServer();
  TempDir dir;
  const std::string cert = dir.path() + "/me.crt", key = dir.path() + "/me.key";
  auto install = [&](const std::string& name) {
    const TlsConfig c = TestCerts::get().config(name);
    const auto overwrite = std::filesystem::copy_options::overwrite_existing;
    std::filesystem::copy_file(c.certFile, cert, overwrite);
    std::filesystem::copy_file(c.keyFile, key, overwrite);
  };
  install("client1");
  TestCerts::get().useInRegistry("client1");
  DWPlatformInfo::setValue("Security", "sCertFile", cert);
  DWPlatformInfo::setValue("Security", "sKeyFile", key);
  const std::string address = "127.0.0.1:" + std::to_string(server_.port());
  Map resp;
  ASSERT_OK(DwLink("REMOTE").makeReqToAnchor({}, &resp, address.c_str()));
  EXPECT_EQ(resp.at("from"), "client1");
  std::shared_ptr<const DwLinkClientConfig> before, again;
  ASSERT_OK(DwLinkClientConfig::current(&before, address));
  ASSERT_OK(DwLinkClientConfig::current(&again, address));
  EXPECT_EQ(before.get(), again.get());

  install("head1");
  TlsContext::recheckFiles();  // as the next look, a second later, would
  ASSERT_OK(DwLink("REMOTE").makeReqToAnchor({}, &resp, address.c_str()));
  EXPECT_EQ(resp.at("from"), "head1");
}

// Peers without a valid certificate are refused too: see PairDbRequestTableTest.
TEST_F(DwLinkTest, ServerRefusesBuiltinCertificatesBeforeReadingRequestsUnlessAllowed) {
  startServer();
  EXPECT_TRUE(DwLink("REMOTE").makeRemoteReq(client(env_->product), {{"req", "x"}}, nullptr).IsError());
  server_.stop();  // refusals are counted on the server's threads
  EXPECT_EQ(server_.stats().refused, 1u);
  EXPECT_EQ(server_.stats().requests, 0u);
  EXPECT_EQ(echo_.calls, 0);
  ASSERT_EQ(serverErrors_.size(), 1u);
  EXPECT_THAT(serverErrors_[0], HasSubstr("product did not authenticate with a per-client certificate"));

  startServer(true);  // built-in certificates allowed
  Map resp;
  ASSERT_OK(DwLink("REMOTE").makeRemoteReq(client(env_->product), {}, &resp));
  EXPECT_EQ(resp.at("kind"), std::to_string(KRP_CERT_KIND_PRODUCT));
}

// A frame beyond the size bound is answered and its connection closed; one
// beyond the memory budget is refused before its payload, and frames that
// fit are still served.
TEST_F(DwLinkTest, OversizedFramesAreAnsweredAndRefused) {
  startServer(false, 60000, [](DwLinkServerConfig* c) { c->memoryBudgetBytes = 1u << 20; });
  RawPeer peer("127.0.0.1", server_.port()), poor("127.0.0.1", server_.port());
  ASSERT_OK(peer.authenticate(env_->client));
  const unsigned char huge[] = {'D', 'L', 'K', 1, 0x40, 0x00, 0x00, 0x00};  // 1 GiB
  EXPECT_THAT(failureForHeader(huge, &peer), HasSubstr("exceeds the limit"));
  DwLinkMessage after;
  EXPECT_EQ(recvMessage(peer.tls, &after).Code(), ECONNRESET);

  ASSERT_OK(poor.authenticate(env_->client));
  const unsigned char header[] = {'D', 'L', 'K', 1, 0x00, 0x10, 0x00, 0x00};  // 1 MiB
  EXPECT_THAT(failureForHeader(header, &poor), HasSubstr("exceed the server's memory budget"));
  EXPECT_EQ(server_.stats().overBudget, 1u);
  Map resp;
  ASSERT_OK(DwLink("REMOTE").makeRemoteReq(client(), {{"k", std::string(300000, 'x')}}, &resp));
  EXPECT_EQ(resp.at("k").size(), 300000u);
}

TEST_F(DwLinkTest, WithoutServiceOrServerTheExchangeFailsAndAStalledOneTimesOut) {
  EXPECT_TRUE(DwLink("NOWHERE").makeReqToAnchor({}, nullptr, nullptr).IsError());  // no TLS files
  DwLinkClientConfig c;
  c.tls = env_->client;
  EXPECT_THAT(DwLink("NOWHERE").makeRemoteReq(c, {}, nullptr).Summary(), HasSubstr("no server named"));
  DWPlatformInfo::setValue("Link", "nTimeoutSecs", "0");
  EXPECT_THAT(DwLinkClientConfig::fromRegistry(&c).Summary(), HasSubstr("nTimeoutSecs"));

  startServer();
  c = client();
  c.timeoutMs = 150;
  CZuError stalled = DwLink("REMOTE").makeRemoteReq(c, {{"wait", ""}}, nullptr);
  EXPECT_EQ(stalled.Code(), ETIMEDOUT);
  // The request went out; its answer did not come.
  EXPECT_THAT(stalled.AsString(), HasSubstr("Couldn't receive the answer on link REMOTE"));
  echo_.release();
}

// Serves the link by hand: answers `answered` requests on each connection,
// then reads one more and closes without answering.
void serveThenDrop(CZuSocket listener, std::shared_ptr<TlsContext> tls, int connections,
                   int answered) {
  for (int n = 0; n < connections; ++n) {
    DwWait w;
    dwWaitFd(listener.GetDescriptor(), POLLIN, 5000, -1, &w);
    CZuSocket sock(accept(listener.GetDescriptor(), nullptr, nullptr));
    KrpSocket* s = nullptr;
    krpInitSocketWithContext(sock, KRP_INIT_DEFAULT, tls, &s);
    krpAuthSocketMs(s, KRP_ROLE_SERVER, nullptr, 5000);
    DwLinkMessage ok;
    ok.entries["n"] = std::to_string(n);
    std::string frame, payload;
    dwLinkEncode(ok, kDwLinkMaxFrameBytes, &frame);
    bool started;
    for (int i = 0; i <= answered; ++i) {
      if (dwLinkRecvFrame(s, kDwLinkMaxFrameBytes, 5000, &payload, &started).IsError()) break;
      if (i < answered) dwLinkSendFrame(s, frame, 5000);
    }
    krpDestroySocket(s);
  }
}

TEST_F(DwLinkTest, BrokenPooledConnectionIsReplacedOnce) {
  CZuSocket listener;
  int port = 0;
  ASSERT_OK(dwTcpListen("127.0.0.1", 0, 4, &listener, &port));
  std::thread fake(serveThenDrop, listener, env_->server, 2, 1);
  DwLinkClientConfig c = client();
  c.servers = {{"127.0.0.1", port}};
  DwLinkPool& pool = DwLinkPool::instance();
  DwLinkPool::Stats before = pool.stats();
  Map first, second;
  ASSERT_OK(DwLink("X").makeRemoteReq(c, {}, &first));
  EXPECT_EQ(first.at("n"), "0");
  // Sent on the pooled connection, dropped unanswered, re-sent on a new one.
  ASSERT_OK(DwLink("X").makeRemoteReq(c, {}, &second));
  EXPECT_EQ(second.at("n"), "1");
  EXPECT_EQ(pool.stats().replaced - before.replaced, 1u);
  EXPECT_EQ(pool.stats().connects - before.connects, 2u);
  pool.clear();  // lets the fake server see the end of its second connection
  fake.join();

  // A new connection dropped unanswered is not retried.
  std::thread rude(serveThenDrop, listener, env_->server, 1, 0);
  CZuError err = DwLink("X").makeRemoteReq(c, {}, nullptr);
  rude.join();
  EXPECT_EQ(err.Code(), ECONNRESET);
  EXPECT_EQ(pool.stats().replaced - before.replaced, 1u);
  listener.Close();
}

TEST_F(DwLinkTest, StopFinishesRequestsInFlight) {
  startServer();
  DwLinkClientConfig c = client();
  ASSERT_OK(DwLink("REMOTE").makeRemoteReq(c, {}, nullptr));  // an idle connection
  CZuError inFlight;
  Map resp;
  std::thread requester([&] {
    DwLinkPool::instance().clear();
    inFlight = DwLink("REMOTE").makeRemoteReq(c, {{"wait", ""}, {"k", "v"}}, &resp);
  });
  echo_.awaitWaiting();
  std::thread stopper([&] { server_.stop(); });
  while (!server_.stopping()) std::this_thread::yield();
  echo_.release();
  stopper.join();
  requester.join();
  ASSERT_OK(inFlight);
  EXPECT_EQ(resp.at("k"), "v");
  EXPECT_EQ(server_.stats().requests, 2u);
  // Nothing listens any more.
  EXPECT_TRUE(DwLink("REMOTE").makeRemoteReq(c, {}, nullptr).IsError());
}

// ---- Where requests go ----

// The servers that `link` (keys of [Link]) and `address` resolve to, after
// where they came from; or the error.
std::string resolved(const Map& link, const std::string& address = "") {
  DWPlatformInfo::reset();
  for (const auto& kv : link) DWPlatformInfo::setValue("Link", kv.first.c_str(), kv.second);
  std::vector<DwLinkAddress> servers;
  std::string text;
  CZuError err = dwLinkResolveServers(address, &servers, &text);
  DWPlatformInfo::reset();
  if (err.IsError()) return "error: " + err.Summary();
  for (const DwLinkAddress& s : servers) text += " " + s.text();
  return text;
}

TEST(DwLinkServersTest, RegistryFormsAndExplicitAddressesResolveToOneList) {
  const std::string host = "[Link] sServerHost and nServerPort", list = "[Link] sServers";
  EXPECT_EQ(resolved({{"sServerHost", " anchor "}}), host + " anchor:4760");
  EXPECT_EQ(resolved({{"sServers", "a:1, b ,,[::1]:3, [fe80::2]"}, {"nServerPort", "9"}}),
            list + " a:1 b:9 [::1]:3 [fe80::2]:9");
  // The list replaces sServerHost; a blank one names nothing.
  EXPECT_EQ(resolved({{"sServerHost", "old"}, {"sServers", "a, b:2"}}), list + " a:4760 b:2");
  EXPECT_EQ(resolved({{"sServerHost", "old"}, {"sServers", " , "}}), host + " old:4760");
  // An address the caller names is the only server.
  EXPECT_EQ(resolved({{"sServers", "a:1"}, {"nServerPort", "7"}}, "10.0.0.7"),
            "the address \"10.0.0.7\" 10.0.0.7:7");

  EXPECT_EQ(resolved({{"sServerName", "anchor"}}),
            "error: No central server configured: set [Link] sServerHost or sServers");
  EXPECT_THAT(resolved({{"sServers", "a:1, b:x"}, {"sServerHost", "ok"}}),
              AllOf(HasSubstr("[Link] sServers = \"a:1, b:x\""), HasSubstr("Invalid port in server address \"b:x\"")));
  EXPECT_THAT(resolved({{"sServerHost", "a, b"}}),
              HasSubstr("[Link] sServerHost = \"a, b\" is not one host name or address"));
}

// ---- Answers in pieces ----

// Answers with `count` pieces of "blob", each 64 KiB of its index's letter,
// then "tail"; "fail" fails after the pieces.
class PieceSvc : public DwLinkSvc {
 public:
  PieceSvc() : DwLinkSvc("PIECES") { acceptsRemote = true; }
  CZuError dispatch(const Map&, Map*, const std::string&, const KRP_Cert&) override {
    return CZuError();
  }
  CZuError dispatchPieces(const Map& req, Map* resp, DwLinkReply* reply, const std::string&,
                          const KRP_Cert&) override {
    for (int i = 0; i < std::stoi(req.at("count")); ++i) {
      CZuError err = reply->append("blob", std::string(64 * 1024, static_cast<char>('a' + i % 26)));
      if (err.IsError()) return err;
    }
    if (req.count("fail")) return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't finish");
    (*resp)["tail"] = "end";
    return CZuError();
  }
};

std::string expectedPieces(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += std::string(64 * 1024, static_cast<char>('a' + i % 26));
  return out;
}

TEST_F(DwLinkTest, AnswersOfAnySizeArriveInOrderPieceByPiece) {
  PieceSvc svc;
  startServer();
  std::string address = "127.0.0.1:" + std::to_string(server_.port());
  TestCerts::get().useInRegistry("client1");
  const int kCount = 80;  // 5 MiB: several frames
  for (const char* server : {address.c_str(), static_cast<const char*>(nullptr)}) {
    std::string joined;
    int pieces = 0;
    Map resp;
    ASSERT_OK(DwLink("PIECES").makeReqPieces(
        {{"count", std::to_string(kCount)}}, &resp,
        [&](const std::string& key, std::string& piece) {
          EXPECT_EQ(key, "blob");
          joined += piece;
          ++pieces;
          return CZuError();
        },
        server));
    EXPECT_EQ(joined + resp["blob"], expectedPieces(kCount)) << (server ? "remote" : "local");
    EXPECT_GT(pieces, 1);
    EXPECT_EQ(resp.at("tail"), "end");
  }
  // A requester that stops early drops its connection; the next request is
  // served.  Taken whole, the pieces come first; a failure after pieces
  // voids them.
  CZuError stopped = DwLink("PIECES").makeReqPieces(
      {{"count", std::to_string(kCount)}}, nullptr,
      [](const std::string&, std::string&) { return FXErrorUtil::ErrorInt(FXLOC, 1, "enough"); },
      address.c_str());
  EXPECT_THAT(stopped.Summary(), HasSubstr("enough"));
  Map whole, failed;
  ASSERT_OK(DwLink("PIECES").makeReqToAnchor({{"count", "3"}}, &whole, address.c_str()));
  EXPECT_EQ(whole.at("blob") + whole.at("tail"), expectedPieces(3) + "end");
  ASSERT_OK(DwLink("PIECES").makeReqToAnchor({{"count", "40"}, {"fail", ""}}, &failed,
                                             address.c_str()));
  EXPECT_THAT(failed.at("error"), HasSubstr("Couldn't finish"));
  EXPECT_EQ(failed.count("blob"), 0u);
}

// ---- Admission (shares of places and idle evictions: ResilienceTest's sieges) ----

TEST_F(DwLinkTest, TricklingFrameIsCutAtItsWholeDeadline) {
  startServer(false, 60000, [](DwLinkServerConfig* c) { c->timeoutMs = 600; });
  RawPeer peer("127.0.0.1", server_.port());
  ASSERT_OK(peer.authenticate(env_->client));
  const char header[] = {'D', 'L', 'K', 1, 0, 0, 0, 100};
  auto begin = std::chrono::steady_clock::now();
  CZuError err;
  for (int i = 0; i < 30 && !err.IsError(); ++i) {  // one byte every 100 ms
    krpSendMs(peer.tls, i < 8 ? &header[i] : "x", 1, 1000, &err);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(err.IsError());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2500));
  server_.stop();
  ASSERT_EQ(serverErrors_.size(), 1u);
  EXPECT_THAT(serverErrors_[0], HasSubstr("not complete within 600 ms"));
}

}  // namespace

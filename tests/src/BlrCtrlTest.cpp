#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "BLR/BlrCtrl.h"
#include "support/CtrlTestEnv.h"
#include "host/net/DwTcp.h"
#include "support/EvDebugRecorder.h"
#include "support/ManualClock.h"

namespace {

// Sends a header with any total length, then `body`.
void sendRaw(KrpSocket* s, uint32_t id, uint32_t total, const std::vector<char>& body = {}) {
  std::vector<char> bytes(8);
  uint32_t be[2] = {htonl(id), htonl(total)};
  std::memcpy(bytes.data(), be, 8);
  bytes.insert(bytes.end(), body.begin(), body.end());
  CZuError err;
  krpSend(s, bytes.data(), static_cast<int>(bytes.size()), 5, &err);
  ASSERT_OK(err);
}

void sendMsg(KrpSocket* s, uint32_t id, const std::vector<char>& body = {}) {
  sendRaw(s, id, static_cast<uint32_t>(body.size() + 8), body);
}

// Connected to the simulated proxy "anchor", which keeps statuses in-process.
class CtrlTest : public CtrlFixture {
 protected:
  void SetUp() override {
    CtrlFixture::SetUp();
    ASSERT_OK(sim_.start());
    ASSERT_OK(ctrl_.connect(sim_.mangled()));
  }

  LinkTestEnv& env = LinkTestEnv::get();
  BlrUUID vm{std::string("00112233445566778899aabbccddeeff")};
  BlrUUID dst{std::string("ffeeddccbbaa99887766554433221100")};
  SimProxy sim_{"anchor"};
  BlrCtrl ctrl_;
};

// ---- Framing ----

// A ping is a bare header; an answer of another kind fails the request, and
// a reused buffer holds exactly the last payload.  Hostile headers and
// payloads fail within the time-out.  Codes and texts of refusals: see
// EveryRequestCarriesRefusalsAndRefusesBrokenReplies.
TEST_F(CtrlTest, FramingOfPingsResponsesAndPayloadsAndHostileOnesFailCleanly) {
  KrpPair pair(env.client, env.server);
  ASSERT_TRUE(pair.handshake());
  EXPECT_OK(BlrCtrl::sendMsg(pair.client, BLR_CTRL_MSG_PING, nullptr, 0));
  unsigned char got[8] = {};
  CZuError err;
  EXPECT_EQ(krpRecv(pair.server, got, 8, 5, &err), 8);
  const unsigned char want[8] = {0, 0, 0, 0x0A, 0, 0, 0, 8};
  EXPECT_EQ(0, std::memcmp(got, want, 8));

  sendMsg(pair.server, BLR_CTRL_MSG_RESP);
  EXPECT_OK(BlrCtrl::recvResp(pair.client));
  sendMsg(pair.server, BLR_CTRL_MSG_TESTBOOT_CROSSING_RESP);
  EXPECT_THAT(failure(BlrCtrl::recvResp(pair.client)),
              AllOf(StartsWith("1: "),
                    HasSubstr("Didn't receive expected BLR_CTRL_MSG_RESP message back. Got "
                              "BLR_CTRL_MSG_TESTBOOT_CROSSING_RESP=7 instead")));

  sendMsg(pair.server, 40, std::vector<char>(100, 'x'));
  sendMsg(pair.server, 41, std::vector<char>(10, 'y'));
  DwBuffer buf;
  int id = 0;
  EXPECT_OK(BlrCtrl::recvMsg(pair.client, &id, buf, 0));
  EXPECT_EQ(id, 40);
  EXPECT_EQ(buf.getSize(), 100u);
  EXPECT_OK(BlrCtrl::recvMsg(pair.client, &id, buf, 41));
  EXPECT_EQ(std::string(buf.data(), buf.getSize()), std::string(10, 'y'));

  setBlr("nCtrlTimeoutSecs", 1);
  struct Case {
    const char* what;
    uint32_t total;
    size_t bytesSent;
    bool close;
    int code;
    const char* text;
  } cases[] = {
      {"huge header", 0xFFFFFFFF, 0, false, 1, "total length 4294967295"},
      {"short header", 4, 0, false, 1, "total length 4 is not within 8"},
      {"just over the bound", BLR_CTRL_MAX_MSG_LEN + 1, 0, false, 1, "is not within"},
      {"truncated payload", 108, 10, true, ECONNRESET, "Couldn't receive BLR_CTRL_MSG_RESP message"},
      {"stalled payload", 108, 10, false, ETIMEDOUT, "Couldn't receive BLR_CTRL_MSG_RESP message"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KrpPair peers(env.client, env.server);
    ASSERT_TRUE(peers.handshake());
    sendRaw(peers.server, BLR_CTRL_MSG_RESP, c.total, std::vector<char>(c.bytesSent, 'z'));
    if (c.close) {
      krpDestroySocket(peers.server);
      peers.server = nullptr;
    }
    auto start = std::chrono::steady_clock::now();
    err = BlrCtrl::recvResp(peers.client);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(err.Code(), c.code) << err.AsString();
    EXPECT_THAT(err.Summary(),
                AllOf(HasSubstr(c.text), HasSubstr("Couldn't receive response back")));
  }
}

// ---- Operations against the simulator ----

TEST_F(CtrlTest, PendingCountsDataTheTlsLayerHolds) {
  BlrCtrl ctrl;
  EXPECT_FALSE(ctrl.msgPending());
  CZuSocket a, b;
  ASSERT_OK(CZuSocket::CreateSocketPair(a, b));
  KrpSocket* server = nullptr;
  ASSERT_OK(krpInitSocketWithContext(a, KRP_INIT_DEFAULT, env.client, &ctrl.krpSocket));
  ctrl.socket = a;
  ASSERT_OK(krpInitSocketWithContext(b, KRP_INIT_DEFAULT, env.server, &server));
  std::thread t([&] { krpAuthSocketMs(server, KRP_ROLE_SERVER, nullptr, 5000); });
  EXPECT_OK(krpAuthSocketMs(ctrl.krpSocket, KRP_ROLE_CLIENT, nullptr, 5000));
  t.join();
  EXPECT_FALSE(ctrl.msgPending());

  // Two messages in one TLS record: once the first is read, the second sits
  // in the TLS layer while the descriptor has nothing more.
  std::vector<char> two(16, 0);
  uint32_t ping[2] = {htonl(BLR_CTRL_MSG_PING), htonl(8)};
  std::memcpy(two.data(), ping, 8);
  std::memcpy(two.data() + 8, ping, 8);
  CZuError err;
  krpSend(server, two.data(), 16, 5, &err);
  EXPECT_TRUE(ctrl.msgPending());
  DwBuffer buf;
  EXPECT_OK(BlrCtrl::recvMsg(ctrl.krpSocket, nullptr, buf, BLR_CTRL_MSG_PING));
  EXPECT_TRUE(ctrl.msgPending());
  EXPECT_OK(BlrCtrl::recvMsg(ctrl.krpSocket, nullptr, buf, BLR_CTRL_MSG_PING));
  EXPECT_FALSE(ctrl.msgPending());
  krpDestroySocket(server);
}

// The operations no workflow test sends (WorkflowTest checks the others by
// the state they leave).
TEST_F(CtrlTest, EveryOperationReachesTheServiceWithItsArguments) {
  BlrDB::Pair pair;
  pair.id = 12;
  pair.srcGuid = vm;
  pair.dstGuid = dst;
  uint64_t seq = 0, expiry = 0;
  for (const CZuError& err :
       {ctrl_.applyRepCfg(vm, {pair}), ctrl_.registerBackup(vm, 1ULL << 40), ctrl_.ping(),
        ctrl_.createFailoverSnap(12), ctrl_.testBootCrossing(dst, 4, 600, &seq, &expiry),
        ctrl_.testBootCrossed(dst, 4), ctrl_.deleteFailoverSnap(12, true),
        ctrl_.cleanupPairs({pair}), ctrl_.jobDone(99)})
    EXPECT_OK(err);
  EXPECT_GT(seq, 0u);
  EXPECT_GT(expiry, 600u);

  std::vector<ProxyRequest> h = sim_.state.history();
  std::vector<int> ids;
  for (const ProxyRequest& r : h) ids.push_back(r.msgId);
  ASSERT_EQ(ids, (std::vector<int>{2, 6, 10, 19, 4, 5, 20, 9, 3}));
  EXPECT_EQ(h[0].vm, vm);
  ASSERT_EQ(h[0].pairs.size(), 1u);
  EXPECT_EQ(h[0].pairs.front(), pair);
  EXPECT_EQ(h[1].backupJobId, 1ULL << 40);
  EXPECT_EQ(h[4].bootId, 4);
  EXPECT_EQ(h[4].timeout, 600);
  EXPECT_EQ(h[6].revert, 1);
  EXPECT_EQ(h[8].jobId, 99u);
  ProxyStateView view = sim_.state.view();
  EXPECT_EQ(view.doneJobs, std::vector<uint64_t>{99});
  EXPECT_TRUE(view.pairs.empty() && view.snapshots.empty() && view.blocked.empty());
}

// Operations with results set them to 0 when the reply leaves them out.
TEST_F(CtrlTest, MissingResultsReadAsZero) {
  for (const char* op : {"POWER_ON_OFF_VM_REQ", "TESTBOOT_CROSSING_REQ"})
    ASSERT_OK(sim_.fault(std::string(op) + "=empty"));
  uint64_t seq = 1, expiry = 1;
  bool wasOn = true;
  EXPECT_OK(ctrl_.powerOnOffHeadVM(1, false, &wasOn));
  EXPECT_OK(ctrl_.testBootCrossing(vm, 1, 1, &seq, &expiry));
  EXPECT_EQ(seq + expiry, 0u);
  EXPECT_FALSE(wasOn);
}

// ---- Every message, from its row ----

std::vector<const BlrCtrlMsgRow*> requestRows() {
  std::vector<const BlrCtrlMsgRow*> rows;
  for (const BlrCtrlMsgRow& row : kBlrCtrlMsgRows)
    if (row.replyId != 0) rows.push_back(&row);
  return rows;
}

// Every tag of a request, with the same values for every message, so that
// rows taken in id order find what earlier ones set up (a test boot's
// crossing before its crossed, a snapshot before its deletion).
BlrCtrlValues sample(const BlrCtrlMsgRow& row, const BlrUUID& vm) {
  BlrCtrlValues values;
  for (const BlrCtrlTags* list : {&row.required, &row.optional}) {
    for (int tag : list->tags) {
      if (tag == 0) continue;
      switch (blrCtrlTagRow(tag)->kind) {
        case BLR_CTRL_KIND_UUID:
          values.setVm(vm);
          break;
        case BLR_CTRL_KIND_PAIR_LIST: {
          BlrDB::Pair pair;
          pair.id = 1;
          pair.srcGuid = pair.dstGuid = vm;
          values.setPairs({pair});
          break;
        }
        case BLR_CTRL_KIND_TEXT:
          values.setText(tag, "text");
          break;
        default:
          values.set(tag, 1);
      }
    }
  }
  return values;
}

std::string readSource(const std::string& path) {
  std::ifstream in(std::string(BLR_SOURCE_DIR) + "/" + path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string replyName(const BlrCtrlMsgRow& row) { return BlrCtrl::msg2str(row.replyId); }

// What the simulator keeps, for comparing before and after.
std::string stateOf(SimProxy& sim) {
  ProxyStateView view = sim.state.view();
  std::string text = proxyStateText(view);
  for (const auto& [job, vm] : view.backups) text += "backup " + std::to_string(job) + "\n";
  for (uint64_t job : view.doneJobs) text += "done " + std::to_string(job) + "\n";
  return text;
}

// The steps of adding a message: an id with a row, the row's answer, the
// simulator's behaviour and the message list of docs/ctrl.md.
TEST(CtrlRowsTest, EveryMessageHasARowAnAnswerABehaviourAndADocumentedName) {
  std::string header = readSource("include/BLR/BlrCtrl.h");
  std::string docs = readSource("docs/ctrl.md");
  ASSERT_FALSE(header.empty() || docs.empty());
  std::regex declared("(BLR_CTRL_MSG_[A-Z0-9_]+) = ([0-9]+),");
  size_t ids = 0;
  for (std::sregex_iterator it(header.begin(), header.end(), declared), end; it != end; ++it) {
    ++ids;
    const BlrCtrlMsgRow* row = blrCtrlMsgRow(std::stoi((*it)[2]));
    ASSERT_NE(row, nullptr) << (*it)[1] << " has no row";
    EXPECT_EQ(row->name, (*it)[1].str());
  }
  EXPECT_EQ(ids, std::size(kBlrCtrlMsgRows));

  for (const BlrCtrlMsgRow& row : kBlrCtrlMsgRows) {
    SCOPED_TRACE(row.name);
    EXPECT_NE(docs.find(std::string("`") + row.name + "`"), std::string::npos)
        << "not in docs/ctrl.md";
    if (row.replyId == 0) {
      EXPECT_EQ(ProxyState::behaviour(row.id), nullptr) << "a reply is never a request";
      continue;
    }
    EXPECT_NE(ProxyState::behaviour(row.id), nullptr) << "the simulator has no behaviour";
    const BlrCtrlMsgRow* reply = blrCtrlMsgRow(row.replyId);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->replyId, 0) << "answered by a request";
    // Results come in a reply of the request's own, named after it.
    EXPECT_EQ(row.results.empty(), row.replyId == BLR_CTRL_MSG_RESP);
    const std::string name = row.name;
    if (row.replyId != BLR_CTRL_MSG_RESP) {
      EXPECT_EQ(reply->name, name.substr(0, name.rfind("_REQ")) + "_RESP");
    }
  }
  for (const BlrCtrlMsgRow& row : kBlrCtrlMsgRows) {
    if (row.replyId == 0 && row.id != BLR_CTRL_MSG_RESP) {
      EXPECT_EQ(std::count_if(std::begin(kBlrCtrlMsgRows), std::end(kBlrCtrlMsgRows),
                              [&](const BlrCtrlMsgRow& r) { return r.replyId == row.id; }), 1)
          << row.name << " must answer one request";
    }
  }
}

TEST_F(CtrlTest, EveryRequestIsAnsweredAsItsRowSays) {
  for (const BlrCtrlMsgRow* row : requestRows()) {
    SCOPED_TRACE(row->name);
    BlrCtrlValues request = sample(*row, vm), results;
    EXPECT_OK(ctrl_.call(row->id, request, &results, row->name));
    EXPECT_EQ(sim_.state.history().back().values.describe(), request.describe())
        << "every tag arrives";
    for (int tag : row->results.tags) {
      if (tag != 0) {
        EXPECT_TRUE(results.has(tag)) << "result " << tag;
      }
    }
  }
}

// Refusals, undecodable and truncated replies all leave the connection in step.
TEST_F(CtrlTest, EveryRequestCarriesRefusalsAndRefusesBrokenReplies) {
  for (const BlrCtrlMsgRow* row : requestRows()) {
    SCOPED_TRACE(row->name);
    BlrCtrlValues request = sample(*row, vm);
    const std::string name = row->name;
    ASSERT_OK(sim_.fault(name + "=fail:7:refused by " + name));
    EXPECT_EQ(failure(ctrl_.call(row->id, request, nullptr, "failed")),
              "7: failed: refused by " + name);
    ASSERT_OK(sim_.fault(name + "=malformed"));
    EXPECT_EQ(failure(ctrl_.call(row->id, request, nullptr, "failed")),
              std::to_string(DW_EBML_ERR_CORRUPT) + ": failed: Couldn't parse " + replyName(*row) +
                  " message: " + dw_ebml_err_corrupt_msg);
    ASSERT_OK(sim_.fault(name + "=truncated"));
    EXPECT_EQ(failure(ctrl_.call(row->id, request, nullptr, "failed")),
              std::to_string(DW_EBML_ERR_EOF) + ": failed: Couldn't parse " + replyName(*row) +
                  " message: " + dw_ebml_err_eof_msg);
    EXPECT_TRUE(ctrl_.reusable());
  }
}

// A required tag absent or zero: the client doesn't send the request, and
// the simulator refuses it when it arrives all the same.
TEST_F(CtrlTest, EveryMissingRequiredTagIsRefusedByBothSides) {
  for (const BlrCtrlMsgRow* row : requestRows()) {
    for (int tag : row->required.tags) {
      if (tag == 0) continue;
      const BlrCtrlTagRow* tagRow = blrCtrlTagRow(tag);
      for (bool zero : {false, true}) {
        if (zero && tagRow->kind == BLR_CTRL_KIND_PAIR_LIST) continue;  // an empty list is one
        SCOPED_TRACE(std::string(row->name) + " without " + tagRow->what + (zero ? " (0)" : ""));
        BlrCtrlValues request = sample(*row, vm);
        request.erase(tag);
        if (zero && tagRow->kind == BLR_CTRL_KIND_UUID) request.setVm(BlrUUID());
        if (zero && tagRow->kind != BLR_CTRL_KIND_UUID) request.set(tag, 0);
        const std::string refusal = std::string("No ") + tagRow->what + " given";
        int sent = sim_.requests();
        EXPECT_EQ(failure(ctrl_.call(row->id, request, nullptr, "failed")),
                  "1: failed: " + refusal);
        EXPECT_EQ(sim_.requests(), sent);

        std::vector<char> payload;
        ASSERT_OK(request.encodeRequest(*row, &payload));
        ASSERT_OK(BlrCtrl::sendMsg(ctrl_.krpSocket, row->id, payload.data(),
                                   static_cast<int>(payload.size())));
        DwBuffer reply;
        ASSERT_OK(BlrCtrl::recvMsg(ctrl_.krpSocket, nullptr, reply, row->replyId));
        BlrCtrlValues got;
        ASSERT_OK(BlrCtrlValues::decodeReply(*row, reply.data(),
                                             static_cast<int>(reply.getSize()), &got));
        EXPECT_EQ(got.int32(BLR_CTRL_TAG_ERROR_CODE), 1);
        EXPECT_EQ(got.text(BLR_CTRL_TAG_ERROR_TEXT), refusal);
      }
    }
  }
}

// The simulator acts on the request and closes the connection instead of
// answering.  A replayable request is sent again and ends as if its first
// answer had arrived; another fails, sent once.
TEST_F(CtrlTest, ReplayableRequestsGiveTheSameOutcomeAfterALostAnswer) {
  sim_.changeSettings([](ProxySettings& s) { s.flushDelayMs = -1; });  // sequence numbers hold
  for (const BlrCtrlMsgRow* row : requestRows()) {
    SCOPED_TRACE(row->name);
    BlrCtrlValues request = sample(*row, vm), first, again;
    CZuError once = ctrl_.call(row->id, request, &first, row->name);
    const std::string state = stateOf(sim_);
    ASSERT_OK(sim_.fault(std::string(row->name) + "=lose:1"));
    const int sent = sim_.requests();
    CZuError twice = ctrl_.call(row->id, request, &again, row->name);
    if (row->replayable) {
      EXPECT_EQ(failure(twice), failure(once));
      EXPECT_EQ(again.describe(), first.describe());
      EXPECT_EQ(stateOf(sim_), state);
      EXPECT_EQ(sim_.requests() - sent, 2) << "lost, then sent again";
    } else {
      EXPECT_EQ(twice.Code(), ECONNRESET) << twice.AsString();
      EXPECT_EQ(sim_.requests() - sent, 1) << "the peer may have acted on it: not sent again";
      ASSERT_OK(ctrl_.connect(sim_.mangled()));
    }
  }
}

// ---- Connecting ----

TEST_F(CtrlTest, BuiltInCertificateNeedsItsSettingAndOtherNamesAreWarnedOf) {
  SimProxy product("product");
  ASSERT_OK(product.start());
  BlrCtrl ctrl;
  setBlr("nAllowBuiltinCerts", 0);
  EXPECT_EQ(failure(ctrl.connect(product.mangled())),
            "1: product did not authenticate with a per-client certificate");
  EXPECT_EQ(ctrl.krpSocket, nullptr);
  EXPECT_FALSE(ctrl.socket.IsValid());
  EXPECT_EQ(ctrl.ping().Summary(), "Not connected");

  setBlr("nAllowBuiltinCerts", 1);
  EXPECT_OK(ctrl.connect(product.mangled()));
  EXPECT_OK(ctrl.ping());

  // A peer under another name is accepted with a warning.
  EvDebugRecorder recorder;
  EXPECT_OK(ctrl_.connect(sim_.mangled("proxy9")));
  EXPECT_OK(ctrl_.ping());
  std::vector<std::string> logged = recorder.messages();
  EXPECT_EQ(std::count(logged.begin(), logged.end(),
                       "Warning: remote client proxy9 authenticated as anchor"),
            1);
}

TEST_F(CtrlTest, ReconnectingClosesTheFirstConnectionAndFailedLookupsKeepIt) {
  ASSERT_OK(ctrl_.connect(sim_.mangled()));
  EXPECT_EQ(sim_.server.waitForConnections(1, 5000), 1);
  EXPECT_OK(ctrl_.ping());

  EXPECT_THAT(ctrl_.connect("no-such-host").Summary(),
              StartsWith("Couldn't lookup BlrCtrlSvc's port numbers on no-such-host"));
  EXPECT_OK(ctrl_.ping());
  EXPECT_EQ(sim_.server.waitForConnections(1, 100), 1);
}

// Kept connections come back only to their own host, in step with the peer,
// open, and within the age limit.
TEST_F(CtrlTest, KeptConnectionsAreHandedOutOnlyWhileFitForReuse) {
  ManualClock clock;
  ManualClock::Installer installed(&clock);
  BlrCtrlCache::Limits limits;
  BlrCtrlCache cache(limits);
  auto open = [&](SimProxy& sim) {
    auto conn = std::make_unique<BlrCtrl>();
    EXPECT_OK(conn->connect(sim.mangled()));
    return conn;
  };
  const std::string host = sim_.mangled();

  std::unique_ptr<BlrCtrl> conn = open(sim_);
  BlrCtrl* first = conn.get();
  cache.keep(host, std::move(conn));
  EXPECT_EQ(cache.take(sim_.mangled("proxy9")), nullptr);
  conn = cache.take(host);
  ASSERT_EQ(conn.get(), first);
  EXPECT_OK(conn->ping());

  // A refusal leaves a connection fit for reuse (EveryRequestCarriesRefusals...);
  // one left unanswered is not kept (WorkflowTest.RunsBorrowAndLeave...).
  // Authenticated too long ago: not handed out.
  conn = open(sim_);
  clock.advance(limits.maxAgeSecs - 1);
  cache.keep(host, std::move(conn));
  clock.advance(2);
  EXPECT_EQ(cache.take(host), nullptr);
  EXPECT_EQ(cache.size(), 0u);

  // Closed by the peer while kept.
  SimProxy other("anchor");
  ASSERT_OK(other.start());
  cache.keep(other.mangled(), open(other));
  other.server.stop();
  EXPECT_EQ(cache.take(other.mangled()), nullptr);
}

// A proxy sheds connections beyond its limit of handshakes in progress
// from one address; clients that meet the refusal try again.
TEST_F(CtrlFixture, ConnectionsShedByABusyProxyAreRetried) {
  SimProxy sim("anchor");
  sim.limits.maxPendingPerAddress = 1;
  ASSERT_OK(sim.start());
  constexpr int kClients = 12;
  std::vector<std::string> errors(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i)
    clients.emplace_back([&, i] {
      BlrCtrl ctrl;
      CZuError err = ctrl.connect(sim.mangled());
      if (!err.IsError()) err = ctrl.ping();
      errors[i] = err.Summary();
    });
  for (std::thread& t : clients) t.join();
  for (int i = 0; i < kClients; ++i) EXPECT_EQ(errors[i], "") << "client " << i;
}

TEST_F(CtrlTest, LocalServiceAndJobCompletion) {
  BlrCtrl ctrl;
  EvDebugRecorder recorder;
  EXPECT_EQ(ctrl.connect().Summary(), "Couldn't derive local PM client name");
  blrJobDone(76);
  EXPECT_THAT(recorder.messages().back(), HasSubstr("Couldn't notify BLR of job completion: "
                                                    "Couldn't derive local PM client name"));

  DWPlatformInfo::setValue("Host", "sClientName", "anchor");
  DWPlatformInfo::setValue("Host", "sNetHostName", "127.0.0.1");
  DWPlatformInfo::setNumber("Host", "nDwdPort", sim_.server.dwdPort());
  EXPECT_OK(ctrl.connect());
  blrJobDone(77);
  EXPECT_EQ(sim_.state.view().doneJobs, std::vector<uint64_t>{77});
}

// A TCP listener whose accepted connection gets `greeting` and then silence.
struct RawPeer {
  explicit RawPeer(std::string greeting) {
    EXPECT_OK(dwTcpListen("127.0.0.1", 0, 4, &listener, &port));
    thread = std::thread([this, greeting] {
      DwWait w;
      if (dwWaitFd(listener.GetDescriptor(), POLLIN, 10000, -1, &w).IsError()) return;
      CZuSocket conn(::accept(listener.GetDescriptor(), nullptr, nullptr));
      if (!greeting.empty()) ::send(conn.GetDescriptor(), greeting.data(), greeting.size(), 0);
      while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
  }
  ~RawPeer() {
    done = true;
    thread.join();
  }
  CZuSocket listener;
  int port = 0;
  std::atomic<bool> done{false};
  std::thread thread;
};

// Either port is tried (see DwFwClientTest); a refused, garbled or silent
// peer fails the connection within the time-out.
TEST_F(CtrlTest, RefusalGarbageOrSilenceInsteadOfTlsFailsTheConnection) {
  setBlr("nAuthTimeoutSecs", 1);
  for (const char* greeting : {"HTTP/1.1 400 Bad Request\r\n\r\n", ""}) {
    SCOPED_TRACE(greeting);
    RawPeer peer(greeting);
    FakeLookup lookup(peer.port, 0);
    BlrCtrl ctrl;
    auto start = std::chrono::steady_clock::now();
    EXPECT_THAT(ctrl.connect(lookup.mangled()).Summary(),
                HasSubstr("Couldn't setup secure connection to anchor"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(ctrl.krpSocket, nullptr);
  }
  FakeLookup nowhere(freePort(), 0);
  BlrCtrl ctrl;
  EXPECT_EQ(ctrl.connect(nowhere.mangled()).Code(), ECONNREFUSED);
  EXPECT_EQ(ctrl.krpSocket, nullptr);
}

}  // namespace

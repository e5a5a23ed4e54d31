// Every request of the pair database, taken from the request table, on every
// path it can arrive by: in process and over a TLS link, whole and in
// pieces.  The requests are the client's own, recorded while it exercises
// every row, so that a row the client can't send fails here too.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <functional>
#include <iterator>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "BLR/BlrPlanDB.h"
#include "pairdb/BlrDBRequests.h"
#include "host/link/DwLink.h"
#include "host/link/DwLinkFrame.h"
#include "host/link/DwLinkServer.h"
#include "support/LinkTestEnv.h"
#include "support/PairDbTestEnv.h"
#include "support/RawPeers.h"

namespace {

using Map = BlrDBSvc::Map;
using ::testing::HasSubstr;

// Stands in front of the service under the same link name and keeps every
// request that reaches it with its whole answer.
class RecordingSvc : public DwLinkSvc {
 public:
  explicit RecordingSvc(BlrDBSvc* target) : DwLinkSvc("BLR"), target_(target) {}
  CZuError dispatch(const Map& req, Map* resp, const std::string& from, const KRP_Cert& cert) override {
    CZuError err = target_->dispatch(req, resp, from, cert);
    std::lock_guard<std::mutex> lock(mu_);
    seen.push_back({req, *resp});
    return err;
  }
  struct Exchange {
    Map req, resp;
  };
  std::vector<Exchange> seen;

 private:
  BlrDBSvc* target_;
  std::mutex mu_;
};

// Stands in front of the service and keeps the last request, unanswered:
// what the client sends, without applying it.
class CatchingSvc : public DwLinkSvc {
 public:
  CatchingSvc() : DwLinkSvc("BLR") {}
  CZuError dispatch(const Map& req, Map*, const std::string&, const KRP_Cert&) override {
    caught = req;
    return CZuError();
  }
  Map caught;
};

// Gathers pieces for an in-process caller that takes them one by one.
class PieceSink : public DwLinkReply {
 public:
  CZuError append(const std::string& key, std::string piece) override {
    values[key] += piece;
    ++pieces;
    return CZuError();
  }
  Map values;
  int pieces = 0;
};

// The elements of an encoded record, and back.
struct Element {
  int tag;
  std::string payload;
};

std::vector<Element> elementsOf(const std::string& bytes) {
  std::vector<Element> out;
  DwEbmlParser parser(bytes.data(), bytes.size());
  int tag = 0, len = 0;
  while (!parser.atEnd() && !parser.getNextTag(&tag, &len).IsError()) {
    out.push_back({tag, std::string(reinterpret_cast<const char*>(parser.getPos()), len)});
    parser.skipPayload(len);
  }
  return out;
}

std::string encoded(const std::vector<Element>& elements) {
  std::string bytes;
  for (const Element& e : elements) {
    char header[16];
    char* end = dw_ebml_detail::putVarInt(header, static_cast<uint32_t>(e.tag));
    end = dw_ebml_detail::putVarInt(end, static_cast<uint32_t>(e.payload.size()));
    bytes.append(header, end).append(e.payload);
  }
  return bytes;
}

// A payload that reads as text: one NUL, at its end.
bool isText(const std::string& payload) {
  return !payload.empty() && payload.find('\0') == payload.size() - 1;
}

bool isRecordList(int tag) {
  for (int list : {BLRDB_TAG_DISK, BLRDB_TAG_PAIR, BLRDB_TAG_PROP_MAP, BLRDB_TAG_BOOT_DISK,
                   BLRDB_TAG_PLAN_GROUP, BLRDB_TAG_PLAN_MEMBER, BLRDB_TAG_PLAN_RUN_PAIR})
    if (tag == list) return true;
  return false;
}

std::vector<Element> replaced(std::vector<Element> elements, size_t i, const std::string& payload) {
  elements[i].payload = payload;
  return elements;
}

using Damaged = std::vector<std::pair<std::string, std::string>>;

// `bytes` with one field damaged, for each field, nested records included:
// made unreadable (a payload no number, text, identifier or record can
// have), wider than any column (a text), or left out (where `needed`).
void damage(const std::string& bytes, const std::string& path,
            const std::function<bool(int)>& needed, Damaged* out) {
  const std::vector<Element> elements = elementsOf(bytes);
  for (size_t i = 0; i < elements.size(); ++i) {
    const std::string name = path + std::to_string(elements[i].tag);
    auto with = [&](const std::string& label, const std::string& payload) {
      out->push_back({label + " " + name, encoded(replaced(elements, i, payload))});
    };
    with("unreadable", std::string(9, '\xff'));
    if (isText(elements[i].payload)) with("over-wide", std::string(70000, 'x') + '\0');
    if (needed(elements[i].tag)) {
      std::vector<Element> body = elements;
      body.erase(body.begin() + static_cast<long>(i));
      out->push_back({"missing " + name, encoded(body)});
    }
    if (isRecordList(elements[i].tag)) {
      Damaged inner;
      damage(elements[i].payload, name + "/", [](int) { return false; }, &inner);
      for (const auto& d : inner) out->push_back({d.first, encoded(replaced(elements, i, d.second))});
    }
  }
}

class PairDbRequestTableTest : public PairDbTest {
 protected:
  void TearDown() override {
    server_.stop();
    PairDbTest::TearDown();
  }

  // Everything a request may change, read through the client and by counts.
  std::string snapshot() {
    std::string out;
    for (const char* table : {"BlrPair", "BlrDisk", "BlrPairProperties", "BlrBootVM", "BlrBootDisk",
                              "BlrPlan", "BlrPlanGroup", "BlrPlanPair", "BlrPlanRun", "BlrPlanRunPair",
                              "APP_Event"})
      out += std::string(table) + "=" + std::to_string(count(table)) + " ";
    out += "stats=" + std::to_string(sql("SELECT COUNT(*) FROM BlrPairStats", "HistoryDB"));
    std::list<BlrDB::Pair> pairs;
    EXPECT_OK(db_.getPairs(BlrDB::Pair(), &pairs));
    for (const BlrDB::Pair& p : pairs) {
      out += "\npair " + std::to_string(p.id) + " " + p.srcName + " " + p.dstName + " status " +
             std::to_string(p.statusCode) + "/" + std::to_string(p.pendingStatusCode) + " flags " +
             std::to_string(p.flags) + " lag " + std::to_string(p.lagTime) + " event " +
             std::to_string(p.eventId);
      for (const BlrDB::Disk& d : p.disks)
        out += " disk " + d.srcPath + ">" + d.dstPath + ":" + std::to_string(d.statusCode);
      std::map<std::string, std::string> props;
      EXPECT_OK(db_.getPairProps(p.id, &props));
      for (const auto& kv : props) out += " " + kv.first + "=" + kv.second;
      std::list<BlrDB::BootVM> vms;
      EXPECT_OK(db_.getBootVMsForPair(p.id, &vms));
      for (const BlrDB::BootVM& vm : vms)
        out += " vm " + std::to_string(vm.id) + ":" + std::to_string(vm.statusCode);
    }
    std::list<BlrPlanDB::Run> runs;
    EXPECT_OK(BlrPlanDB().getRuns("", &runs));
    for (const BlrPlanDB::Run& r : runs) out += "\nrun " + std::to_string(r.id) + " " + r.state;
    return out;
  }

  // Sends one request of every row through the client, recording each.
  std::vector<RecordingSvc::Exchange> tour() {
    RecordingSvc recorder(svc_.get());
    BlrDB::Pair p = store(3, 1, 2);
    std::list<BlrDB::Pair> batch{newPair(4, 2, 1), newPair(4, 3, 1)};
    EXPECT_OK(db_.createPairs(batch));
    BlrDB::Pair dest = p;
    dest.dstName = "renamed-dr";
    EXPECT_OK(db_.updateDestInfo(dest));
    EXPECT_OK(db_.updateSrcPaths({{p.disks.front().srcGuid, "/moved"}}));
    EXPECT_OK(db_.setPairEvent(p.id, 5));
    EXPECT_OK(db_.setPairStatus(p.id, 3, "synchronising", 0));
    EXPECT_OK(db_.setPairPendingStatus(p.id, 4));
    EXPECT_OK(db_.setDiskStatus(p.disks.front().id, 2, "busy"));
    EXPECT_OK(db_.setPairFlags(p.id, 8));
    EXPECT_OK(db_.clrPairFlags(p.id, 8));
    EXPECT_OK(db_.setPairLagTime(p.id, 17));
    BlrDB::PairStats stats;
    stats.pairId = p.id;
    stats.ioDelta = 5;
    EXPECT_OK(db_.addPairStats(stats));
    BlrDB::PairProps props;
    EXPECT_OK(db_.getPairProps(p.id, &props));
    EXPECT_OK(db_.setPairProps(p.id, props));
    EXPECT_OK(db_.setPairProp(p.id, "owner", "first"));
    std::string value;
    EXPECT_OK(db_.getPairProp(p.id, "owner", &value));
    std::list<BlrDB::Pair> pairs;
    EXPECT_OK(db_.getPairs(p.subClientId, &pairs));
    EXPECT_OK(db_.delPairProp(p.id, "owner"));
    int bootVmId = 0;
    EXPECT_OK(db_.addBootVM(newBootVM(p.id, 1), &bootVmId));
    BlrDB::BootVM vm;
    EXPECT_OK(db_.getBootVM(bootVmId, &vm));
    std::list<BlrDB::BootVM> vms;
    EXPECT_OK(db_.getBootVMsForPair(p.id, &vms));
    EXPECT_OK(db_.getBootVMsForTail(kTail, &vms));
    EXPECT_OK(db_.delBootVM(bootVmId));
    storePlanWithRun("site b", p.id);
    BlrPlanDB plans;
    BlrPlanDB::Plan plan;
    plan.name = "site b";
    std::list<BlrPlanDB::Run> runs;
    EXPECT_OK(plans.getRuns(plan.name, &runs));
    EXPECT_OK(plans.getPlan(plan.name, &plan));
    BlrPlanDB::Run run;
    run.planName = plan.name;
    run.workflow = "test";
    EXPECT_OK(plans.createRun(&run));
    EXPECT_OK(plans.claimRun("runner", 30, &run));
    EXPECT_OK(plans.renewLease(run.id, "runner", 30, &run));
    EXPECT_OK(plans.stopRun(run.id, &run));
    EXPECT_OK(plans.finishRun(run.id, BlrPlanDB::kStopped, "runner"));
    EXPECT_OK(plans.resumeRun(run.id, &run));
    EXPECT_OK(plans.stopRun(run.id, &run));
    bool found = false;
    EXPECT_OK(plans.createPlan([&] {
      BlrPlanDB::Plan other = plan;
      other.name = "doomed";
      return other;
    }(), nullptr));
    EXPECT_OK(plans.delPlan("doomed", &found));
    EXPECT_OK(db_.delPairs(4));
    return recorder.seen;
  }

  // The first recorded request of each row.
  static std::map<std::string, RecordingSvc::Exchange> byName(
      const std::vector<RecordingSvc::Exchange>& seen) {
    std::map<std::string, RecordingSvc::Exchange> first;
    for (const auto& e : seen) first.emplace(e.req.at("req"), e);
    return first;
  }

  // A server on loopback for the service, and both kinds of requester.
  void serve() {
    DwLinkServerConfig config;
    config.address = "127.0.0.1";
    config.port = 0;
    config.tls = LinkTestEnv::get().server;
    config.service = svc_.get();
    ASSERT_OK(server_.start(config));
  }
  // A requester that takes an answer in pieces.
  CZuError overLinkInPieces(const Map& req, Map* resp,
                            std::shared_ptr<TlsContext> tls = LinkTestEnv::get().client) {
    DwLinkClientConfig c;
    c.servers = {{"127.0.0.1", server_.port()}};
    c.tls = tls;
    c.timeoutMs = 5000;
    return DwLink("BLR").makeRemoteReq(c, req, resp);
  }
  // A requester that takes it whole, as an older peer does.
  CZuError overLinkWhole(const Map& req, Map* resp) {
    RawPeer peer("127.0.0.1", server_.port());
    CZuError err = peer.authenticate(LinkTestEnv::get().client);
    DwLinkMessage msg;
    msg.name = "BLR";
    msg.entries = req;
    std::string frame, payload;
    if (!err.IsError()) err = dwLinkEncode(msg, kDwLinkMaxFrameBytes, &frame);
    if (!err.IsError()) err = dwLinkSendFrame(peer.tls, frame, 5000);
    bool started = false;
    if (!err.IsError()) err = dwLinkRecvFrame(peer.tls, kDwLinkMaxFrameBytes, 5000, &payload, &started);
    DwLinkMessage answer;
    if (!err.IsError()) err = dwLinkDecode(payload.data(), payload.size(), &answer);
    EXPECT_FALSE(answer.more) << "an answer in pieces to a requester that takes it whole";
    *resp = answer.entries;
    return err;
  }

  DwLinkServer server_;
};

TEST_P(PairDbRequestTableTest, TheClientSendsEveryRowAndEveryRowIsDocumented) {
  auto seen = byName(tour());
  std::ifstream file(std::string(BLR_SOURCE_DIR) + "/docs/pairdb.md");
  const std::string docs((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(docs.empty());
  for (const blrdb_req::Row& row : blrdb_req::kRows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(seen.count(row.name)) << "no client operation sends it";
    const Map& req = seen.at(row.name).req;
    EXPECT_EQ(req.count(blrdb_req::kRequestIdKey), row.replays ? 1u : 0u);
    EXPECT_THAT(docs, HasSubstr(std::string("\"") + row.name + "\""));
  }
  EXPECT_EQ(seen.size(), blrdb_req::kRowCount) << "a request without a row";
}

// Three kinds of damage to the hex of the body, on every path: refused with
// the reader's reason and code 1, nothing changed.
TEST_P(PairDbRequestTableTest, CorruptBodiesAreRefusedOnEveryPathAndChangeNothing) {
  tour();
  serve();
  const std::string before = snapshot();
  const std::pair<std::string, const char*> blobs[] = {{"0a1", "odd length"},
                                                       {"0g", "not a hexadecimal digit"},
                                                       {std::string("0a\0\0", 4), "byte 0x00"}};
  KRP_Cert cert;
  for (const blrdb_req::Row& row : blrdb_req::kRows) {
    for (const auto& blob : blobs) {
      SCOPED_TRACE(std::string(row.name) + ": " + blob.second);
      const Map req{{"req", row.name}, {"blob", blob.first}};
      Map resp;
      CZuError err = svc_->dispatch(req, &resp, "t", cert);
      EXPECT_EQ(err.Code(), 1);
      EXPECT_THAT(err.Summary(), HasSubstr(blob.second));
      EXPECT_TRUE(resp.empty());
      PieceSink sink;
      resp.clear();
      err = svc_->dispatchPieces(req, &resp, &sink, "t", cert);
      EXPECT_EQ(err.Code(), 1);
      EXPECT_THAT(err.Summary(), HasSubstr(blob.second));
      EXPECT_EQ(sink.pieces, 0);
      for (bool pieces : {true, false}) {
        resp.clear();
        ASSERT_OK(pieces ? overLinkInPieces(req, &resp) : overLinkWhole(req, &resp));
        EXPECT_THAT(resp["error"], HasSubstr(blob.second));
        EXPECT_THAT(resp["error"], HasSubstr("(code 1, request "));
        EXPECT_EQ(resp.count("blob"), 0u);
      }
    }
  }
  EXPECT_EQ(snapshot(), before);
}

// Each request of the tour, damaged one field at a time, on every path:
// refused, and nothing changed.
TEST_P(PairDbRequestTableTest, DamagedFieldsAreRefusedOnEveryPathAndChangeNothing) {
  auto seen = byName(tour());
  serve();
  const std::string before = snapshot();
  KRP_Cert cert;
  int ids = 0;
  for (const blrdb_req::Row& row : blrdb_req::kRows) {
    const Map& first = seen.at(row.name).req;
    std::vector<char> bytes;
    ASSERT_OK(blrReadBlob(first, &bytes));
    Damaged damaged;
    damage(std::string(bytes.begin(), bytes.end()), "field ",
           [&row](int tag) { return row.needs(tag); }, &damaged);
    for (const auto& d : damaged) {
      SCOPED_TRACE(std::string(row.name) + ": " + d.first);
      Map req = first, resp;
      blrSetBlob(req, d.second.data(), static_cast<int>(d.second.size()));
      if (row.replays) req[blrdb_req::kRequestIdKey] = "damaged-" + std::to_string(++ids);
      EXPECT_TRUE(svc_->dispatch(req, &resp, "t", cert).IsError());
      EXPECT_EQ(resp.count("blob"), 0u);
      resp.clear();
      ASSERT_OK(overLinkInPieces(req, &resp));
      EXPECT_EQ(resp.count("error"), 1u);
      EXPECT_EQ(resp.count("blob"), 0u);
    }
  }
  EXPECT_EQ(snapshot(), before);
}

// A recorded request sent again under its request id: the first answer, on
// every path, and nothing applied twice.  Reads give the same answer whole
// and in pieces.
TEST_P(PairDbRequestTableTest, RepeatsGetTheFirstAnswerAndReadsAgreeOnEveryPath) {
  auto seen = byName(tour());
  serve();
  const std::string before = snapshot();
  KRP_Cert cert;
  for (const blrdb_req::Row& row : blrdb_req::kRows) {
    SCOPED_TRACE(row.name);
    const RecordingSvc::Exchange& first = seen.at(row.name);
    Map whole, pieces, linkWhole;
    svc_->answer(first.req, &whole, "t", cert);
    ASSERT_OK(overLinkInPieces(first.req, &pieces));
    ASSERT_OK(overLinkWhole(first.req, &linkWhole));
    EXPECT_EQ(pieces, whole);
    EXPECT_EQ(linkWhole, whole);
    if (row.replays) {
      EXPECT_EQ(whole, first.resp);
    }
  }
  EXPECT_EQ(snapshot(), before);
}

// A request id stands for one request.  The changes of the first request
// sent again under its id, and its body under another name, are refused on
// every path, not recorded, and change nothing; the request itself, its hex
// in either case, still gets the first answer.
TEST_P(PairDbRequestTableTest, ARequestIdIsBoundToItsNameAndBody) {
  const BlrDB::Pair p = store(3, 1, 2), other = store(3, 2, 1);
  auto sent = [&](const std::function<CZuError(BlrDB&)>& call) {
    CatchingSvc catcher;
    EXPECT_OK(call(db_));
    return catcher.caught;
  };
  const Map first = sent([&](BlrDB& db) { return db.setPairProp(p.id, "owner", "first"); });
  const std::string rid = first.at(blrdb_req::kRequestIdKey);
  KRP_Cert cert;
  Map firstAnswer;
  ASSERT_OK(svc_->dispatch(first, &firstAnswer, "t", cert));
  serve();
  const std::string before = snapshot();
  const long long recorded = count("BlrRequestLog");

  const std::pair<const char*, std::function<CZuError(BlrDB&)>> changes[] = {
      {"another value", [&](BlrDB& db) { return db.setPairProp(p.id, "owner", "second"); }},
      {"another request", [&](BlrDB& db) { return db.setPairFlags(p.id, 8); }},
      {"a deletion", [&](BlrDB& db) { return db.delPairProp(p.id, "owner"); }},
      {"another pair", [&](BlrDB& db) { return db.setPairProp(other.id, "owner", "first"); }},
  };
  std::vector<std::pair<std::string, Map>> variants;
  for (const auto& change : changes) {
    Map req = sent(change.second);
    req[blrdb_req::kRequestIdKey] = rid;
    variants.push_back({change.first, req});
  }
  Map renamed = first;
  renamed["req"] = "del_pair_prop";
  variants.push_back({"the body under another name", renamed});

  const std::string refusal = "request id " + rid + " was already used for a different request";
  for (const auto& variant : variants) {
    SCOPED_TRACE(variant.first);
    Map resp;
    CZuError err = svc_->dispatch(variant.second, &resp, "t", cert);
    EXPECT_EQ(err.Summary(), refusal);
    for (bool pieces : {true, false}) {
      resp.clear();
      ASSERT_OK(pieces ? overLinkInPieces(variant.second, &resp) : overLinkWhole(variant.second, &resp));
      EXPECT_THAT(resp["error"], ::testing::StartsWith(refusal + " (code 1, request "));
    }
  }
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(count("BlrRequestLog"), recorded);

  Map upperHex = first;
  for (char& c : upperHex["blob"]) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const Map& again : {first, upperHex}) {
    Map whole, pieces;
    ASSERT_OK(svc_->dispatch(again, &whole, "t", cert));
    ASSERT_OK(overLinkInPieces(again, &pieces));
    EXPECT_EQ(whole, firstAnswer);
    EXPECT_EQ(pieces, firstAnswer);
  }
  EXPECT_EQ(snapshot(), before);

  // Two operators at once, different changes under one new id: one is
  // applied, the other refused, and the stored value is the winner's.
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Map twins[2] = {sent([&](BlrDB& db) { return db.setPairProp(p.id, "owner", "alpha"); }),
                    sent([&](BlrDB& db) { return db.setPairProp(p.id, "owner", "beta"); })};
    const std::string id = "twins-" + std::to_string(round) + "-" + rid;
    Map answers[2];
    CZuError errs[2];
    std::vector<std::thread> operators;
    for (int i = 0; i < 2; ++i) {
      twins[i][blrdb_req::kRequestIdKey] = id;
      operators.emplace_back([&, i] { errs[i] = overLinkInPieces(twins[i], &answers[i]); });
    }
    for (std::thread& t : operators) t.join();
    ASSERT_OK(errs[0]);
    ASSERT_OK(errs[1]);
    const bool firstWon = answers[0].count("error") == 0;
    EXPECT_NE(firstWon, answers[1].count("error") == 0) << "exactly one is applied";
    EXPECT_THAT(answers[firstWon ? 1 : 0]["error"],
                ::testing::StartsWith("request id " + id + " was already used for a different request"));
    std::string owner;
    ASSERT_OK(db_.getPairProp(p.id, "owner", &owner));
    EXPECT_EQ(owner, firstWon ? "alpha" : "beta");
  }
}

// A change whose last statement fails (the record of its answer, which a
// view that can't be written to refuses) leaves no trace: not a row, not an
// event.
TEST_P(PairDbRequestTableTest, EveryChangeIsUndoneWhenItsTransactionFails) {
  auto seen = byName(tour());
  // SQLite keeps a file per database, PostgreSQL one schema for both here.
  std::vector<const char*> dbs{"Anchor"};
  if (GetParam() == DWSqlBackend::kSqlite) dbs.push_back("HistoryDB");
  for (const char* db : dbs) {
    sql("ALTER TABLE BlrRequestLog RENAME TO BlrRequestLogKept", db);
    sql("CREATE VIEW BlrRequestLog AS SELECT DISTINCT * FROM BlrRequestLogKept", db);
  }
  const std::string before = snapshot();
  KRP_Cert cert;
  for (const blrdb_req::Row& row : blrdb_req::kRows) {
    if (!row.replays) continue;
    SCOPED_TRACE(row.name);
    Map req = seen.at(row.name).req, resp;
    req[blrdb_req::kRequestIdKey] = std::string("again-") + row.name;
    CZuError err = svc_->dispatch(req, &resp, "t", cert);
    EXPECT_TRUE(err.IsError());
    EXPECT_EQ(snapshot(), before);
  }
}

// Peers without a valid certificate get no answer, and are counted.
TEST_P(PairDbRequestTableTest, PeersWithoutAValidCertificateAreRefused) {
  serve();
  const Map req{{"req", "get_pairs"}};
  for (auto tls : {LinkTestEnv::get().noCert, LinkTestEnv::get().otherCa}) {
    Map resp;
    EXPECT_TRUE(overLinkInPieces(req, &resp, tls).IsError());
    EXPECT_TRUE(resp.empty());
  }
  server_.stop();  // refusals are counted on the server's threads
  EXPECT_EQ(server_.stats().refused, 2u);
}

BLR_SQL_BACKENDS(PairDbRequestTableTest);

}  // namespace

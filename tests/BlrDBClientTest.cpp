// What the client sends and how it reads answers, against a scripted service.
#include <gtest/gtest.h>

#include "BLR/BlrDB.h"
#include "BLR/BlrUtils.h"
#include "host/DwLinkSvc.h"

namespace {

using Map = std::map<std::string, std::string>;

// Records each request and answers with `answer`.
class ScriptedSvc : public DwLinkSvc {
 public:
  ScriptedSvc() : DwLinkSvc("BLR") {}
  CZuError dispatch(const Map& req, Map* resp, const std::string&, const KRP_Cert&) override {
    requests.push_back(req);
    *resp = answer;
    return CZuError();
  }
  std::string lastBlob() const { return requests.empty() ? "<none>" : requests.back().at("blob"); }

  std::vector<Map> requests;
  Map answer;
};

class BlrDBClientTest : public ::testing::Test {
 protected:
  BlrDB::Pair sentPair() const {
    std::vector<char> bytes = blrGetBlob(svc_.requests.back());
    BlrDB::Pair p;
    p.unserialize(bytes.data(), static_cast<int>(bytes.size()));
    return p;
  }

  ScriptedSvc svc_;
  BlrDB db_;
};

TEST_F(BlrDBClientTest, RequestBodiesAreTheDocumentedBytes) {
  ASSERT_FALSE(db_.setPairFlags(7, 8).IsError());
  EXPECT_EQ(svc_.requests.back().at("req"), "set_pair_flags");
  EXPECT_EQ(svc_.lastBlob(), "828107a68108");
  ASSERT_FALSE(db_.delBootVM(9).IsError());
  EXPECT_EQ(svc_.lastBlob(), "998109");
  ASSERT_FALSE(db_.delPairProps(4).IsError());
  EXPECT_EQ(svc_.requests.back().at("req"), "del_pair_prop");
  EXPECT_EQ(svc_.lastBlob(), "8281049481" "00");

  DwEbmlBuffer buffer(16);
  DwEbmlWriter empty(buffer, 0);
  ASSERT_FALSE(db_.makeReq("get_pairs", empty, nullptr).IsError());
  EXPECT_EQ(svc_.lastBlob(), "");
}

TEST_F(BlrDBClientTest, RecordBodiesLeaveOtherFieldsUnset) {
  ASSERT_FALSE(db_.setPairStatus(5, 14, "failing over", 3).IsError());
  BlrDB::Pair p = sentPair();
  EXPECT_EQ(p.id, 5);
  EXPECT_EQ(p.statusCode, 14);
  EXPECT_EQ(p.statusMessage, "failing over");
  EXPECT_EQ(p.eventId, 3);
  EXPECT_EQ(p.pendingStatusCode, -1);
  EXPECT_EQ(p.rpStoreId, -1);
  EXPECT_EQ(p.lagTime, -1);
  EXPECT_EQ(p.flags, -1);

  BlrUUID vm(std::string("0123456789abcdef0123456789abcdef"));
  ASSERT_FALSE(db_.setPairEvent(vm, 6).IsError());
  EXPECT_EQ(sentPair().id, 0);
  EXPECT_EQ(sentPair().srcGuid, vm);

  ASSERT_FALSE(db_.updateSrcPaths({}).IsError());
  EXPECT_TRUE(sentPair().disks.empty());

  ASSERT_FALSE(db_.setBootVMStatus(5, 2, "up", 1).IsError());
  std::vector<char> bytes = blrGetBlob(svc_.requests.back());
  BlrDB::BootVM sent;
  ASSERT_FALSE(sent.unserialize(bytes.data(), static_cast<int>(bytes.size())).IsError());
  EXPECT_EQ(sent.id, 5);
  EXPECT_EQ(sent.pairId, 0);
  EXPECT_EQ(sent.statusMessage, "up");
}

TEST_F(BlrDBClientTest, EmptyIdentifierListSendsNothing) {
  ASSERT_FALSE(db_.delPairs(std::list<int>()).IsError());
  EXPECT_TRUE(svc_.requests.empty());
  ASSERT_FALSE(db_.delPairs(std::list<int>{4, 9}).IsError());
  std::vector<char> bytes = blrGetBlob(svc_.requests.back());
  std::list<BlrDB::Pair> filters;
  ASSERT_FALSE(BlrDB::decodePairs(bytes, &filters).IsError());
  ASSERT_EQ(filters.size(), 2u);
  EXPECT_EQ(filters.front().id, 4);
  EXPECT_EQ(filters.back().id, 9);
}

TEST_F(BlrDBClientTest, ServiceErrorsAreReportedVerbatimUnderTheOperationsMessage) {
  svc_.answer = {{"error", "100% broken"}, {"blob", "8181"}};
  std::string value = "untouched";
  CZuError err = db_.getPairProp(1, "x", &value);
  EXPECT_EQ(err.Code(), 1);
  EXPECT_EQ(err.Summary(), "Couldn't get BlrPair property x: 100% broken");
  EXPECT_EQ(value, "untouched");
  EXPECT_EQ(db_.setPairProp(1, "x", "y").Summary(),
            "Couldn't set BlrPair property x=y: 100% broken");

  BlrDB::BootVM vm;
  vm.id = 3;
  EXPECT_EQ(db_.getBootVM(7, &vm).Summary(), "Couldn't retrieve BootVM with ID 7: 100% broken");
  EXPECT_EQ(vm.id, 0);  // reset before sending
  std::list<BlrDB::Pair> pairs(1);
  EXPECT_TRUE(db_.getPairs(BlrDB::Pair(), &pairs).IsError());
  EXPECT_EQ(pairs.size(), 1u);  // untouched
}

TEST_F(BlrDBClientTest, AnswersWithoutBytesReadAsEmpty) {
  BlrDB::Pair pair;
  pair.id = 4;
  pair.tailHostName = "kept";
  ASSERT_FALSE(db_.getPair(4, &pair).IsError());
  EXPECT_EQ(pair.id, 0);
  EXPECT_EQ(pair.statusCode, -1);
  EXPECT_EQ(pair.tailHostName, "kept");

  int id = 5;
  ASSERT_FALSE(db_.addBootVM(BlrDB::BootVM(), &id).IsError());
  EXPECT_EQ(id, 0);
  std::string value = "x";
  ASSERT_FALSE(db_.getPairProp(1, "a", &value).IsError());
  EXPECT_EQ(value, "");
}

TEST(BlrDBPairsCodec, EmptyListAndEmptyBytes) {
  EXPECT_TRUE(BlrDB::encodePairs({}).empty());
  std::list<BlrDB::Pair> pairs(2);
  ASSERT_FALSE(BlrDB::decodePairs({}, &pairs).IsError());
  EXPECT_TRUE(pairs.empty());
}

}  // namespace

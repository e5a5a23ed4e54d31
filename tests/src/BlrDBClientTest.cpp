// What the client sends and how it reads answers, against a scripted service.
#include "BLR/BlrDB.h"
#include "BLR/BlrUtils.h"
#include "host/link/DwLinkSvc.h"
#include "support/Check.h"

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
  // "<request name> <body in hex>"
  std::string lastReq() const {
    if (requests.empty()) return "<none>";
    return requests.back().at("req") + " " + requests.back().at("blob");
  }

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
  ASSERT_OK(db_.setPairFlags(7, 8));
  EXPECT_EQ(svc_.lastReq(), "set_pair_flags 828107a68108");
  ASSERT_OK(db_.delBootVM(9));
  EXPECT_EQ(svc_.lastReq(), "del_boot_vm 998109");
  ASSERT_OK(db_.delPairProps(4));
  EXPECT_EQ(svc_.lastReq(), "del_pair_prop 828104948100");
  DwEbmlBuffer buffer(16);
  DwEbmlWriter empty(buffer, 0);
  ASSERT_OK(db_.makeReq("get_pairs", empty, nullptr));
  EXPECT_EQ(svc_.lastReq(), "get_pairs ");
}

TEST_F(BlrDBClientTest, RecordBodiesLeaveOtherFieldsUnset) {
  ASSERT_OK(db_.setPairStatus(5, 14, "failing over", 3));
  BlrDB::Pair p = sentPair();
  EXPECT_EQ(std::vector<int>({p.id, p.statusCode, p.eventId, p.pendingStatusCode, p.rpStoreId,
                              p.lagTime, p.flags}),
            std::vector<int>({5, 14, 3, -1, -1, -1, -1}));
  EXPECT_EQ(p.statusMessage, "failing over");

  BlrUUID vm(std::string("0123456789abcdef0123456789abcdef"));
  ASSERT_OK(db_.setPairEvent(vm, 6));
  EXPECT_EQ(sentPair().id, 0);
  EXPECT_EQ(sentPair().srcGuid, vm);

  ASSERT_OK(db_.setBootVMStatus(5, 2, "up", 1));
  std::vector<char> bytes = blrGetBlob(svc_.requests.back());
  BlrDB::BootVM sent;
  ASSERT_OK(sent.unserialize(bytes.data(), static_cast<int>(bytes.size())));
  EXPECT_EQ(sent.id, 5);
  EXPECT_EQ(sent.pairId, 0);
  EXPECT_EQ(sent.statusMessage, "up");
}

TEST_F(BlrDBClientTest, ServiceErrorsAreReportedVerbatimUnderTheOperationsMessage) {
  svc_.answer = {{"error", "100% broken"}, {"blob", "8181"}};
  std::string value = "untouched";
  EXPECT_EQ(failure(db_.getPairProp(1, "x", &value)),
            "1: Couldn't get BlrPair property x: 100% broken");
  EXPECT_EQ(value, "untouched");
  EXPECT_EQ(db_.setPairProp(1, "x", "y").Summary(),
            "Couldn't set BlrPair property x=y: 100% broken");

  BlrDB::BootVM vm;
  vm.id = 3;
  EXPECT_EQ(db_.getBootVM(7, &vm).Summary(), "Couldn't retrieve BootVM with ID 7: 100% broken");
  EXPECT_EQ(vm.id, 0);  // reset before sending
}

}  // namespace

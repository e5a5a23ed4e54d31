// Pair state, events, properties, statistics and boot VMs, end to end
// through the link on both backends.
#include <algorithm>
#include <functional>
#include <vector>

#include "support/PairDbTestEnv.h"
#include "host/log/EvEvent.h"

namespace {

using PairDbStateTest = PairDbTest;

// The pair's status events, without those of the requests that changed it.
std::vector<EvEventRecord> pairEvents(int pairId) {
  EvEvent::Filter filter;
  filter.entityType = 187;
  filter.entityId = pairId;
  std::vector<EvEventRecord> events;
  EXPECT_OK(EvEvent::list(filter, &events));
  events.erase(std::remove_if(events.begin(), events.end(),
                              [](const EvEventRecord& e) { return e.eventId == 0x025A0100; }),
               events.end());
  return events;
}

TEST_P(PairDbStateTest, StatusChangesPostEventsWithTheOldName) {
  BlrDB::Pair p = store(3, 1, 1);
  ASSERT_OK(db_.setPairStatus(p.id, 14, "failing over", 77));
  std::vector<EvEventRecord> events = pairEvents(p.id);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events.front().eventId, 0x025A008E);
  EXPECT_EQ(events.front().arguments, std::vector<std::string>{p.srcName});

  ASSERT_OK(db_.setPairStatus(p.id, 14, "still", 0));  // no change
  ASSERT_OK(db_.setPairStatus(p.id, 7, "no event", 0));
  ASSERT_OK(db_.setPairStatus(p.id, 0, "no event", 0));
  EXPECT_EQ(pairEvents(p.id).size(), 1u);
  EXPECT_EQ(read(p.id).statusCode, 0);
  EXPECT_EQ(read(p.id).statusMessage, "no event");

  // A pair without a row: status 0 assumed, empty name, success.
  ASSERT_OK(db_.setPairStatus(9999, 1, "", 0));
  events = pairEvents(9999);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events.front().arguments, std::vector<std::string>{""});
}

// The event log keeps arguments as given; entity -1 selects any entity of
// the type, and a limit the newest (by entity: StatusChangesPostEvents...).
TEST_P(PairDbStateTest, EventsAreKeptWithArgumentsAndFilteredByEntity) {
  const std::vector<std::string> args = {"3:not a length", "", "it's", "a\nb"};
  for (int i = 0; i < 4; ++i) {
    EvEvent event;
    for (const std::string& a : args) event.addArgument(a, EV_ARG_TEXT);
    event.setEntity(i % 2, 187);
    ASSERT_OK(event.InfoEvent(100 + i, 0, 0));
  }
  std::vector<EvEventRecord> events;
  EvEvent::Filter filter;
  filter.entityType = 187;
  filter.entityId = -1;
  filter.limit = 3;
  ASSERT_OK(EvEvent::list(filter, &events));
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events.front().eventId, 103);
  EXPECT_EQ(events.back().eventId, 101);
  EXPECT_EQ(events.back().arguments, args);
  EXPECT_EQ(events.back().time, kNow);
}

// Status, flags, lag and pending status by hand, and destination info with
// the pair's id: CliTest.PairsReadBackAsJsonAndBadInputIsRefused, over the
// served link.  Here the forms it doesn't send.
TEST_P(PairDbStateTest, SingleFieldDestinationAndSourcePathUpdates) {
  BlrDB::Pair p = store(3, 1, 2);
  BlrDB::Pair q = store(4, 2, 1);
  ASSERT_OK(db_.setPairEvent(p.id, 5));
  ASSERT_OK(db_.setDiskStatus(p.disks.back().id, 2, "degraded"));

  BlrDB::Pair r = read(p.id);
  EXPECT_EQ(r.eventId, 5);
  EXPECT_EQ(r.disks.back().statusCode, 2);
  EXPECT_EQ(r.disks.back().statusMessage, "degraded");
  EXPECT_EQ(read(q.id).eventId, 0);
  ASSERT_OK(db_.setPairEvent(q.srcGuid, 12));  // every pair of that source VM
  EXPECT_EQ(read(q.id).eventId, 12);

  // Destination info and source paths.
  BlrDB::Pair update;
  update.dstName = "new-dr";
  update.dstGuid = guid(777);
  BlrDB::Disk disk = p.disks.front();
  disk.dstGuid.clear();
  disk.dstPath = "/new/dst";
  update.disks.push_back(disk);
  ASSERT_OK(db_.updateDestInfo(update));  // id 0: the pair row stays, the disk moves
  r = read(p.id);
  EXPECT_EQ(r.dstName, p.dstName);
  EXPECT_EQ(r.disks.front().dstPath, "/new/dst");
  EXPECT_EQ(r.disks.front().dstGuid, p.disks.front().dstGuid);

  std::map<BlrUUID, std::string> paths{{p.disks.front().srcGuid, "/renamed"},
                                       {p.disks.back().srcGuid, ""}};
  ASSERT_OK(db_.updateSrcPaths(paths));
  r = read(p.id);
  EXPECT_EQ(r.disks.front().srcPath, "/renamed");
  EXPECT_EQ(r.disks.back().srcPath, p.disks.back().srcPath);  // no path given: skipped
}

// Single properties are read, written and deleted; a set of them replaces
// the pair's whole set, without the server's time.
TEST_P(PairDbStateTest, PropertiesOneByOneAndAsAWholeSet) {
  BlrDB::Pair p = store(3, 1, 1);
  // A request for pair p, its body written by `body` and sent as is.
  auto dispatch = [&](const char* name, const std::function<void(DwEbmlWriter&)>& body,
                      BlrDBSvc::Map* resp) {
    BlrDBSvc::Map req{{"req", name}};
    DwEbmlBuffer buffer(256);
    DwEbmlWriter writer(buffer, 0);
    writer.writeNumTag(2, p.id);
    body(writer);
    blrSetBlob(req, writer.getBuffer(), writer.getSize());
    return svc_->dispatch(req, resp, "test", KRP_Cert());
  };
  std::string value = "x";
  ASSERT_OK(db_.getPairProp(p.id, "absent", &value));
  EXPECT_EQ(value, "");
  ASSERT_OK(db_.setPairProp(p.id, "a", "1"));
  ASSERT_OK(db_.setPairProp(p.id, "a", "2"));
  ASSERT_OK(db_.setPairProp(p.id, "empty", ""));
  ASSERT_OK(db_.getPairProp(p.id, "a", &value));
  EXPECT_EQ(value, "2");
  EXPECT_EQ(count("BlrPairProperties"), 2);

  BlrDBSvc::Map resp;
  auto nameOnly = [](DwEbmlWriter& w) { w.writeStrTag(20, "empty"); };
  EXPECT_THAT(dispatch("set_pair_prop", nameOnly, &resp).Summary(),
              HasSubstr("No property value passed to setPairProp() request"));

  ASSERT_OK(db_.setPairProp(p.id, "progress", "1"));
  BlrDB::PairProps settings;
  settings.recoveryMode = 2;
  settings.curAnchorTime = 5;
  ASSERT_OK(db_.setPairProps(p.id, settings));
  EXPECT_EQ(count("BlrPairProperties", "propertyName='progress'"), 0);
  EXPECT_EQ(count("BlrPairProperties", "propertyName='curAnchorTime'"), 0);
  EXPECT_EQ(count("BlrPairProperties"), 9);
  BlrDB::PairProps read;
  ASSERT_OK(db_.getPairProps(p.id, &read));
  EXPECT_EQ(read.recoveryMode, 2);
  EXPECT_EQ(read.curAnchorTime, kNow);
  std::map<std::string, std::string> props;
  ASSERT_OK(db_.getPairProps(p.id, &props));
  EXPECT_EQ(props.size(), 10u);

  // A set of nothing but the server's time is refused and changes nothing.
  EXPECT_THAT(dispatch("set_pair_props", [](DwEbmlWriter& w) {
                w.openContTag(19, 1 << 20);
                BlrPairPropMap(std::map<std::string, std::string>{{"curAnchorTime", "5"}})
                    .serialize(w);
                w.closeContTag();
              }, &resp).Summary(),
              HasSubstr("holds only curAnchorTime"));
  EXPECT_EQ(count("BlrPairProperties"), 9);
}

TEST_P(PairDbStateTest, StatisticsGoToTheHistoryDatabase) {
  BlrDB::PairStats s;
  s.pairId = 4;
  s.repSetSize = -5;
  s.iopsDelta = 1ll << 40;
  ASSERT_OK(db_.addPairStats(s));
  s.timeStamp = 12;
  ASSERT_OK(db_.addPairStats(s));
  EXPECT_EQ(sql("SELECT MAX(timeStamp) FROM BlrPairStats", "HistoryDB"), kNow);
  EXPECT_EQ(sql("SELECT MIN(timeStamp) FROM BlrPairStats", "HistoryDB"), 12);
  EXPECT_EQ(sql("SELECT MIN(repSetSize) FROM BlrPairStats", "HistoryDB"), -5);
  EXPECT_EQ(sql("SELECT MIN(iopsDelta) FROM BlrPairStats", "HistoryDB"), 1ll << 40);
}

TEST_P(PairDbStateTest, BootVMsAreListedOnceWithTheirDisks) {
  BlrDB::Pair p = store(3, 1, 1);
  int bare = 0, full = 0;
  BlrDB::BootVM incomplete = newBootVM(p.id, 2);
  incomplete.disks.back().snapId.clear();
  EXPECT_THAT(db_.addBootVM(incomplete, &bare).AsString(),
              HasSubstr("BlrBootVM must have snapId set for all disks"));
  ASSERT_OK(db_.addBootVM(newBootVM(p.id, 0), &bare));
  ASSERT_OK(db_.addBootVM(newBootVM(p.id, 3), &full));

  std::list<BlrDB::BootVM> vms;
  ASSERT_OK(db_.getBootVMsForPair(p.id, &vms));
  ASSERT_EQ(vms.size(), 2u);  // rows come in no fixed order
  if (vms.front().id == full) vms.reverse();
  EXPECT_TRUE(vms.front().disks.empty());
  ASSERT_EQ(vms.back().disks.size(), 3u);
  EXPECT_EQ(vms.back().disks.back().bootVmId, full);
  EXPECT_EQ(vms.back().seqNum, 1ull << 40);
  ASSERT_OK(db_.getBootVMsForTail(kTail, &vms));
  EXPECT_EQ(vms.size(), 2u);

  // Updates rewrite status always, other fields only when given; listed
  // disks are updated or added, unlisted ones stay.
  BlrDB::BootVM vm;
  ASSERT_OK(db_.getBootVM(full, &vm));
  vm.statusMessage = "";
  vm.statusCode = 3;
  vm.seqNum = 0;
  vm.disks.front().path = "/moved";
  vm.disks.pop_back();
  vm.disks.push_back(newBootVM(p.id, 4).disks.back());
  ASSERT_OK(db_.populateBootVM(vm));
  ASSERT_OK(db_.setBootVMStatus(bare, 5, "done", 9));
  BlrDB::BootVM read;
  ASSERT_OK(db_.getBootVM(full, &read));
  EXPECT_EQ(read.statusCode, 3);
  EXPECT_EQ(read.statusMessage, "");
  EXPECT_EQ(read.seqNum, 1ull << 40);
  ASSERT_EQ(read.disks.size(), 4u);
  EXPECT_EQ(std::count_if(read.disks.begin(), read.disks.end(),
                          [](const BlrDB::BootDisk& d) { return d.path == "/moved"; }),
            1);
  ASSERT_OK(db_.getBootVM(bare, &read));
  EXPECT_EQ(read.eventId, 9);
  EXPECT_EQ(read.pairId, p.id);

  ASSERT_OK(db_.delBootVM(full));
  EXPECT_EQ(count("BlrBootDisk"), 0);
  ASSERT_OK(db_.getBootVM(full, &read));
  EXPECT_EQ(read.id, 0);
}

BLR_SQL_BACKENDS(PairDbStateTest);

}  // namespace

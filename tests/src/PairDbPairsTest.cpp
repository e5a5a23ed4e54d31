// Pair queries, deletion and create-or-update, end to end through the link on
// both backends.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/EbmlTestUtil.h"
#include "support/PairDbTestEnv.h"
#include "host/config/DWPlatformInfo.h"
#include "host/net/DwHostName.h"

namespace {

using PairDbPairsTest = PairDbTest;

// A new pair takes the defaults; the same key sent again, under any id,
// updates it in place and reconciles its disks.
TEST_P(PairDbPairsTest, NewPairTakesDefaultsAndItsKeyUpdatesItInPlace) {
  BlrDB::Pair request = newPair(3, 1, 2);
  request.srcType = 0;
  request.dstType = 2;
  request.statusCode = 9;  // never taken from the request
  BlrDB::Pair stored = request;
  ASSERT_OK(db_.createOrUpdatePair(stored));
  ASSERT_EQ(stored.disks.size(), 2u);
  EXPECT_NE(stored.disks.front().id, 0);
  EXPECT_NE(stored.disks.front().id, stored.disks.back().id);
  // rpStoreId and lagTime are -1 in the request.
  EXPECT_EQ(std::vector<int>({stored.srcType, stored.dstType, stored.statusCode, stored.eventId,
                              stored.rpStoreId, stored.lagTime, stored.flags}),
            std::vector<int>({1, 2, 0, 0, 0, 0, 0}));
  EXPECT_EQ(stored.statusMessage, "");
  EXPECT_EQ(stored.tailHostName, MangleHostName("10.0.0.7", "tail1", 8406, 8407));
  EXPECT_EQ(read(stored.id), stored);

  BlrDB::Pair again = request;
  again.id = 777;  // identifiers in requests never address rows
  ASSERT_OK(db_.createOrUpdatePair(again));
  EXPECT_EQ(again, stored);
  EXPECT_EQ(count("BlrPair"), 1);
  EXPECT_EQ(count("BlrDisk"), 2);

  BlrDB::Pair update = newPair(3, 1, 3);  // D1, D2, D3; D2 dropped below
  update.disks.erase(std::next(update.disks.begin()));
  update.disks.front().dstPath = "/moved/d1";
  update.dstName = "renamed";
  update.rpStoreId = 4;
  update.flags = 8;  // never changed by an update
  ASSERT_OK(db_.createOrUpdatePair(update));
  EXPECT_EQ(update.id, stored.id);
  EXPECT_EQ(update.dstName, "renamed");
  EXPECT_EQ(update.rpStoreId, 4);
  EXPECT_EQ(update.flags, 0);
  ASSERT_EQ(update.disks.size(), 2u);
  EXPECT_EQ(update.disks.front().id, stored.disks.front().id);
  EXPECT_EQ(update.disks.front().dstPath, "/moved/d1");
  EXPECT_GT(update.disks.back().id, stored.disks.back().id);
  EXPECT_EQ(count("BlrDisk", "id=" + std::to_string(stored.disks.back().id)), 0);

  // rpStoreId and lagTime at -1 leave the stored values.
  BlrDB::Pair unset = newPair(3, 1, 1);
  ASSERT_OK(db_.createOrUpdatePair(unset));
  EXPECT_EQ(unset.rpStoreId, 4);
}

TEST_P(PairDbPairsTest, PairWhoseTailHasNoClientEntryIsRefusedAndNotStored) {
  BlrDB::Pair p = newPair(3, 1, 1);
  p.tailClientId = 99;
  for (int attempt = 0; attempt < 2; ++attempt)  // a retry adds nothing either
    EXPECT_THAT(db_.createOrUpdatePair(p).Summary(),
                HasSubstr("Tail client 99 has no client entry"));
  EXPECT_EQ(count("BlrPair") + count("BlrDisk"), 0);

  // A row stored without one anyway is never returned.
  sql("INSERT INTO BlrPair(subClientId, tailClientId, srcGuid) VALUES(3, 99, 'x')");
  const int id = static_cast<int>(sql("SELECT id FROM BlrPair"));
  sql("INSERT INTO BlrDisk(pairId, srcPath) VALUES(" + std::to_string(id) + ", '/d')");
  BlrDB::Pair read;
  read.tailHostName = "kept";
  ASSERT_OK(db_.getPair(id, &read));
  EXPECT_EQ(read.id, 0);
  EXPECT_EQ(read.tailHostName, "kept");
}

// (An IPv6 host survives the mangled name: DwHostName.RoundTripsAwkwardNames;
// a pair's Tail host name is its mangled name: NewPairTakesDefaults...)
TEST_P(PairDbPairsTest, ClientsWhoseMangledNameWouldBeAmbiguousAreRefused) {
  DWClientInfo c = tailClient();
  c.id = 21;
  for (const char* name : {"tail@1", "tail:1"}) {
    c.name = name;
    EXPECT_THAT(DWClientDirectory::add(c).Summary(), HasSubstr("its name holds '@' or ':'"));
  }
  c.name = "tail6";
  c.netHostName = "evil@10.0.0.1";
  EXPECT_THAT(DWClientDirectory::add(c).Summary(), HasSubstr("its host holds '@'"));
  EXPECT_EQ(count("APP_Client"), 1);
  c.netHostName = "fd00::7";  // an IPv6 host is read from the right
  EXPECT_OK(DWClientDirectory::add(c));
}

// A hostile name (PairDbTextsTest stores every text so) selects its pair
// exactly as a filter too.
TEST_P(PairDbPairsTest, FiltersSelectPairsMatchingAnyFilterOnce) {
  BlrDB::Pair a = newPair(3, 1, 3);
  a.srcName = std::string("x'; DELETE FROM BlrPair; -- a/*b*/c back\\slash'' \xff\xfe \xc3");
  ASSERT_OK(db_.createOrUpdatePair(a));
  BlrDB::Pair b = store(3, 2, 1);
  BlrDB::Pair c = store(4, 3, 2);
  db_.setPairFlags(b.id, 8 | 2);

  std::list<BlrDB::Pair> found;
  ASSERT_OK(db_.getPairs(3, &found));
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found.front().disks.size(), 3u);

  ASSERT_OK(db_.getPairs(c.srcGuid, &found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.front().id, c.id);

  BlrDB::Pair byFlags, byName;
  byFlags.flags = 8;
  byName.srcName = a.srcName;
  byName.subClientId = 3;
  ASSERT_OK(db_.getPairs(std::list<BlrDB::Pair>{byFlags, byName, byFlags}, &found));
  ASSERT_EQ(found.size(), 2u);
  ASSERT_OK(db_.getPairs(byName, &found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.front().id, a.id);

  BlrDB::Pair byStore;
  byStore.rpStoreId = 0;  // every pair is in store 0
  ASSERT_OK(db_.getPairs(byStore, &found));
  ASSERT_EQ(found.size(), 3u);
  // 3, 1 and 2 disks in one answer: no pair keeps disks of the one before.
  auto it = found.begin();
  for (const BlrDB::Pair* stored : {&a, &b, &c}) {
    EXPECT_EQ(it->id, stored->id);
    EXPECT_EQ(it->disks, stored->disks);
    EXPECT_EQ(it->tailHostName, a.tailHostName);
    ++it;
  }
  ASSERT_OK(db_.getPairs(BlrDB::Pair(), &found));
  EXPECT_EQ(found.size(), 3u);

  BlrDB::Pair missing;
  missing.subClientId = 42;
  found.push_back(a);
  ASSERT_OK(db_.getPairs(missing, &found));
  EXPECT_TRUE(found.empty());
}

TEST_P(PairDbPairsTest, DeletingRemovesDisksAndPropertiesButKeepsBootVMs) {
  BlrDB::Pair a = store(3, 1, 2);
  BlrDB::Pair b = store(3, 2, 1);
  ASSERT_OK(db_.setPairProp(a.id, "x", "1"));
  ASSERT_OK(db_.setPairProp(b.id, "x", "1"));
  sql("INSERT INTO BlrBootVM(pairId) VALUES(" + std::to_string(a.id) + ")");

  ASSERT_OK(db_.delPair(a.id));
  EXPECT_EQ(count("BlrPair"), 1);
  EXPECT_EQ(count("BlrDisk"), 1);
  EXPECT_EQ(count("BlrPairProperties"), 1);
  EXPECT_EQ(count("BlrBootVM"), 1);

  // No identifiers, and filters without a field, delete nothing.
  ASSERT_OK(db_.delPairs(std::list<int>()));
  EXPECT_THAT(db_.delPairs(BlrDB::Pair()).AsString(),
              HasSubstr("No filter of the del_pairs request sets a field"));
  EXPECT_EQ(count("BlrPair"), 1);

  ASSERT_OK(db_.delPairs(3));
  EXPECT_EQ(count("BlrPair"), 0);
  EXPECT_EQ(count("BlrDisk"), 0);
  EXPECT_EQ(count("BlrPairProperties"), 0);
}

// Clients at once each store and read back pairs of their own, race to
// create one shared new pair, and set flags and properties of it (odd ones
// clear their flag again): write transactions are serialised on both
// backends, so it is stored once, every client reads back the same pair, and
// no change is lost.
TEST_P(PairDbPairsTest, ConcurrentClientsCreatePairsAndRaceForOne) {
  const int kThreads = 8, kPairsEach = 6;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0), shared(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures, &shared] {
      BlrDB db;
      BlrDB::Pair one = newPair(77, 4242, 2);
      if (!db.createOrUpdatePair(one).IsError()) shared[t] = one.id;
      for (int i = 0; i < kPairsEach; ++i) {
        BlrDB::Pair p = newPair(100 + t, t * 1000 + i + 1, 2);
        BlrDB::Pair read;
        if (db.createOrUpdatePair(p).IsError() || db.getPair(p.id, &read).IsError() ||
            read != p)
          ++failures[t];
        failures[t] += db.setPairFlags(one.id, 1 << t).IsError();
        failures[t] +=
            db.setPairProp(one.id, "thread" + std::to_string(t), std::to_string(i)).IsError();
        if (t % 2 == 1) failures[t] += db.clrPairFlags(one.id, 1 << t).IsError();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[t], 0) << "thread " << t;
    EXPECT_EQ(shared[t], shared[0]) << "thread " << t;
  }
  EXPECT_NE(shared[0], 0);
  EXPECT_EQ(count("BlrPair"), kThreads * kPairsEach + 1);
  EXPECT_EQ(count("BlrDisk"), 2 * (kThreads * kPairsEach + 1));
  EXPECT_EQ(read(shared[0]).flags, 0x01 | 0x04 | 0x10 | 0x40);  // even threads' bits kept
  std::map<std::string, std::string> props;
  ASSERT_OK(db_.getPairProps(shared[0], &props));
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(props["thread" + std::to_string(t)], std::to_string(kPairsEach - 1));
}

// The same key updates, as createOrUpdatePair does, and the defaults of the
// one-pair form apply; a refusal or a failure half-way stores none.
TEST_P(PairDbPairsTest, BulkCreationStoresEveryPairInOrderOrNone) {
  std::list<BlrDB::Pair> pairs;
  for (int seed = 1; seed <= 5; ++seed) pairs.push_back(newPair(3, seed, 2));
  std::next(pairs.begin(), 3)->disks.back().srcPath.clear();
  CZuError err = db_.createPairs(pairs);
  EXPECT_THAT(err.AsString(), HasSubstr("BlrPair must have srcPath set for all disks"));
  EXPECT_THAT(err.AsString(), HasSubstr("pair 4 of 5"));
  EXPECT_EQ(pairs.front().id, 0);  // ids stay as they were on failure
  EXPECT_EQ(count("BlrPair") + count("BlrDisk"), 0);
  std::list<BlrDB::Pair> none;
  EXPECT_THAT(db_.createPairs(none).AsString(), HasSubstr("holds no pair"));

  const BlrDB::Pair existing = store(3, 2, 1);
  pairs.clear();
  for (int seed : {1, 2, 3}) pairs.push_back(newPair(3, seed, 3));
  pairs.back().srcType = 0;
  ASSERT_OK(db_.createPairs(pairs));
  std::vector<int> ids;
  for (const BlrDB::Pair& p : pairs) {
    ids.push_back(p.id);
    EXPECT_EQ(read(p.id).disks, p.disks) << "pair " << p.id;
  }
  EXPECT_GT(ids[0], 0);
  EXPECT_EQ(ids[1], existing.id);
  EXPECT_GT(ids[2], ids[0]);
  EXPECT_EQ(read(ids[2]).srcType, 1);
  EXPECT_EQ(count("BlrPair"), 3);
  EXPECT_EQ(count("BlrDisk"), 9);
}

// Which changes the record of answers keeps (a resent change is answered
// from it: PairDbRequestTableTest), and for how long.
TEST_P(PairDbPairsTest, RepeatedRequestIdsAreAnsweredFromTheRecord) {
  KRP_Cert cert;
  cert.clientName = "job1";
  auto send = [&](const std::string& name, const std::vector<char>& body, const std::string& rid) {
    BlrDBSvc::Map req{{"req", name}}, resp;
    blrSetBlob(req, body);
    if (!rid.empty()) req["rid"] = rid;
    svc_->answer(req, &resp, cert.clientName, cert);
    return resp;
  };
  const std::vector<char> two = BlrDB::encodePairs({newPair(3, 1, 2), newPair(3, 2, 1)});
  ASSERT_EQ(send("create_pairs", two, "r-1").count("error"), 0u);
  EXPECT_EQ(send("create_pairs", two, "").count("error"), 0u);  // without an id: applied
  EXPECT_EQ(count("BlrPair"), 2);
  EXPECT_EQ(send("create_or_update_pair", {}, "c-1").count("error"), 1u);
  EXPECT_EQ(count("BlrRequestLog", "requestId='c-1'"), 0);  // refusals are not recorded
  EXPECT_THAT(send("create_pairs", two, "bad id;--")["error"], HasSubstr("Bad request id"));

  std::list<BlrDB::Pair> stored;
  ASSERT_OK(db_.getPairs(3, &stored));
  const int pairId = stored.front().id;

  // Twins at once (a resend racing the first try on another server) are
  // applied once and get the same answer.
  const std::vector<char> twinBody = ebmltest::encode(newPair(5, 9, 1));
  const long long beforeTwins = count("APP_Event");
  BlrDBSvc::Map answers[2];
  std::thread other([&] { answers[1] = send("create_or_update_pair", twinBody, "twin-1"); });
  answers[0] = send("create_or_update_pair", twinBody, "twin-1");
  other.join();
  EXPECT_EQ(answers[0].count("error"), 0u) << answers[0]["error"];
  EXPECT_EQ(answers[0], answers[1]);
  EXPECT_EQ(count("APP_Event"), beforeTwins + 1);

  // Bounded by count, then by age; every change through BlrDB carries an id.
  // The record is looked at by the next change, then every 256 changes: it
  // may grow 255 past its bound, never more.
  DWPlatformInfo::setNumber("Database", "nRequestLogMax", 3);
  DWPlatformInfo::setNumber("Database", "nRequestLogSecs", 60);
  ASSERT_OK(db_.setPairProp(pairId, "p", "v"));
  EXPECT_EQ(count("BlrRequestLog"), 3);
  for (int i = 0; i < 256; ++i) {
    ASSERT_OK(db_.setPairProp(pairId, "p" + std::to_string(i % 8), "v"));
    if (i == 254) {
      EXPECT_EQ(count("BlrRequestLog"), 3 + 255);
    }
  }
  EXPECT_EQ(count("BlrRequestLog"), 3);
  EXPECT_EQ(count("BlrRequestLog", "requestId='r-1'"), 0);
  clock_.advance(61);
  ASSERT_OK(db_.setPairProp(pairId, "late", "v"));
  EXPECT_EQ(count("BlrRequestLog"), 1);
  BlrDB::PairStats point;
  point.pairId = pairId;
  const long long history = sql("SELECT COUNT(*) FROM BlrRequestLog", "HistoryDB");
  ASSERT_OK(db_.addPairStats(point));
  // The record of statistics lives with them (one schema for both on the test server).
  EXPECT_EQ(sql("SELECT COUNT(*) FROM BlrRequestLog", "HistoryDB"), history + 1);
}

BLR_SQL_BACKENDS(PairDbPairsTest);

}  // namespace

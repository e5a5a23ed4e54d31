#include <random>
#include <string>
#include <vector>

#include "BLR/BlrDB.h"
#include "support/EbmlTestUtil.h"
#include "support/Check.h"

namespace {

using ebmltest::bytes;
using ebmltest::decode;
using ebmltest::encode;
using ebmltest::hex;

std::string randomText(std::mt19937& rng) {
  std::string text(rng() % 40, ' ');
  for (char& c : text) c = static_cast<char>(1 + rng() % 255);  // anything but NUL
  return text;
}

BlrUUID randomUUID(std::mt19937& rng) {
  unsigned char raw[16];
  for (auto& b : raw) b = static_cast<unsigned char>(rng());
  return BlrUUID(raw);
}

int32_t randomInt(std::mt19937& rng) { return static_cast<int32_t>(rng()) >> (rng() % 32); }

BlrDB::Disk randomDisk(std::mt19937& rng) {
  BlrDB::Disk d;
  for (int32_t* f : {&d.id, &d.statusCode}) *f = randomInt(rng);
  for (std::string* f : {&d.srcPath, &d.dstPath, &d.statusMessage}) *f = randomText(rng);
  for (BlrUUID* f : {&d.srcGuid, &d.dstGuid}) *f = randomUUID(rng);
  return d;
}

BlrDB::Pair randomPair(std::mt19937& rng) {
  BlrDB::Pair p;
  for (int32_t* f : {&p.id, &p.subClientId, &p.dstClientId, &p.headClientId, &p.tailClientId,
                     &p.srcType, &p.dstType, &p.statusCode, &p.pendingStatusCode, &p.eventId,
                     &p.rpStoreId, &p.lagTime, &p.flags})
    *f = randomInt(rng);
  for (std::string* f : {&p.srcName, &p.dstName, &p.statusMessage, &p.tailHostName})
    *f = randomText(rng);
  for (BlrUUID* f : {&p.srcGuid, &p.dstGuid}) *f = randomUUID(rng);
  for (unsigned n = rng() % 5; n > 0; --n) p.disks.push_back(randomDisk(rng));
  return p;
}

const std::string kZeroUUID = "90 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
const std::string kMinusOne = "88 FF FF FF FF FF FF FF FF";

// The bytes of records left at their defaults; a pair's decode back to "not
// given" (-1) where the wire says so.
TEST(BlrDBRecords, DefaultEncodingsAreExact) {
  const std::string pair = "81 81 00 8C 81 00 8D 81 00 8E 81 00 8F 81 00 A8 81 00 A9 81 00 83 81 00 86 81 00 85 " +
                           kZeroUUID + " 88 " + kZeroUUID + " 89 " + kMinusOne + " A7 " + kMinusOne +
                           " 8A 81 00 96 " + kMinusOne + " 97 " + kMinusOne + " A5 " + kMinusOne + " A6 " +
                           kMinusOne + " 92 81 00";
  EXPECT_EQ(hex(encode(BlrDB::Pair())), pair);
  EXPECT_EQ(decode<BlrDB::Pair>(encode(BlrDB::Pair())), BlrDB::Pair());
  EXPECT_EQ(hex(encode(BlrDB::Disk())),
            "81 81 00 84 81 00 87 81 00 85 " + kZeroUUID + " 88 " + kZeroUUID + " 89 81 00 8A 81 00");
  EXPECT_EQ(hex(encode(BlrDB::BootVM())), "81 81 00 A4 81 00 82 81 00 9D 81 00 9A " + kZeroUUID +
                                              " 9E 81 00 9F 81 00 A0 81 00 A1 81 00 89 81 00 8A 81 00 "
                                              "96 81 00 AA 81 00");
  EXPECT_EQ(decode<BlrDB::BootVM>(encode(BlrDB::BootVM())), BlrDB::BootVM());
  BlrDB::BootVM vm;
  vm.seqNum = UINT64_MAX;
  vm.disks.resize(2);
  EXPECT_NE(hex(encode(vm)).find("A1 " + kMinusOne), std::string::npos);
  EXPECT_NE(hex(encode(vm)).find("AA 81 00 A3"), std::string::npos);  // containers follow tag 42
  BlrDB::PairStats stats;
  stats.repSetSize = -2;
  stats.pairId = 3;
  EXPECT_EQ(hex(encode(stats)),
            "AB 81 00 AC 81 00 AD 81 00 B2 81 00 AE 88 FF FF FF FF FF FF FF FE AF 81 00 "
            "B0 81 00 B1 81 00 82 81 03");
}

// Clearing, and reading an empty blob or one without tag 18, keep the Tail's
// host name.
TEST(BlrDBPair, EmptyBlobsGiveClearedRecordsButTheTailHostNameStays) {
  std::mt19937 rng(3);
  BlrDB::Pair pair = randomPair(rng);
  ASSERT_OK(pair.unserialize(nullptr, 0));
  BlrDB::Pair cleared;
  cleared.tailHostName = pair.tailHostName;
  EXPECT_EQ(pair, cleared);

  BlrDB::Pair withoutHost;
  withoutHost.id = 4;
  std::vector<char> blob = encode(withoutHost);
  blob.resize(blob.size() - 3);  // drop tag 18
  ASSERT_OK(pair.unserialize(blob.data(), static_cast<int>(blob.size())));
  EXPECT_EQ(pair.id, 4);
  EXPECT_EQ(pair.tailHostName, cleared.tailHostName);

  BlrDB::BootVM vm;
  vm.id = 5;
  vm.name = "boot";
  vm.disks.resize(2);
  ASSERT_OK(vm.unserialize("", 0));
  EXPECT_EQ(vm, BlrDB::BootVM());
  BlrDB::PairList list;
  list.push_back(BlrDB::Pair());
  ASSERT_OK(list.unserialize(nullptr, 0));
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(encode(list).empty());
}

TEST(BlrDBPair, UnknownTagsAndUnreadablePayloadsAreIgnored) {
  // tag 2 and tag 16 are not pair fields; tag 9 has a 9-byte number; tag 40
  // has a 9-byte number (reads as none); tag 3 lacks its NUL; then id 7.
  const std::vector<uint8_t> blob = bytes(
      "82 81 05 90 82 61 00 89 89 01 01 01 01 01 01 01 01 01 A8 89 00 00 00 00 00 00 00 00 02 "
      "83 82 61 62 81 81 07");
  BlrDB::Pair pair;
  pair.srcType = 2;
  ASSERT_OK(pair.unserialize(blob.data(), static_cast<int>(blob.size())));
  BlrDB::Pair expected;
  expected.id = 7;
  EXPECT_EQ(pair, expected);
}

TEST(BlrDBPair, TruncatedDataKeepsWhatWasReadAndNeverFails) {
  std::mt19937 rng(11);
  BlrDB::PairList list;
  for (int i = 0; i < 3; ++i) list.push_back(randomPair(rng));
  const std::vector<char> blob = encode(list);
  for (size_t cut = 0; cut <= blob.size(); ++cut) {
    const std::vector<char> prefix(blob.begin(), blob.begin() + cut);
    BlrDB::PairList decoded;
    EXPECT_OK(decoded.unserialize(prefix.data(), static_cast<int>(cut))) << cut;
    EXPECT_LE(decoded.size(), list.size());
    BlrDB::Pair pair;
    EXPECT_OK(pair.unserialize(prefix.data(), static_cast<int>(cut))) << cut;
  }
}

TEST(BlrDBPair, AFailingDiskIsReportedAndEarlierRecordsKept) {
  // Pair 1 is fine; pair 2 has id 8 and a disk whose content ends mid-header.
  const std::vector<uint8_t> blob = bytes("91 83 81 81 05 91 87 81 81 08 8B 82 81 40 91 83 81 81 06");
  BlrDB::PairList list;
  CZuError err = list.unserialize(blob.data(), static_cast<int>(blob.size()));
  EXPECT_EQ(FXErrorUtil::GetInt(err), 100);
  EXPECT_NE(err.AsString().find("BlrDBRecords"), std::string::npos);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list.front().id, 5);

  BlrDB::Pair pair;
  err = pair.unserialize(blob.data() + 7, 7);
  EXPECT_EQ(FXErrorUtil::GetInt(err), 100);
  EXPECT_EQ(pair.id, 8);
  EXPECT_TRUE(pair.disks.empty());

  std::mt19937 rng(1);
  BlrDB::Disk disk = randomDisk(rng);
  const BlrDB::Disk before = disk;
  EXPECT_TRUE(disk.unserialize(blob.data() + 12, 2).IsError());
  EXPECT_EQ(disk, before);  // unchanged on failure
}

TEST(BlrDBPair, ReverseSwapsDirectionAndResetsState) {
  std::mt19937 rng(8);
  BlrDB::Pair pair = randomPair(rng);
  pair.id = 12;
  pair.statusCode = 5;
  pair.flags = 0x7;
  pair.srcType = 7;
  pair.dstType = 2;
  pair.subClientId = 1, pair.dstClientId = 2, pair.headClientId = 3, pair.tailClientId = 4;
  pair.disks.push_back(randomDisk(rng));

  const BlrDB::Pair r = pair.reverse();
  EXPECT_EQ(std::vector<int>({r.id, r.statusCode, r.lagTime, r.flags, r.dstType, r.srcType}),
            std::vector<int>({0, -1, -1, 32, 0, 2}));
  EXPECT_EQ(r.srcName, pair.dstName);
  EXPECT_EQ(r.dstGuid, pair.srcGuid);
  EXPECT_TRUE(r.statusMessage.empty());
  EXPECT_TRUE(r.tailHostName.empty());
  ASSERT_EQ(r.disks.size(), pair.disks.size());
  const BlrDB::Disk& d = r.disks.back();
  EXPECT_EQ(d.srcPath, pair.disks.back().dstPath);
  EXPECT_EQ(d.dstGuid, pair.disks.back().srcGuid);
  EXPECT_EQ(std::make_pair(d.id, d.statusCode), std::make_pair(0, 0));

  const BlrDB::Pair twice = r.reverse();
  EXPECT_EQ(std::vector<int>({twice.subClientId, twice.dstClientId, twice.headClientId,
                              twice.tailClientId}),
            std::vector<int>({1, 4, 3, 4}));
  EXPECT_EQ(twice.flags, 32);
  EXPECT_EQ(twice.srcName, pair.srcName);
}

// Stored texts are read leniently: the leading number, or the default.
TEST(BlrDBPairProps, TextConversions) {
  BlrDB::PairProps props;
  props.recoveryMode = 99;
  props.fromMap({});
  EXPECT_EQ(props.toMap(), BlrDB::PairProps().toMap());
  props.fromMap({{"useOffPeakSchedule", "0"}, {"unrelated", "5"}});
  EXPECT_FALSE(props.useOffPeakSchedule);
  EXPECT_EQ(props.ccrpInterval, 15);
  props.fromMap({{"acrpInterval", "12abc"}, {"recoveryMode", "x"}, {"rpRetention", " -7"},
                 {"curAnchorTime", "-1700000000000"}});
  EXPECT_EQ(props.acrpInterval, 12);
  EXPECT_EQ(props.recoveryMode, 0);
  EXPECT_EQ(props.curAnchorTime, -1700000000000);
  EXPECT_EQ(props.toMap()["rpRetention"], "-7");
}

TEST(BlrPairPropMap, KeyOrderAndLastValueWins) {
  BlrPairPropMap map;
  map["b"] = "2";
  map["a"] = "1";
  EXPECT_EQ(hex(encode(map)), "94 82 61 00 95 82 31 00 94 82 62 00 95 82 32 00");
  EXPECT_EQ(decode<BlrPairPropMap>(encode(map)), map);

  // name a, values 1 and 2; then a value before any other name is kept under a
  // again; a trailing name alone adds nothing.
  BlrPairPropMap decoded = decode<BlrPairPropMap>(
      std::vector<char>{'\x94', '\x82', 'a', 0, '\x95', '\x82', '1', 0, '\x95', '\x82', '2', 0,
                        '\x94', '\x82', 'z', 0});
  EXPECT_EQ(decoded, BlrPairPropMap(std::map<std::string, std::string>{{"a", "2"}}));
  decoded = decode<BlrPairPropMap>(std::vector<char>{'\x95', '\x82', 'v', 0});
  EXPECT_EQ(decoded, BlrPairPropMap(std::map<std::string, std::string>{{"", "v"}}));
}

TEST(BlrBlob, HexInAndOut) {
  std::map<std::string, std::string> map;
  blrSetBlob(map, nullptr, 0);
  EXPECT_EQ(map.at("blob"), "");
  blrSetBlob(map, std::vector<char>{'\x0a', '\x1b', '\xff'});
  EXPECT_EQ(map.at("blob"), "0a1bff");
  EXPECT_EQ(blrGetBlob(map), (std::vector<char>{'\x0a', '\x1b', '\xff'}));

  EXPECT_TRUE(blrGetBlob({}).empty());
  EXPECT_EQ(blrGetBlob({{"blob", "0A1b"}}), (std::vector<char>{'\x0a', '\x1b'}));
  EXPECT_EQ(blrGetBlob({{"blob", "0a1"}}), std::vector<char>(1, 0));
  EXPECT_EQ(blrGetBlob({{"blob", "zz41"}}), (std::vector<char>{0, 'A'}));
}

TEST(BlrDBBootVM, UnreadableTimesBecomeZeroAndBadDisksFail) {
  // creationTime with a 9-byte payload, then a disk with a 3-byte identifier.
  const std::vector<uint8_t> blob =
      bytes("9E 89 01 01 01 01 01 01 01 01 01 81 81 05 A3 85 9A 83 01 02 03");
  BlrDB::BootVM vm;
  vm.creationTime = 77;
  CZuError err = vm.unserialize(blob.data(), static_cast<int>(blob.size()));
  EXPECT_EQ(FXErrorUtil::GetInt(err), 1);
  EXPECT_EQ(vm.creationTime, 0u);
  EXPECT_EQ(vm.id, 5);
  EXPECT_TRUE(vm.disks.empty());
}

}  // namespace

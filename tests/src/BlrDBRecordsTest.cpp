#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "BLR/BlrDB.h"
#include "BLR/BlrPlanDB.h"
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

// Hex with runs of four or more equal bytes written "XX*n", so that texts at
// their stored widths fit in a golden string.
std::string squeeze(const std::string& spaced) {
  std::vector<std::string> in;
  std::istringstream words(spaced);
  for (std::string b; words >> b;) in.push_back(b);
  std::string out;
  for (size_t i = 0, n; i < in.size(); i += n) {
    for (n = 1; i + n < in.size() && in[i + n] == in[i];) ++n;
    if (n >= 4) out += " " + in[i] + "*" + std::to_string(n);
    for (size_t k = 0; n < 4 && k < n; ++k) out += " " + in[i];
  }
  return out.empty() ? out : out.substr(1);
}

BlrUUID countingUUID(unsigned char first) {
  unsigned char raw[16];
  for (auto& b : raw) b = first++;
  return BlrUUID(raw);
}

// Every field set, with negative and widest numbers, texts at their stored
// widths and nested lists that hold a default record first.
BlrDB::Pair fullPair() {
  BlrDB::Pair p;
  p.id = 7, p.subClientId = 1, p.dstClientId = 2, p.headClientId = 3, p.tailClientId = -4;
  p.srcType = 1, p.dstType = 2, p.statusCode = INT32_MAX, p.pendingStatusCode = INT32_MIN;
  p.eventId = -1, p.rpStoreId = 0, p.lagTime = 300, p.flags = 0x20;
  p.srcName = std::string(128, 'x'), p.dstName = "d", p.srcGuid = countingUUID(1);
  p.statusMessage = std::string(256, 'm'), p.tailHostName = "tail";
  p.disks.resize(2);
  BlrDB::Disk& d = p.disks.back();
  d.id = 9, d.srcPath = std::string(1024, 'p'), d.dstPath = "q", d.srcGuid = countingUUID(0x11);
  d.dstGuid = countingUUID(0xF8), d.statusCode = -2;
  return p;
}

BlrDB::BootVM fullBootVM() {
  BlrDB::BootVM vm;
  vm.id = 1, vm.bootType = 2, vm.pairId = 3, vm.name = "vm", vm.uuid = countingUUID(0x21);
  vm.creationTime = UINT64_MAX, vm.deletionTime = 1, vm.bestBefore = 0x100;
  vm.seqNum = uint64_t{1} << 40, vm.statusCode = -1, vm.statusMessage = std::string(1024, 'b');
  vm.eventId = 5, vm.jobId = 6;
  vm.disks.resize(2);
  BlrDB::BootDisk& d = vm.disks.back();
  d.id = 1, d.origDiskId = 2, d.bootVmId = -3, d.uuid = countingUUID(0x31);
  d.path = std::string(1024, 'c'), d.snapId = std::string(64, 's');
  return vm;
}

BlrPlanDB::Plan fullPlan() {
  BlrPlanDB::Plan plan;
  plan.id = 4, plan.name = std::string(127, 'n'), plan.healthTimeoutSecs = -1;
  plan.created = UINT64_MAX, plan.modified = 2;
  plan.groups.resize(2);
  plan.groups.back().parallelism = 2;
  plan.groups.back().members.resize(2);
  plan.groups.back().members.back().pairId = -2;
  plan.groups.back().members.back().options = 7;
  return plan;
}

BlrPlanDB::Run fullRun() {
  BlrPlanDB::Run run;
  run.id = 1, run.planId = 4, run.planName = "p", run.workflow = std::string(63, 'w');
  run.startTime = 10, run.state = "done";
  run.pairs.resize(2);
  BlrPlanDB::RunPair& p = run.pairs.back();
  p.pairId = 1, p.groupNo = 2, p.outcome = "failed", p.startTime = 3, p.endTime = UINT64_MAX;
  p.seqNum = 5, p.lagAtStart = -6, p.exitCode = -7;
  p.error = std::string(1023, 'e'), p.steps = std::string(16383, 's');
  return run;
}

// The bytes of every record kind, pinned: tags, their order, number widths,
// empty texts and containers are all written.
TEST(BlrDBRecords, EncodingsAreExact) {
  BlrDB::PairStats stats;
  stats.repDataDeltaActual = INT64_MIN, stats.repDataDeltaComp = INT64_MAX, stats.ioDelta = -1;
  stats.iopsDelta = 1, stats.sizeInRpStore = int64_t{1} << 32, stats.timeStamp = 1700000000000;
  stats.retention = -1, stats.pairId = 3;
  const std::pair<std::vector<char>, std::string> cases[] = {
      {encode(fullPair()),
       "81 81 07 8C 81 01 8D 81 02 8E 81 03 8F 88 FF*7 FC A8 81 01 A9 81 02 83 40 81 78*128 00 86 "
       "82 64 00 85 90 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 88 90 00*16 89 84 7F FF FF "
       "FF A7 88 FF*4 80 00 00 00 8A 41 01 6D*256 00 96 88 FF*8 97 81 00 A5 82 01 2C A6 81 20 8B "
       "20 00 33 81 81 00 84 81 00 87 81 00 85 90 00*16 88 90 00*16 89 81 00 8A 81 00 8B 20 04 3C "
       "81 81 09 84 44 01 70*1024 00 87 82 71 00 85 90 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E "
       "1F 20 88 90 F8 F9 FA FB FC FD FE FF 00 01 02 03 04 05 06 07 89 88 FF*7 FE 8A 81 00 92 85 "
       "74 61 69 6C 00"},
      {BlrDB::encodePairs({BlrDB::Pair()}),
       "91 20 00 81 81 81 00 8C 81 00 8D 81 00 8E 81 00 8F 81 00 A8 81 00 A9 81 00 83 81 00 86 "
       "81 00 85 90 00*16 88 90 00*16 89 88 FF*8 A7 88 FF*8 8A 81 00 96 88 FF*8 97 88 FF*8 A5 88 "
       "FF*8 A6 88 FF*8 92 81 00"},
      {encode(fullBootVM()),
       "81 81 01 A4 81 02 82 81 03 9D 83 76 6D 00 9A 90 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D "
       "2E 2F 30 9E 88 FF*8 9F 81 01 A0 82 01 00 A1 86 01 00*5 89 88 FF*8 8A 44 01 62*1024 00 96 "
       "81 05 AA 81 06 A3 20 00 21 81 81 00 98 81 00 99 81 00 9A 90 00*16 9B 81 00 9C 81 00 A3 "
       "20 04 69 81 81 01 98 81 02 99 88 FF*7 FD 9A 90 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E "
       "3F 40 9B 44 01 63*1024 00 9C C1 73*64 00"},
      {encode(stats),
       "AB 88 80 00*7 AC 88 7F FF*7 AD 88 FF*8 B2 81 01 AE 81 00 AF 85 01 00*4 B0 86 01 8B CF E5 "
       "68 00 B1 88 FF*8 82 81 03"},
      {BlrPlanDB::encodePlans({BlrPlanDB::Plan(), fullPlan()}),
       "B3 20 00 15 81 81 00 9D 81 00 B8 81 00 CD 81 00 CE 81 00 9E 81 00 B9 81 00 B3 20 00 CC "
       "81 81 04 9D 40 80 6E*127 00 B8 88 FF*8 CD 81 00 CE 81 00 9E 88 FF*8 B9 81 02 B4 20 00 "
       "03 B6 81 00 B4 20 00 1E B6 81 02 B5 20 00 06 82 81 00 B7 81 00 B5 20 00 0D 82 88 FF*7 "
       "FE B7 81 07"},
      {BlrPlanDB::encodeRuns({BlrPlanDB::Run(), fullRun()}),
       "BA 20 00 2D 81 81 00 C3 81 00 9D 81 00 BC 81 00 BD 81 00 9E 81 00 BE 81 00 BF 81 00 82 "
       "81 00 C4 81 00 C5 81 00 C6 81 00 C7 81 00 C8 81 00 C9 81 00 BA 20 44 D1 81 81 01 C3 81 "
       "04 9D 82 70 00 BC C0 77*63 00 BD 81 00 9E 81 0A BE 81 00 BF 85 64 6F 6E 65 00 BB 20 00 "
       "1E 82 81 00 C0 81 00 BF 81 00 9E 81 00 BE 81 00 A1 81 00 A5 81 00 C1 81 00 8A 81 00 C2 "
       "81 00 BB 20 44 3A 82 81 01 C0 81 02 BF 87 66 61 69 6C 65 64 00 9E 81 03 BE 88 FF*8 A1 "
       "81 05 A5 88 FF*7 FA C1 88 FF*7 F9 8A 44 00 65*1023 00 C2 20 40 00 73*16383 00 82 81 00 "
       "C4 81 00 C5 81 00 C6 81 00 C7 81 00 C8 81 00 C9 81 00"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    EXPECT_EQ(squeeze(hex(cases[i].first)), cases[i].second) << "case " << i;
}

// `in` decoded into `record`: the failure code (0: none) and the record's
// bytes after, squeezed.
template <class Record>
std::string decodeResult(const std::string& in, Record record) {
  const std::vector<uint8_t> blob = bytes(in);
  CZuError err = record.unserialize(blob.data(), static_cast<int>(blob.size()));
  return std::to_string(FXErrorUtil::GetInt(err)) + ": " + squeeze(hex(encode(record)));
}

// Disks and boot disks are read strictly and whole; the other records keep
// what they could read.  `nine` is a number payload too long to read.
TEST(BlrDBRecords, DecodingFixedBytes) {
  const std::string nine = "89 01 01 01 01 01 01 01 01 01";
  BlrDB::Disk disk;
  disk.id = 3;
  const std::string kept = squeeze(hex(encode(disk)));
  const std::pair<std::string, std::string> diskCases[] = {
      {"", "0: 81 81 00 84 81 00 87 81 00 85 90 00*16 88 90 00*16 89 81 00 8A 81 00"},
      // repeated id: the last wins; unknown tag 48 skipped
      {"81 81 05 81 82 00 06 B0 81 01 84 82 61 00",
       "0: 81 81 06 84 82 61 00 87 81 00 85 90 00*16 88 90 00*16 89 81 00 8A 81 00"},
      {"81 " + nine, "101: " + kept},
      {"84 81 61", "101: " + kept},  // no NUL
      {"85 83 01 02 03", "1: " + kept},
      {"81 81", "100: " + kept},
  };
  for (const auto& c : diskCases) EXPECT_EQ(decodeResult(c.first, disk), c.second) << c.first;

  BlrDB::Pair pair;
  pair.srcType = 2;
  pair.tailHostName = "kept";
  BlrDB::BootVM vm;
  vm.creationTime = 77;
  BlrPlanDB::Plan plan;
  plan.name = "gone";
  BlrDB::Pair cleared;  // an empty blob clears all but the Tail's host name
  cleared.tailHostName = pair.tailHostName;
  const std::pair<std::string, std::string> cases[] = {
      {decodeResult("", pair), "0: " + squeeze(hex(encode(cleared)))},
      // tag 2 and tag 16 are not pair fields; tag 9 and the second tag 40 have
      // 9-byte numbers (the first keeps its value, the second reads as none);
      // tag 5 has 3 bytes; tag 3 lacks its NUL; then id 7 and a corrupt header.
      {decodeResult("82 81 05 90 82 61 00 89 81 03 89 " + nine + " A8 81 01 A8 " + nine +
                        " 85 83 01 02 03 83 82 61 62 81 81 07 00 81 81 09",
                    pair),
       "0: 81 81 07 8C 81 00 8D 81 00 8E 81 00 8F 81 00 A8 81 00 A9 81 00 83 81 00 86 81 00 85 "
       "90 00*16 88 90 00*16 89 81 03 A7 88 FF*8 8A 81 00 96 88 FF*8 97 88 FF*8 A5 88 FF*8 A6 88 "
       "FF*8 92 85 6B 65 70 74 00"},
      // a disk whose content ends mid-header: the pairs before it are kept
      {decodeResult("91 83 81 81 05 91 87 81 81 08 8B 82 81 40 91 83 81 81 06", BlrDB::PairList()),
       "100: 91 20 00 81 81 81 05 8C 81 00 8D 81 00 8E 81 00 8F 81 00 A8 81 00 A9 81 00 83 81 00 "
       "86 81 00 85 90 00*16 88 90 00*16 89 88 FF*8 A7 88 FF*8 8A 81 00 96 88 FF*8 97 88 FF*8 A5 "
       "88 FF*8 A6 88 FF*8 92 81 00"},
      // a disk with a 3-byte identifier
      {decodeResult("81 81 05 A3 85 9A 83 01 02 03", vm),
       "1: 81 81 05 A4 81 00 82 81 00 9D 81 00 9A 90 00*16 9E 81 00 9F 81 00 A0 81 00 A1 81 00 "
       "89 81 00 8A 81 00 96 81 00 AA 81 00"},
      {decodeResult("81 81 04 B4 88 B6 81 03 B5 83 82 81 01 B4 8B B6 " + nine + " 9D 81", plan),
       "0: 81 81 04 9D 81 00 B8 81 00 CD 81 00 CE 81 00 9E 81 00 B9 81 00 B4 20 00 0D B6 81 03 "
       "B5 20 00 06 82 81 01 B7 81 00 B4 20 00 03 B6 81 00"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
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

// The top-level elements of `blob`, each as its header and payload bytes.
std::vector<std::vector<char>> elements(const std::vector<char>& blob) {
  std::vector<std::vector<char>> out;
  DwEbmlParser parser(blob.data(), blob.size());
  const char* start = blob.data();
  while (!parser.atEnd()) {
    int tag = 0, len = 0;
    EXPECT_OK(parser.getNextTag(&tag, &len));
    parser.skipPayload(len);
    const char* end = reinterpret_cast<const char*>(parser.getPos());
    out.emplace_back(start, end);
    start = end;
  }
  return out;
}

// Elements read in table order and out of it give the same record, whatever
// the record held before: a pair's reversed (each disk is found by tag), a
// disk's, read whole, shuffled (one that fails leaves the disk as it was:
// DecodingFixedBytes).
TEST(BlrDBPair, ElementsOutOfOrderDecodeAsInOrder) {
  std::mt19937 rng(5);
  auto joined = [](const std::vector<std::vector<char>>& parts) {
    std::vector<char> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
  };
  for (int round = 0; round < 20; ++round) {
    const BlrDB::Pair pair = randomPair(rng);
    std::vector<std::vector<char>> parts = elements(encode(pair));
    std::reverse(parts.begin(), parts.end());
    const std::vector<char> reversed = joined(parts);
    BlrDB::Pair expected = pair;
    expected.disks.reverse();

    BlrDB::Pair decoded = randomPair(rng);  // texts and disks to be replaced
    decoded.disks.resize(decoded.disks.size() + 2);
    ASSERT_OK(decoded.unserialize(reversed.data(), static_cast<int>(reversed.size())));
    EXPECT_EQ(decoded, expected) << round;
    ASSERT_OK(decoded.unserialize(encode(pair).data(), static_cast<int>(encode(pair).size())));
    EXPECT_EQ(decoded, pair) << round;

    const BlrDB::Disk disk = randomDisk(rng);
    parts = elements(encode(disk));
    std::shuffle(parts.begin(), parts.end(), rng);
    const std::vector<char> shuffled = joined(parts);
    BlrDB::Disk decodedDisk = randomDisk(rng);
    ASSERT_OK(decodedDisk.unserialize(shuffled.data(), static_cast<int>(shuffled.size())));
    EXPECT_EQ(decodedDisk, disk) << round;
  }
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

  // name a, values 1 and 2; then a value before any other name is kept under a
  // again; a trailing name alone adds nothing.
  BlrPairPropMap decoded = decode<BlrPairPropMap>(
      std::vector<char>{'\x94', '\x82', 'a', 0, '\x95', '\x82', '1', 0, '\x95', '\x82', '2', 0,
                        '\x94', '\x82', 'z', 0});
  EXPECT_EQ(decoded, BlrPairPropMap(std::map<std::string, std::string>{{"a", "2"}}));
  decoded = decode<BlrPairPropMap>(std::vector<char>{'\x95', '\x82', 'v', 0});
  EXPECT_EQ(decoded, BlrPairPropMap(std::map<std::string, std::string>{{"", "v"}}));
}

}  // namespace

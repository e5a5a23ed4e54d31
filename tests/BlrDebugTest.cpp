#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BLR/BlrDebug.h"
#include "host/EvDebug.h"
#include "support/BlrLogFixture.h"

namespace {

using BlrDebugLevels = BlrLogFixture;
using BlrDebugLines = BlrLogFixture;

void setKey(const char* key, long long value) { DWPlatformInfo::setNumber("EventManager", key, value); }

TEST_F(BlrDebugLevels, WithoutKeysEverySubsystemRunsAtLevelOne) {
  for (int s = 0; s < kSubsystems; ++s) EXPECT_EQ(blrGetDebugLevel(s), 1) << s;
  blrNetDebug("n", 1, "written");
  blrNetDebug("n", 2, "not written");
  blrCtrlDebug("c", 2, "not written");
  blrDebug("d", "level-1 form");
  EXPECT_EQ(recorder_.messages(), (std::vector<std::string>{"written", "level-1 form"}));
}

TEST_F(BlrDebugLevels, BlrKeyRaisesSubsystemsWithoutTheirOwn) {
  setKey("BLR_DEBUGLEVEL", 3);
  setKey("BLR_NET_DEBUGLEVEL", 1);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_CTRL), 3);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_NET), 1);
  EXPECT_EQ(blrGetDebugLevel(42), 3);  // unknown numbers read the BLR key
  blrCtrlDebug("c", 3, "ctrl 3");
  blrNetDebug("n", 2, "net 2");
  blrWinFsDebug("w", 4, "winfs 4");
  EXPECT_EQ(recorder_.messages(), (std::vector<std::string>{"ctrl 3"}));
}

TEST_F(BlrDebugLevels, KeysAreReReadOnlyAfterAMinute) {
  setKey("BLR_CTRL_DEBUGLEVEL", 2);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_CTRL), 2);
  setKey("BLR_CTRL_DEBUGLEVEL", 5);
  clock_.advance(60);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_CTRL), 2);
  clock_.advance(1);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_CTRL), 5);

  // A removed key leaves the cached level as it was.
  DWPlatformInfo::eraseValue("EventManager", "BLR_CTRL_DEBUGLEVEL");
  clock_.advance(61);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_CTRL), 5);

  // A clock set back past the last read re-reads at once.
  setKey("BLR_CTRL_DEBUGLEVEL", 4);
  clock_.advance(-3600);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_CTRL), 4);
}

TEST_F(BlrDebugLevels, SetLevelHoldsUntilAKeyReplacesIt) {
  blrSetDebugLevel(BLR_DBG_BOOT, 4);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_BOOT), 4);
  clock_.advance(61);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_BOOT), 4);  // no key: kept
  setKey("BLR_BOOT_DEBUGLEVEL", 2);
  clock_.advance(61);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_BOOT), 2);

  blrSetDebugLevel(42, 7);  // no such subsystem: ignored
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_BLR), 1);
}

TEST_F(BlrDebugLines, ErrorsAreWrittenWhateverTheLevels) {
  blrSetDebugLevel(BLR_DBG_BLR, -1);
  blrDebug("d", 0, "not written");
  blrError("BlrCtrl::connect", "Couldn't connect to %s", "tail");
  auto lines = recorder_.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, -1);
  EXPECT_EQ(lines[0].function, "BlrCtrl::connect");
  EXPECT_EQ(lines[0].message, "Couldn't connect to tail");
  blrDebug("d", 1, "debug");
  // Debug lines carry severity 1 (the level only gates them).
  blrSetDebugLevel(BLR_DBG_BLR, 1);
  blrDebug("d", 1, "debug");
  EXPECT_EQ(recorder_.lines().back().severity, 1);
}

TEST_F(BlrDebugLines, ContextTagsThePrefixAndId) {
  blrDebug("f", "outside");
  {
    BlrDebugCtx ctx("vm1", 7);
    EXPECT_EQ(blrGetDebugCtx(), &ctx);
    blrDebug("f", "inside");
    blrDebug(nullptr, "no function");
    blrDebug("", "empty function");
  }
  EXPECT_EQ(blrGetDebugCtx(), nullptr);
  {
    BlrDebugCtx unnamed("", 3);
    blrDebug("f", "unnamed");
  }
  auto lines = recorder_.lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_TRUE(lines[0].hasFunction);
  EXPECT_EQ(lines[0].function, "f");
  EXPECT_EQ(lines[0].prefix, "");
  EXPECT_EQ(lines[0].id, 0);
  EXPECT_FALSE(lines[1].hasFunction);
  EXPECT_EQ(lines[1].prefix, "[vm1] f() - ");
  EXPECT_EQ(lines[1].id, 7);
  EXPECT_EQ(lines[2].prefix, "[vm1] ");
  EXPECT_FALSE(lines[2].hasFunction);
  EXPECT_EQ(lines[3].prefix, "[vm1] ");
  EXPECT_EQ(lines[4].prefix, "f() - ");
  EXPECT_EQ(lines[4].id, 3);
}

TEST_F(BlrDebugLines, NestedContextsRestoreAndUpdate) {
  BlrDebugCtx outer("vm1", 7);
  EXPECT_EQ(ThLvlEvDebugFileInstance::current()->prefix(), "[vm1]");
  {
    BlrDebugCtx inner("vm2", 8);
    EXPECT_EQ(blrGetDebugCtx(), &inner);
    EXPECT_EQ(ThLvlEvDebugFileInstance::current()->id(), 8);
    blrDebug("f", "inner");
  }
  EXPECT_EQ(blrGetDebugCtx(), &outer);
  EXPECT_EQ(ThLvlEvDebugFileInstance::current()->prefix(), "[vm1]");
  outer.update("vm3", 9);
  EXPECT_EQ(ThLvlEvDebugFileInstance::current()->prefix(), "[vm3]");
  EXPECT_EQ(ThLvlEvDebugFileInstance::current()->id(), 9);
  blrDebug("f", "updated");
  auto lines = recorder_.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].prefix, "[vm2] f() - ");
  EXPECT_EQ(lines[1].prefix, "[vm3] f() - ");
  EXPECT_EQ(lines[1].id, 9);

  // Contexts belong to their thread.
  std::thread([] { EXPECT_EQ(blrGetDebugCtx(), nullptr); }).join();
}

TEST_F(BlrDebugLines, OutOfOrderContextReleaseLeavesNoDanglingContext) {
  auto first = std::make_unique<BlrDebugCtx>("a", 1);
  auto second = std::make_unique<BlrDebugCtx>("b", 2);
  first.reset();
  EXPECT_EQ(blrGetDebugCtx(), second.get());
  second.reset();
  EXPECT_EQ(blrGetDebugCtx(), nullptr);
  blrDebug("f", "after");
  EXPECT_EQ(recorder_.lines().back().prefix, "");
}

TEST_F(BlrDebugLines, CopyToStandardError) {
  blrDebugCopyToStdout(true);
  std::string tid = std::to_string(blrGetTid());
  testing::internal::CaptureStderr();
  blrDebug("BlrReg", "value %d", 5);
  blrError(nullptr, "ends with newline\n");
  std::string empty;  // a literal empty format draws a compiler warning
  blrDebug("f", empty.c_str());
  {
    BlrDebugCtx ctx("vm1", 7);
    blrDebug("f", "in context");
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, tid + ": BlrReg(): value 5\n" + tid + ": ends with newline\n" + tid + ": f(): " + tid +
                     ": in context\n");
  blrDebugCopyToStdout(false);
  testing::internal::CaptureStderr();
  blrDebug("f", "quiet");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(BlrDebugLines, ConcurrentLinesReachTheFileWhole) {
  const int kThreads = 6, kLines = 300;
  const std::string payload(2000, 'x');  // longer than one pipe buffer's atomic unit
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &payload] {
      BlrDebugCtx ctx("vm" + std::to_string(t), t);
      for (int i = 0; i < kLines; ++i) blrDebug("w", "line %d %s end", i, payload.c_str());
    });
  }
  for (auto& th : threads) th.join();
  auto lines = log_.lines();
  ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
  std::regex shape(".* DEBUG id=([0-9]+) \\[vm([0-9]+)\\] w\\(\\) - line ([0-9]+) x{2000} end");
  std::map<int, int> next;  // per thread, the next expected line number
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 120);
    int t = std::stoi(m[2]);
    EXPECT_EQ(std::stoi(m[1]), t);
    EXPECT_EQ(std::stoi(m[3]), next[t]++);  // each thread's lines in order
  }
}

// Journal records.

std::vector<unsigned char> jrnRecord(uint64_t sequence, uint32_t length, uint16_t field, uint8_t type,
                                     size_t allocated = 0) {
  std::vector<unsigned char> r(allocated ? allocated : length, 0);
  std::memcpy(&r[0], &sequence, 8);
  std::memcpy(&r[8], &length, 4);
  std::memcpy(&r[12], &field, 2);
  r[14] = type;
  return r;
}

template <typename T>
void put(std::vector<unsigned char>& r, size_t offset, T value) {
  std::memcpy(&r[offset], &value, sizeof value);
}

std::string jrnText(const std::vector<unsigned char>& r, size_t size = 256) {
  std::vector<char> buf(size, '#');
  return blrJrnLog(r.data(), buf.data(), size);
}

const unsigned char kCcrp[16] = {0xcd, 0x10, 0x36, 0xf5, 0xfa, 0xee, 0xda, 0xe8,
                                 0x3b, 0xa6, 0x84, 0xfc, 0x85, 0xdd, 0xce, 0xbb};
const unsigned char kStartMon[16] = {0x0d, 0xa1, 0xd1, 0xb5, 0xd7, 0xfa, 0x5d, 0x27,
                                     0x7e, 0x5a, 0xab, 0xc9, 0xde, 0x02, 0x30, 0x06};

TEST(BlrJrnLog, TextOfEveryRecordType) {
  auto marker = jrnRecord(5, 36, 0xabc, 1);
  std::memcpy(&marker[20], kCcrp, 16);
  EXPECT_EQ(jrnText(marker), "BLR_JRN_MARKER(5, 0x0abc, CCRP)");
  std::memcpy(&marker[20], kStartMon, 16);
  EXPECT_EQ(jrnText(marker), "BLR_JRN_MARKER(5, 0x0abc, STARTMON)");
  marker[35] = 0x01;
  EXPECT_EQ(jrnText(marker), "BLR_JRN_MARKER(5, 0x0abc, 0da1d1b5d7fa5d277e5aabc9de023001)");

  auto write = jrnRecord(7, 28, 0x12, 2);
  put<uint64_t>(write, 16, 100);
  put<int32_t>(write, 24, 8);
  EXPECT_EQ(jrnText(write), "BLR_JRN_HYDRATED_WRITE(7, 0x0012, 8, [100-108])");
  write[14] = 3;
  EXPECT_EQ(jrnText(write), "BLR_JRN_DEHYDRATED_WRITE(7, 0x0012, 8, [100-108])");

  auto bitmap = jrnRecord(9, 30, 1, 4);
  put<uint64_t>(bitmap, 16, 3);
  bitmap[28] = 0xFF;
  bitmap[29] = 0x01;
  EXPECT_EQ(jrnText(bitmap), "BLR_JRN_BITMAP_WRITE(3...9, 0x0001, 9/16)");

  EXPECT_EQ(jrnText(jrnRecord(11, 16, 0, 5)), "BLR_JRN_NOOP(11)");

  auto msg = jrnRecord(1, 26, 2, 6);
  put<int32_t>(msg, 16, -3);
  std::memcpy(&msg[20], "hello", 6);
  EXPECT_EQ(jrnText(msg), "BLR_JRN_MSG(1, 0x0002, -3, hello)");

  auto vmconfig = jrnRecord(4, 28, 0, 7);
  put<uint32_t>(vmconfig, 16, 4000000000u);
  put<uint16_t>(vmconfig, 20, 65535);
  put<int32_t>(vmconfig, 24, -1);
  EXPECT_EQ(jrnText(vmconfig), "BLR_JRN_VMCONFIG(4, 4000000000, 65535, -1)");

  EXPECT_EQ(jrnText(jrnRecord(2, 16, 0, 9)), "UNKNOWN");
}

// Each record is allocated with exactly its length, so a read past it is
// caught by the address sanitizer.
TEST(BlrJrnLog, ShortRecordsAreNotReadPastTheirLength) {
  EXPECT_EQ(jrnText(jrnRecord(5, 30, 1, 1, 30)), "BLR_JRN_MARKER(5, 0x0001, truncated: 30 bytes)");
  EXPECT_EQ(jrnText(jrnRecord(7, 24, 2, 2, 24)), "BLR_JRN_HYDRATED_WRITE(7, 0x0002, truncated: 24 bytes)");
  EXPECT_EQ(jrnText(jrnRecord(4, 16, 0, 7, 16)), "BLR_JRN_VMCONFIG(4, 0x0000, truncated: 16 bytes)");
  EXPECT_EQ(jrnText(jrnRecord(1, 18, 0, 6, 18)), "BLR_JRN_MSG(1, 0x0000, truncated: 18 bytes)");
  EXPECT_EQ(jrnText(jrnRecord(9, 20, 0, 4, 20)), "BLR_JRN_BITMAP_WRITE(9, 0x0000, truncated: 20 bytes)");

  // A bitmap record below its bitmap offset reads no bitmap.
  auto bitmap = jrnRecord(9, 26, 1, 4, 26);
  put<uint64_t>(bitmap, 16, 3);
  EXPECT_EQ(jrnText(bitmap), "BLR_JRN_BITMAP_WRITE(3...9, 0x0001, 0/0)");

  // Message text without a NUL ends with the record.
  auto msg = jrnRecord(1, 25, 2, 6, 25);
  std::memcpy(&msg[20], "hello", 5);
  EXPECT_EQ(jrnText(msg), "BLR_JRN_MSG(1, 0x0002, 0, hello)");
  auto empty = jrnRecord(1, 20, 2, 6, 20);
  EXPECT_EQ(jrnText(empty), "BLR_JRN_MSG(1, 0x0002, 0, )");
}

TEST(BlrJrnLog, TextIsCutToTheBuffer) {
  auto noop = jrnRecord(123456, 16, 0, 5);
  EXPECT_EQ(jrnText(noop, 10), "BLR_JRN_N");
  EXPECT_EQ(jrnText(noop, 1), "");
  char buf[4] = "abc";
  EXPECT_EQ(blrJrnLog(noop.data(), buf, 0), buf);  // nothing written
  EXPECT_STREQ(buf, "abc");
}

TEST(BlrJrnLog, MarkerNames) {
  const std::map<std::string, std::string> named = {
      {"cd1036f5faeedae83ba684fc85ddcebb", "CCRP"},
      {"3771de20d5fd1630d9a9e9fab2511fcc", "ACRP"},
      {"6c9c35ccaeff1544e084deb8b024b656", "TIME"},
      {"e3c5e299469b28a1d9fe385457e68189", "FLUSH"},
      {"0da1d1b5d7fa5d277e5aabc9de023006", "UNKNOWN"},  // STARTMON is not named here
      {"00000000000000000000000000000000", "UNKNOWN"},
  };
  for (const auto& [hex, name] : named) {
    unsigned char id[16];
    for (int i = 0; i < 16; ++i) id[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    EXPECT_STREQ(blrJrnGetMarkerName(id), name.c_str()) << hex;
  }
  EXPECT_STREQ(blrJrnGetMarkerName(nullptr), "UNKNOWN");
}

}  // namespace

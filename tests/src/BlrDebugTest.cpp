#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BLR/BlrDebug.h"
#include "host/log/EvDebug.h"
#include "support/BlrLogFixture.h"

namespace {

using BlrDebugLevels = BlrLogFixture;
using BlrDebugLines = BlrLogFixture;

void setKey(const char* key, long long value) { DWPlatformInfo::setNumber("EventManager", key, value); }

// What the sink saw of each line: severity|prefix|function (or null)|id|message.
std::vector<std::string> seen(const EvDebugRecorder& recorder) {
  std::vector<std::string> out;
  for (const RecordedLine& l : recorder.lines())
    out.push_back(std::to_string(l.severity) + "|" + l.prefix + "|" + (l.hasFunction ? l.function : "null") + "|" +
                  std::to_string(l.id) + "|" + l.message);
  return out;
}

TEST_F(BlrDebugLevels, LevelsGateDebugLinesButNeverErrors) {
  for (int s = BLR_DBG_BLR; s <= BLR_DBG_WINFS; ++s) EXPECT_EQ(blrGetDebugLevel(s), 1) << s;
  blrNetDebug("n", 1, "net 1");
  blrNetDebug("n", 2, "net 2");
  blrDebug("d", "level-1 form");

  setKey("BLR_DEBUGLEVEL", 3);  // covers every subsystem without a key of its own
  setKey("BLR_NET_DEBUGLEVEL", 1);
  clock_.advance(61);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_CTRL), 3);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_NET), 1);
  EXPECT_EQ(blrGetDebugLevel(42), 3);  // unknown numbers read the BLR key
  blrCtrlDebug("c", 3, "ctrl 3");
  blrNetDebug("n", 2, "net 2 again");
  blrSetDebugLevel(BLR_DBG_BLR, -1);
  blrWinFsDebug("w", 0, "winfs 0");
  blrError("e", "Couldn't %s", "connect");
  EXPECT_EQ(seen(recorder_), (std::vector<std::string>{"1||n|0|net 1", "1||d|0|level-1 form", "1||c|0|ctrl 3",
                                                       "-1||e|0|Couldn't connect"}));
}

TEST_F(BlrDebugLevels, KeysAreReReadOnlyAfterAMinute) {
  setKey("BLR_CTRL_DEBUGLEVEL", 2);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_CTRL), 2);
  setKey("BLR_CTRL_DEBUGLEVEL", 5);
  clock_.advance(60);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_CTRL), 2);
  clock_.advance(1);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_CTRL), 5);

  // A removed key leaves the cached level, which blrSetDebugLevel may replace.
  DWPlatformInfo::eraseValue("EventManager", "BLR_CTRL_DEBUGLEVEL");
  clock_.advance(61);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_CTRL), 5);
  blrSetDebugLevel(BLR_DBG_CTRL, 4);
  blrSetDebugLevel(42, 7);  // no such subsystem: ignored
  clock_.advance(61);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_CTRL), 4);
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_BLR), 1);

  setKey("BLR_CTRL_DEBUGLEVEL", 6);
  clock_.advance(-3600);  // set back past the last read: re-read at once
  EXPECT_EQ(blrGetDebugLevel(BLR_DBG_CTRL), 6);
}

TEST_F(BlrDebugLines, ContextsTagTheirThreadsLines) {
  blrDebug("f", "outside");
  {
    BlrDebugCtx outer("vm1", 7);
    blrDebug("f", "inside");
    blrDebug(nullptr, "no function");
    {
      BlrDebugCtx inner("", 8);
      EXPECT_EQ(blrGetDebugCtx(), &inner);
      blrDebug("f", "unnamed");
    }
    EXPECT_EQ(blrGetDebugCtx(), &outer);
    outer.update("vm3", 9);
    blrDebug("f", "updated");
    std::thread([] { EXPECT_EQ(blrGetDebugCtx(), nullptr); }).join();  // contexts are per thread

    // Released out of order, a context leaves nothing dangling.
    auto first = std::make_unique<BlrDebugCtx>("a", 1);
    auto second = std::make_unique<BlrDebugCtx>("b", 2);
    first.reset();
    EXPECT_EQ(ThLvlEvDebugFileInstance::current()->prefix(), "[b]");
    second.reset();
    EXPECT_EQ(blrGetDebugCtx(), &outer);
    EXPECT_EQ(ThLvlEvDebugFileInstance::current()->prefix(), "[vm3]");
  }
  EXPECT_EQ(blrGetDebugCtx(), nullptr);
  EXPECT_EQ(ThLvlEvDebugFileInstance::current(), nullptr);
  EXPECT_EQ(seen(recorder_), (std::vector<std::string>{"1||f|0|outside", "1|[vm1] f() - |null|7|inside",
                                                       "1|[vm1] |null|7|no function", "1|f() - |null|8|unnamed",
                                                       "1|[vm3] f() - |null|9|updated"}));
}

TEST_F(BlrDebugLines, CopyToStandardError) {
  blrDebugCopyToStdout(true);
  std::string tid = std::to_string(blrGetTid());
  // Through a pointer: compilers warn about a literal empty format.
  void (*unchecked)(const char*, const char*, ...) = blrDebug;
  testing::internal::CaptureStderr();
  blrDebug("BlrReg", "value %d", 5);
  blrError(nullptr, "ends with newline\n");
  unchecked("f", "");
  {
    BlrDebugCtx ctx("vm1", 7);
    blrDebug("f", "in context");
  }
  blrDebugCopyToStdout(false);
  blrDebug("f", "not copied");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            tid + ": BlrReg(): value 5\n" + tid + ": ends with newline\n" + tid + ": f(): " + tid + ": in context\n");
}

TEST_F(BlrDebugLines, ConcurrentLinesReachTheFileWhole) {
  const int kThreads = 6, kLines = 300;
  const std::string payload(2000, 'x');
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
    EXPECT_EQ(m[1], m[2]);
    EXPECT_EQ(std::stoi(m[3]), next[std::stoi(m[2])]++);
  }
}

// A journal record allocated with exactly its length, so that a read past it
// is caught by the address sanitizer.
class Record {
 public:
  Record(uint64_t sequence, uint32_t length, uint16_t field, uint8_t type) : bytes_(length) {
    at(0, sequence).at(8, length).at(12, field).at(14, type);
  }
  template <typename T>
  Record& at(size_t offset, T value) {
    std::memcpy(&bytes_[offset], &value, sizeof value);
    return *this;
  }
  Record& text(size_t offset, const char* s, size_t n) {
    std::memcpy(&bytes_[offset], s, n);
    return *this;
  }
  std::string log(size_t size = 256) const {
    std::vector<char> buf(size, '#');
    return blrJrnLog(bytes_.data(), buf.data(), size);
  }

 private:
  std::vector<unsigned char> bytes_;
};

const char kCcrp[] = "\xcd\x10\x36\xf5\xfa\xee\xda\xe8\x3b\xa6\x84\xfc\x85\xdd\xce\xbb";
const char kStartMon[] = "\x0d\xa1\xd1\xb5\xd7\xfa\x5d\x27\x7e\x5a\xab\xc9\xde\x02\x30\x06";

TEST(BlrJrnLog, TextOfEveryRecordTypeWithinTheRecordsLength) {
  EXPECT_EQ(Record(5, 36, 0xabc, 1).text(20, kCcrp, 16).log(), "BLR_JRN_MARKER(5, 0x0abc, CCRP)");
  EXPECT_EQ(Record(5, 36, 1, 1).text(20, kStartMon, 16).log(), "BLR_JRN_MARKER(5, 0x0001, STARTMON)");
  EXPECT_EQ(Record(5, 36, 1, 1).text(20, kStartMon, 15).log(),
            "BLR_JRN_MARKER(5, 0x0001, 0da1d1b5d7fa5d277e5aabc9de023000)");
  EXPECT_EQ(Record(7, 28, 0x12, 2).at<uint64_t>(16, 100).at<int32_t>(24, 8).log(),
            "BLR_JRN_HYDRATED_WRITE(7, 0x0012, 8, [100-108])");
  EXPECT_EQ(Record(7, 28, 0x12, 3).at<uint64_t>(16, 100).at<int32_t>(24, 8).log(),
            "BLR_JRN_DEHYDRATED_WRITE(7, 0x0012, 8, [100-108])");
  EXPECT_EQ(Record(9, 30, 1, 4).at<uint64_t>(16, 3).text(28, "\xff\x01", 2).log(),
            "BLR_JRN_BITMAP_WRITE(3...9, 0x0001, 9/16)");
  EXPECT_EQ(Record(11, 16, 0, 5).log(), "BLR_JRN_NOOP(11)");
  EXPECT_EQ(Record(1, 26, 2, 6).at<int32_t>(16, -3).text(20, "hello", 6).log(), "BLR_JRN_MSG(1, 0x0002, -3, hello)");
  EXPECT_EQ(Record(4, 28, 0, 7).at<uint32_t>(16, 4000000000u).at<uint16_t>(20, 65535).at<int32_t>(24, -1).log(),
            "BLR_JRN_VMCONFIG(4, 4000000000, 65535, -1)");
  EXPECT_EQ(Record(2, 16, 0, 9).log(), "UNKNOWN");

  EXPECT_EQ(Record(123456, 16, 0, 5).log(10), "BLR_JRN_N");  // cut to the buffer
  EXPECT_EQ(Record(123456, 16, 0, 5).log(1), "");
  EXPECT_STREQ(blrJrnGetMarkerName(nullptr), "UNKNOWN");

  // Short records are not read past their length.
  EXPECT_EQ(Record(5, 30, 1, 1).log(), "BLR_JRN_MARKER(5, 0x0001, truncated: 30 bytes)");
  EXPECT_EQ(Record(7, 24, 2, 2).log(), "BLR_JRN_HYDRATED_WRITE(7, 0x0002, truncated: 24 bytes)");
  EXPECT_EQ(Record(4, 16, 0, 7).log(), "BLR_JRN_VMCONFIG(4, 0x0000, truncated: 16 bytes)");
  EXPECT_EQ(Record(1, 18, 0, 6).log(), "BLR_JRN_MSG(1, 0x0000, truncated: 18 bytes)");
  EXPECT_EQ(Record(9, 20, 0, 4).log(), "BLR_JRN_BITMAP_WRITE(9, 0x0000, truncated: 20 bytes)");
  // A bitmap record below its bitmap offset reads no bitmap.
  EXPECT_EQ(Record(9, 26, 1, 4).at<uint64_t>(16, 3).log(), "BLR_JRN_BITMAP_WRITE(3...9, 0x0001, 0/0)");
  // Message text without a NUL ends with the record.
  EXPECT_EQ(Record(1, 25, 2, 6).text(20, "hello", 5).log(), "BLR_JRN_MSG(1, 0x0002, 0, hello)");
  EXPECT_EQ(Record(1, 20, 2, 6).log(), "BLR_JRN_MSG(1, 0x0002, 0, )");
}

}  // namespace

#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "BLR/BlrUtils.h"
#include "BlrTesting.h"

namespace {

// Word-by-word reference of the checksum, one call per buffer.
uint64_t referenceSum(const std::vector<unsigned char>& buf) {
  uint64_t sum = 0;
  size_t i = 0;
  for (; i + 4 <= buf.size(); i += 4)
    sum += uint32_t(buf[i]) | uint32_t(buf[i + 1]) << 8 | uint32_t(buf[i + 2]) << 16 | uint32_t(buf[i + 3]) << 24;
  uint32_t tail = 0;
  for (size_t k = 0; i + k < buf.size(); ++k) tail |= uint32_t(buf[i + k]) << (8 * k);
  return sum + tail;
}

uint32_t fold(uint64_t sum) {
  uint64_t s = (sum & 0xFFFFFFFF) + (sum >> 32);
  s = (s & 0xFFFFFFFF) + (s >> 32);
  return ~uint32_t(s);
}

TEST(BlrUtils, AtollTakesLeadingDigitsOnly) {
  EXPECT_EQ(BlrUtils::atoll(""), 0);
  EXPECT_EQ(BlrUtils::atoll("x1"), 0);
  EXPECT_EQ(BlrUtils::atoll("12ab"), 12);
  EXPECT_EQ(BlrUtils::atoll("-5"), 0);
  EXPECT_EQ(BlrUtils::atoll("9007199254740993"), 9007199254740993LL);
}

TEST(BlrUtils, HexRoundTripAndErrors) {
  const unsigned char bytes[] = {0x00, 0x0a, 0xff, 0x1b};
  EXPECT_EQ(BlrUtils::bin2str(bytes, 4), "000aff1b");
  EXPECT_EQ(BlrUtils::bin2str(bytes, 0), "");

  unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_FALSE(BlrUtils::str2bin("0a1B", out, 2).IsError());
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(out[1], 0x1B);
  EXPECT_EQ(out[2], 0xEE);  // beyond the decoded length: untouched

  unsigned char one[1] = {0};
  CZuError err = BlrUtils::str2bin("0a1B", one, 1);
  EXPECT_TRUE(err.IsError());
  EXPECT_EQ(FXErrorUtil::GetInt(err), 1);
  EXPECT_EQ(err.Summary(), "Overflow");
  EXPECT_EQ(one[0], 0x0A);

  out[0] = 0xEE;
  err = BlrUtils::str2bin("abc", out, 4);
  EXPECT_EQ(err.Summary(), "Hex string \"abc\" has an odd length");
  EXPECT_EQ(out[0], 0xEE);

  EXPECT_FALSE(BlrUtils::str2bin("zz", out, 4).IsError());  // non-digits count as 0
  EXPECT_EQ(out[0], 0x00);
}

TEST(BlrUtils, Time2StrIsLocalMonthDayYear) {
  struct tm t {};
  t.tm_year = 2021 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 7;
  t.tm_min = 8;
  t.tm_sec = 9;
  t.tm_isdst = -1;
  EXPECT_EQ(BlrUtils::time2str(mktime(&t)), "03/05/2021 07:08:09");
}

TEST(BlrUtils, CountBits) {
  const unsigned char bytes[] = {0xFF, 0x01, 0x00, 0x80, 0x55};
  EXPECT_EQ(BlrUtils::countBits(bytes, 5), 8 + 1 + 0 + 1 + 4);
  EXPECT_EQ(BlrUtils::countBits(bytes, 0), 0);
}

TEST(BlrChecksum, KnownValues) {
  EXPECT_EQ(BlrUtils::checksum("", 0), 0xFFFFFFFFu);
  EXPECT_EQ(BlrUtils::checksum("abc", 3), 0xFF9C9D9Eu);
  EXPECT_EQ(BlrUtils::checksum("abcd", 4), 0x9B9C9D9Eu);
}

// Run with and without AVX2, so both vector paths are checked on one machine.
class BlrChecksumPaths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { blrChecksumAllowAvx2ForTesting(GetParam()); }
  void TearDown() override { blrChecksumAllowAvx2ForTesting(true); }
};

TEST_P(BlrChecksumPaths, MatchesReferenceOverManyLengthsAndOffsets) {
  std::mt19937 rng(42);
  std::vector<unsigned char> data(70000);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  for (size_t len = 0; len < 3000; len += (len < 80 ? 1 : 37)) {
    for (size_t offset : {0, 1, 3}) {
      std::vector<unsigned char> buf(data.begin() + offset, data.begin() + offset + len);
      ASSERT_EQ(BlrUtils::checksum(data.data() + offset, int(len)), fold(referenceSum(buf)))
          << "len " << len << " offset " << offset;
    }
  }
  std::vector<unsigned char> all(data.begin(), data.end());
  EXPECT_EQ(BlrUtils::checksum(data.data(), int(data.size())), fold(referenceSum(all)));
}

INSTANTIATE_TEST_SUITE_P(Avx2, BlrChecksumPaths, ::testing::Bool());

TEST(BlrChecksum, TailIsPaddedPerCall) {
  const char text[] = "abcdefgh";
  BlrChecksum aligned;
  aligned.add(text, 4);
  aligned.add(text + 4, 4);
  EXPECT_EQ(aligned.finish(), BlrUtils::checksum(text, 8));

  BlrChecksum unaligned;
  unaligned.add(text, 3);      // "abc" padded: 0x00636261
  unaligned.add(text + 3, 5);  // "defg" then "h" padded
  uint64_t expected = 0x00636261ull + 0x67666564ull + 0x68ull;
  EXPECT_EQ(unaligned.finish(), fold(expected));
  EXPECT_NE(unaligned.finish(), BlrUtils::checksum(text, 8));
}

TEST(BlrChecksum, FinishDoesNotChangeTheSum) {
  BlrChecksum sum;
  sum.add("abcd", 4);
  uint32_t first = sum.finish();
  EXPECT_EQ(sum.finish(), first);
  sum.add("abcd", 4);
  EXPECT_NE(sum.finish(), first);
}

}  // namespace

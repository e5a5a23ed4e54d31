#include <random>
#include <vector>

#include "BLR/BlrUtils.h"
#include "base/BlrTesting.h"
#include "support/Check.h"

namespace {

// Word-by-word reference of the checksum, one call per buffer.
uint32_t referenceChecksum(const unsigned char* buf, size_t n) {
  uint64_t sum = 0;
  for (size_t i = 0; i < n; i += 4) {
    uint32_t word = 0;  // a short tail is padded with zeros
    for (size_t k = 0; k < 4 && i + k < n; ++k) word |= uint32_t(buf[i + k]) << (8 * k);
    sum += word;
  }
  sum = (sum & 0xFFFFFFFF) + (sum >> 32);
  sum = (sum & 0xFFFFFFFF) + (sum >> 32);
  return ~uint32_t(sum);
}

TEST(BlrUtils, LeadingDigitsAndLocalTimeTexts) {
  EXPECT_EQ(BlrUtils::atoll("12ab"), 12);
  EXPECT_EQ(BlrUtils::atoll("-5"), 0);
  struct tm t {};
  t.tm_year = 2021 - 1900, t.tm_mon = 2, t.tm_mday = 5, t.tm_hour = 7, t.tm_min = 8, t.tm_isdst = -1;
  EXPECT_EQ(BlrUtils::time2str(mktime(&t)), "03/05/2021 07:08:00");
}

TEST(BlrUtils, HexRoundTripAndErrors) {
  const unsigned char bytes[] = {0x00, 0x0a, 0xff, 0x1b};
  EXPECT_EQ(BlrUtils::bin2str(bytes, 4), "000aff1b");
  EXPECT_EQ(BlrUtils::bin2str(bytes, 0), "");

  unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_OK(BlrUtils::str2bin("0a1B", out, 2));
  EXPECT_EQ(std::vector<unsigned char>(out, out + 3),
            (std::vector<unsigned char>{0x0A, 0x1B, 0xEE}));  // beyond the length: untouched

  unsigned char one[1] = {0};
  EXPECT_EQ(failure(BlrUtils::str2bin("0a1B", one, 1)), "1: Overflow");
  EXPECT_EQ(one[0], 0x0A);
  out[0] = 0xEE;
  EXPECT_EQ(failure(BlrUtils::str2bin("abc", out, 4)), "1: Hex string \"abc\" has an odd length");
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_OK(BlrUtils::str2bin("zz", out, 4));  // non-digits count as 0
  EXPECT_EQ(out[0], 0x00);

  // A long text decodes into its own storage.
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  std::string text = BlrUtils::bin2str(all.data(), 256);
  EXPECT_OK(BlrUtils::str2bin(text, &text[0], 256));
  EXPECT_EQ(text.substr(0, 256), all);
  std::string stop("0a\0" "0ff", 6);
  out[1] = 0xEE;
  EXPECT_OK(BlrUtils::str2bin(stop, out, 4));
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(out[1], 0xEE);
}

// Run with and without AVX2, so both vector paths are checked on one machine.
class BlrChecksumPaths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { blrChecksumAllowAvx2ForTesting(GetParam()); }
  void TearDown() override { blrChecksumAllowAvx2ForTesting(true); }
};

TEST_P(BlrChecksumPaths, MatchesReferenceOverManyLengthsAndOffsets) {
  EXPECT_EQ(BlrUtils::checksum("", 0), 0xFFFFFFFFu);
  EXPECT_EQ(BlrUtils::checksum("abc", 3), 0xFF9C9D9Eu);
  EXPECT_EQ(BlrUtils::checksum("abcd", 4), 0x9B9C9D9Eu);
  std::mt19937 rng(42);
  std::vector<unsigned char> data(70000);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  for (size_t len = 0; len < 3000; len += (len < 80 ? 1 : 37)) {
    for (size_t offset : {0, 1, 3}) {
      ASSERT_EQ(BlrUtils::checksum(data.data() + offset, int(len)),
                referenceChecksum(data.data() + offset, len))
          << "len " << len << " offset " << offset;
    }
  }
  EXPECT_EQ(BlrUtils::checksum(data.data(), int(data.size())),
            referenceChecksum(data.data(), data.size()));
}

INSTANTIATE_TEST_SUITE_P(Avx2, BlrChecksumPaths, ::testing::Bool());

TEST(BlrChecksum, TailIsPaddedPerCallAndFinishKeepsTheSum) {
  const unsigned char text[] = "abcdefgh";
  BlrChecksum aligned;
  aligned.add(text, 4);
  aligned.add(text + 4, 4);
  EXPECT_EQ(aligned.finish(), BlrUtils::checksum(text, 8));

  BlrChecksum unaligned;
  unaligned.add(text, 3);      // "abc" padded: 0x00636261
  unaligned.add(text + 3, 5);  // "defg" then "h" padded
  const unsigned char words[] = {'a', 'b', 'c', 0, 'd', 'e', 'f', 'g', 'h', 0, 0, 0};
  uint32_t first = unaligned.finish();
  EXPECT_EQ(first, referenceChecksum(words, sizeof words));
  EXPECT_EQ(unaligned.finish(), first);
  unaligned.add(text, 4);
  EXPECT_NE(unaligned.finish(), first);
}

}  // namespace

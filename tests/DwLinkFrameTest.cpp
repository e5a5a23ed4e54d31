#include "host/DwLinkFrame.h"
#include "support/Check.h"

namespace {

TEST(DwLinkFrameTest, EncodesHeaderAndElements) {
  DwLinkMessage msg;
  msg.name = "BLR";
  msg.entries["req"] = "get";
  std::string frame;
  ASSERT_OK(dwLinkEncode(msg, kDwLinkMaxFrameBytes, &frame));
  const std::string expected(
      "DLK\x01\x00\x00\x00\x0F"
      "\x81\x83"
      "BLR"
      "\x82\x83"
      "req"
      "\x83\x83"
      "get",
      23);
  EXPECT_EQ(frame, expected);
}

TEST(DwLinkFrameTest, RoundTripKeepsEveryByte) {
  DwLinkMessage msg, back;
  msg.name = "BLR";
  msg.failure = "why";
  msg.entries["blob"] = std::string("a\0b\xff", 4);
  msg.entries["empty"] = "";
  msg.entries[""] = "empty key";
  msg.entries["big"] = std::string(70000, 'z');  // three-byte size field
  std::string frame;
  ASSERT_OK(dwLinkEncode(msg, kDwLinkMaxFrameBytes, &frame));
  uint32_t len = 0;
  ASSERT_OK(dwLinkParseHeader(reinterpret_cast<const unsigned char*>(frame.data()),
                              kDwLinkMaxFrameBytes, &len));
  ASSERT_EQ(len + kDwLinkHeaderBytes, frame.size());
  ASSERT_OK(dwLinkDecode(frame.data() + kDwLinkHeaderBytes, len, &back));
  EXPECT_EQ(back.name, msg.name);
  EXPECT_EQ(back.failure, msg.failure);
  EXPECT_EQ(back.entries, msg.entries);
}

TEST(DwLinkFrameTest, MalformedPayloadsAreRefused) {
  DwLinkMessage out;
  const std::string cases[] = {
      std::string("\x82\x81k", 3),                              // key without value
      std::string("\x83\x81v", 3),                              // value without key
      std::string("\x82\x85k", 3),                              // size past the end
      std::string("\x0F\x81k", 3),                              // no marker bit
      std::string("\x82\x81k\x83\x81v\x82\x81k\x83\x81w", 12),  // repeated key
  };
  for (const std::string& c : cases)
    EXPECT_TRUE(dwLinkDecode(c.data(), c.size(), &out).IsError()) << testing::PrintToString(c);
  // Unknown tags are skipped.
  std::string unknown("\x89\x81x\x82\x81k\x83\x81v", 9);
  ASSERT_OK(dwLinkDecode(unknown.data(), unknown.size(), &out));
  EXPECT_EQ(out.entries.at("k"), "v");
}

// A receiving server stops at such a header: see DwLinkTest.
TEST(DwLinkFrameTest, OversizedFramesAreRefused) {
  DwLinkMessage msg;
  msg.entries["k"] = std::string(100, 'v');
  std::string frame;
  EXPECT_TRUE(dwLinkEncode(msg, 64, &frame).IsError());
  EXPECT_TRUE(frame.empty());

  const unsigned char header[] = {'D', 'L', 'K', 1, 0x04, 0x00, 0x00, 0x01};  // 64 MiB + 1
  uint32_t len = 0;
  EXPECT_THAT(dwLinkParseHeader(header, kDwLinkMaxFrameBytes, &len).Summary(),
              HasSubstr("exceeds the limit of 67108864 bytes"));
  const unsigned char http[] = {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T'};
  EXPECT_TRUE(dwLinkParseHeader(http, kDwLinkMaxFrameBytes, &len).IsError());
}

}  // namespace

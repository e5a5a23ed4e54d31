#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "LinkTestEnv.h"
#include "host/DwLinkFrame.h"

namespace {

TEST(DwLinkFrameTest, EncodesHeaderAndElements) {
  DwLinkMessage msg;
  msg.name = "BLR";
  msg.entries["req"] = "get";
  std::string frame;
  ASSERT_FALSE(dwLinkEncode(msg, kDwLinkMaxFrameBytes, &frame).IsError());
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
  ASSERT_FALSE(dwLinkEncode(msg, kDwLinkMaxFrameBytes, &frame).IsError());
  uint32_t len = 0;
  ASSERT_FALSE(dwLinkParseHeader(reinterpret_cast<const unsigned char*>(frame.data()),
                                 kDwLinkMaxFrameBytes, &len)
                   .IsError());
  ASSERT_EQ(len + kDwLinkHeaderBytes, frame.size());
  ASSERT_FALSE(dwLinkDecode(frame.data() + kDwLinkHeaderBytes, len, &back).IsError());
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
  ASSERT_FALSE(dwLinkDecode(unknown.data(), unknown.size(), &out).IsError());
  EXPECT_EQ(out.entries.at("k"), "v");
}

TEST(DwLinkFrameTest, OversizedFramesAreRefusedBeforeAllocation) {
  DwLinkMessage msg;
  msg.entries["k"] = std::string(100, 'v');
  std::string frame;
  CZuError err = dwLinkEncode(msg, 64, &frame);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(frame.empty());

  const unsigned char header[] = {'D', 'L', 'K', 1, 0x04, 0x00, 0x00, 0x01};  // 64 MiB + 1
  uint32_t len = 0;
  err = dwLinkParseHeader(header, kDwLinkMaxFrameBytes, &len);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(err.Summary().find("exceeds the limit of 67108864 bytes"), std::string::npos);
  const unsigned char http[] = {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T'};
  EXPECT_TRUE(dwLinkParseHeader(http, kDwLinkMaxFrameBytes, &len).IsError());

  // Over a connection: the receiver stops at the header.
  LinkTestEnv& env = LinkTestEnv::get();
  KrpPair pair(env.client, env.server);
  ASSERT_TRUE(pair.handshake());
  const unsigned char huge[] = {'D', 'L', 'K', 1, 0xFF, 0xFF, 0xFF, 0xFF};
  CZuError sendErr;
  krpSendMs(pair.client, huge, sizeof huge, 1000, &sendErr);
  ASSERT_FALSE(sendErr.IsError());
  std::string payload;
  bool started = false;
  err = dwLinkRecvFrame(pair.server, kDwLinkMaxFrameBytes, 1000, &payload, &started);
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ(FXErrorUtil::GetInt(err), 1);
  EXPECT_TRUE(started);
  EXPECT_EQ(payload.capacity(), std::string().capacity());
}

}  // namespace

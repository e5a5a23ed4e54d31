// Identifiers and mangled host names: printed and parsed back.
#include <random>

#include <gtest/gtest.h>

#include "BLR/BlrUUID.h"
#include "host/net/DwHostName.h"

namespace {

BlrUUID randomUUID(std::mt19937& rng) {
  unsigned char bytes[16];
  for (auto& b : bytes) b = static_cast<unsigned char>(rng());
  return BlrUUID(bytes);
}

TEST(BlrUUID, TextFormsAreExactRoundTripAndOrder) {
  std::mt19937 rng(1234);
  BlrUUID previous = randomUUID(rng);
  for (int i = 0; i < 1000; ++i) {
    BlrUUID id = randomUUID(rng);
    EXPECT_TRUE(BlrUUID::isValid(id.toString()));
    EXPECT_TRUE(BlrUUID::isValid(id.toHex()));
    EXPECT_EQ(BlrUUID(id.toString()), id);
    EXPECT_EQ(BlrUUID(id.toHex()), id);
    EXPECT_NE(id, previous);
    EXPECT_TRUE((id < previous) != (previous < id));
    previous = id;
  }
  EXPECT_FALSE(previous.empty());
  previous.clear();
  EXPECT_TRUE(previous.empty());

  const unsigned char bytes[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                   0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
  BlrUUID id(bytes);
  EXPECT_EQ(id.toString(), "01234567-89AB-CDEF-FEDC-BA9876543210");
  EXPECT_EQ(id.toHex(), "0123456789abcdeffedcba9876543210");
  char out[33];
  EXPECT_STREQ(uuid2hex(bytes, out), "0123456789abcdeffedcba9876543210");
  EXPECT_EQ(BlrUUID("01234567-89ab-cdef-FEDC-ba9876543210"), id);  // either case
}

TEST(BlrUUID, MalformedTextsAreInvalidAndOtherLengthsGiveNull) {
  for (const char* text :
       {"", "0123", "0123456789abcdeffedcba987654321", "01234567-89AB-CDEF-FEDC-BA987654321",
        "0123456789abcdeffedcba98765432100"}) {
    EXPECT_FALSE(BlrUUID::isValid(text)) << text;
    EXPECT_EQ(BlrUUID(text), BlrUUID::null_uuid) << text;
  }
  EXPECT_FALSE(BlrUUID::isValid("01234567089AB-CDEF-FEDC-BA9876543210"));  // digit for a dash
  EXPECT_FALSE(BlrUUID::isValid("0123456789abcdeffedcba987654321g"));
  EXPECT_FALSE(BlrUUID::isValid("01234567-89AB-CDEF-FEDC-BA98765432-0"));
}

void expectRoundTrip(const std::string& host, const std::string& client, int p1, int p2) {
  std::string mangled = MangleHostName(host, client, p1, p2);
  std::string h, c;
  int a = -1, b = -1;
  ASSERT_TRUE(DemangleHostName(mangled.c_str(), h, c, a, b)) << mangled;
  EXPECT_EQ(h, host);
  EXPECT_EQ(c, client);
  EXPECT_EQ(a, p1);
  EXPECT_EQ(b, p2);
}

TEST(DwHostName, RoundTripsAwkwardNames) {
  expectRoundTrip("localhost", "pm1", 1, 65535);
  expectRoundTrip("::1", "pm1", 8406, 0);
  expectRoundTrip("fe80::1%eth0", "a@b:c", 22, 23);
  expectRoundTrip("host.example", "", 5, 6);
}

TEST(DwHostName, RejectsMalformedTextWithoutTouchingOutputs) {
  for (const char* bad : {"", "host", "c@h:1", "c@h:x:2", "c@h:1:70000", "h:1:2", "c@:1:2", "c@h:-1:2"}) {
    std::string h = "H", c = "C";
    int a = 7, b = 8;
    EXPECT_FALSE(DemangleHostName(bad, h, c, a, b)) << bad;
    EXPECT_EQ(h, "H");
    EXPECT_EQ(c, "C");
    EXPECT_EQ(a, 7);
    EXPECT_EQ(b, 8);
  }
  std::string h, c;
  int a, b;
  EXPECT_FALSE(DemangleHostName(nullptr, h, c, a, b));
}

}  // namespace

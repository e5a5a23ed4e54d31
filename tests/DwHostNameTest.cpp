#include <gtest/gtest.h>

#include "host/DwHostName.h"

namespace {

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

TEST(DwHostName, FormatIsReadable) {
  EXPECT_EQ(MangleHostName("10.0.0.5", "proxy1", 8400, 8401), "proxy1@10.0.0.5:8400:8401");
}

TEST(DwHostName, RoundTripsAwkwardNames) {
  expectRoundTrip("localhost", "pm1", 1, 65535);
  expectRoundTrip("::1", "pm1", 8400, 0);
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

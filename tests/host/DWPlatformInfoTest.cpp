#include <string>

#include "host/config/DWPlatformInfo.h"
#include "host/config/DwRegistryCache.h"
#include "support/Check.h"
#include "support/TempFile.h"

namespace {

class DWPlatformInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { DWPlatformInfo::reset(); }
  void TearDown() override { DWPlatformInfo::reset(); }

  long long number(const char* section, const char* key) {
    long long n = -999;
    return info_.getNumber(section, key, &n) ? n : -999;
  }

  TempFile file_;
  DWPlatformInfo info_;
};

TEST_F(DWPlatformInfoTest, ReadsSectionsNumbersAndTextsAndReportsMalformedLines) {
  file_.write("# comment\n[BLR]\nnCtrlTimeoutSecs = 30\nsCacheDir = \" /a b \"\nnHex=0x10\n"
              "nBad = 12x\n; other comment\n[EventManager]\nBLR_DEBUGLEVEL=3\n");
  ASSERT_OK(DWPlatformInfo::loadRegistryFile(file_.path()));
  EXPECT_EQ(number("BLR", "nCtrlTimeoutSecs"), 30);
  EXPECT_EQ(number("BLR", "nHex"), 16);
  EXPECT_EQ(number("BLR", "nBad"), -999);  // not a number
  EXPECT_EQ(number("EventManager", "BLR_DEBUGLEVEL"), 3);
  EXPECT_EQ(number("EventManager", "nCtrlTimeoutSecs"), -999);  // other section
  std::string s;
  EXPECT_TRUE(info_.getString("BLR", "sCacheDir", &s));
  EXPECT_EQ(s, " /a b ");
  EXPECT_FALSE(info_.getString("BLR", "sMissing", &s));

  file_.write("[BLR]\nnA = 1\njust text\n");
  EXPECT_THAT(DWPlatformInfo::loadRegistryFile(file_.path()).Summary(), HasSubstr("line 3"));
  EXPECT_EQ(number("BLR", "nA"), 1);  // the good lines still count
}

// A value read once serves until the registry changes or its keeper refuses
// it; a failed read is not kept, and past its bound the cache starts over.
TEST_F(DWPlatformInfoTest, CachedValuesAreReadAgainOnlyOnceTheRegistryChanged) {
  DwRegistryCache<std::string> cache(2);
  int reads = 0;
  auto read = [&](std::string* value) {
    ++reads;
    return info_.getString("S", "k", value) != 0;
  };
  DwRegistryCache<std::string>::Shared value;
  EXPECT_FALSE(cache.get("a", &value, read));  // no value: nothing kept
  DWPlatformInfo::setValue("S", "k", "one");
  ASSERT_TRUE(cache.get("a", &value, read));
  ASSERT_TRUE(cache.get("a", &value, read));
  EXPECT_EQ(*value, "one");
  EXPECT_EQ(reads, 2);

  DWPlatformInfo::setValue("S", "k", "two");
  ASSERT_TRUE(cache.get("a", &value, read));
  EXPECT_EQ(*value, "two");
  ASSERT_TRUE(cache.get("a", &value, read, [](const std::string& kept) { return kept != "two"; }));
  EXPECT_EQ(reads, 4);

  ASSERT_TRUE(cache.get("b", &value, read));
  ASSERT_TRUE(cache.get("c", &value, read));  // a third key: the cache starts over
  ASSERT_TRUE(cache.get("a", &value, read));
  EXPECT_EQ(reads, 7);
}

}  // namespace

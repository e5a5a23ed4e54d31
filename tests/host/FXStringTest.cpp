#include <gtest/gtest.h>

#include "host/base/FXString.h"

namespace {

TEST(FXString, AnyBytesComeBackByteForByteAndOddWideValuesAreReplaced) {
  EXPECT_EQ(FXString::FromString("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"),  // a é € 😀 z
            std::wstring(L"a\u00E9\u20AC\U0001F600z"));
  EXPECT_EQ(FXString::FromString(std::string("\xFF", 1)),
            std::wstring(1, static_cast<wchar_t>(0xDCFF)));
  const std::string samples[] = {
      "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z",
      std::string("\xFF\xFE\x80", 3),        // never valid
      std::string("ab\xC3", 3),              // truncated sequence at the end
      std::string("\xC0\xAF", 2),            // overlong '/'
      std::string("\xED\xB2\x80", 3),        // UTF-8 of an escape code point itself
      std::string("\xF4\x90\x80\x80", 4),    // above U+10FFFF
      std::string("x\xE2\x82y\xC3\xA9", 6),  // broken sequence followed by a good one
  };
  for (const std::string& s : samples)
    EXPECT_EQ(FXString::ToString(FXString::FromString(s).c_str()), s);
  // Null and unencodable wide values.
  EXPECT_EQ(FXString::ToString(nullptr), "");
  const wchar_t odd[] = {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), 0};
  EXPECT_EQ(FXString::ToString(odd), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace

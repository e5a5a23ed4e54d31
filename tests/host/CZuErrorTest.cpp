#include "support/Check.h"

namespace {

CZuError failingCallee() { return FXErrorUtil::ErrorInt(FXLOC, 7, "inner %d", 42); }

TEST(CZuError, StackIsOutermostFirstWithLocations) {
  CZuError err = failingCallee();
  err.Push(FXLOC);
  err.Push(FXLOC, "outer %s", "context");
  EXPECT_EQ(FXErrorUtil::GetInt(err), 7);  // pushes keep the code
  std::string text = err.AsString();
  EXPECT_LT(text.find("outer context"), text.find("inner 42"));
  EXPECT_THAT(text, HasSubstr("CZuErrorTest:"));  // file without extension
  EXPECT_THAT(text, Not(HasSubstr("CZuErrorTest.cpp")));
  EXPECT_THAT(text, HasSubstr("failingCallee"));
  EXPECT_EQ(err.Summary(), "outer context: inner 42");

  std::string big(5000, 'x');  // long messages are kept whole
  EXPECT_EQ(FXErrorUtil::ErrorInt(FXLOC, 1, "%s", big.c_str()).Summary(), big);
}

}  // namespace

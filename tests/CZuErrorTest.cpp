#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "host/CZuError.h"

namespace {

CZuError failingCallee() { return FXErrorUtil::ErrorInt(FXLOC, 7, "inner %d", 42); }

TEST(CZuError, DefaultIsSuccessAndPushKeepsItSo) {
  CZuError err;
  EXPECT_FALSE(err.IsError());
  err.Push(FXLOC, "ignored");
  EXPECT_FALSE(err.IsError());
  EXPECT_EQ(err.AsString(), "");
  EXPECT_EQ(FXErrorUtil::GetInt(err), 0);
}

TEST(CZuError, StackIsOutermostFirstWithLocations) {
  CZuError err = failingCallee();
  err.Push(FXLOC);
  err.Push(FXLOC, "outer %s", "context");
  EXPECT_TRUE(err.IsError());
  EXPECT_EQ(FXErrorUtil::GetInt(err), 7);  // pushes keep the code
  std::string text = err.AsString();
  size_t outer = text.find("outer context");
  size_t inner = text.find("inner 42");
  ASSERT_NE(outer, std::string::npos);
  ASSERT_NE(inner, std::string::npos);
  EXPECT_LT(outer, inner);
  EXPECT_NE(text.find("CZuErrorTest:"), std::string::npos);  // file without extension
  EXPECT_EQ(text.find("CZuErrorTest.cpp"), std::string::npos);
  EXPECT_NE(text.find("failingCallee"), std::string::npos);
  EXPECT_EQ(err.Summary(), "outer context: inner 42");
}

TEST(CZuError, CopiesShareDetails) {
  CZuError a = failingCallee();
  CZuError b = a;
  b.Push(FXLOC, "pushed on the copy");
  EXPECT_NE(a.AsString().find("pushed on the copy"), std::string::npos);
  b.Success();
  EXPECT_FALSE(b.IsError());
  EXPECT_TRUE(a.IsError());
}

TEST(CZuError, ErrNoCarriesNumberAndSystemText) {
  CZuError err = FXErrorUtil::ErrorErrNo(FXLOC, ECONNREFUSED, "Couldn't connect to %s", "h");
  EXPECT_TRUE(err.IsError());
  EXPECT_EQ(FXErrorUtil::GetInt(err), ECONNREFUSED);
  EXPECT_NE(err.Summary().find("Couldn't connect to h: "), std::string::npos);
  EXPECT_NE(err.Summary().find(std::strerror(ECONNREFUSED)), std::string::npos);
}

TEST(CZuError, ErrorWithCodeZeroIsStillAnError) {
  CZuError err = FXErrorUtil::ErrorErrNo(FXLOC, 0, "odd");
  EXPECT_TRUE(err.IsError());
}

TEST(CZuError, LongMessagesAreKeptWhole) {
  std::string big(5000, 'x');
  CZuError err = FXErrorUtil::ErrorInt(FXLOC, 1, "%s", big.c_str());
  EXPECT_EQ(err.Summary(), big);
}

}  // namespace

// Assertions on error values.
#ifndef BLR_TESTS_SUPPORT_CHECK_H
#define BLR_TESTS_SUPPORT_CHECK_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "host/base/CZuError.h"

inline ::testing::AssertionResult IsOk(const char* expr, const CZuError& err) {
  if (!err.IsError()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << expr << " failed: " << err.AsString();
}
#define EXPECT_OK(expr) EXPECT_PRED_FORMAT1(IsOk, expr)
#define ASSERT_OK(expr) ASSERT_PRED_FORMAT1(IsOk, expr)

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// "<code>: <one-line messages>", or "ok": one comparison checks both.
inline std::string failure(const CZuError& err) {
  return err.IsError() ? std::to_string(err.Code()) + ": " + err.Summary() : "ok";
}

#endif  // BLR_TESTS_SUPPORT_CHECK_H

// Assertions on error values.
#ifndef BLR_TESTS_SUPPORT_CHECK_H
#define BLR_TESTS_SUPPORT_CHECK_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "host/CZuError.h"

#define EXPECT_OK(expr)                              \
  do {                                               \
    CZuError err_ = (expr);                          \
    EXPECT_FALSE(err_.IsError()) << err_.AsString(); \
  } while (0)
#define ASSERT_OK(expr)                              \
  do {                                               \
    CZuError err_ = (expr);                          \
    ASSERT_FALSE(err_.IsError()) << err_.AsString(); \
  } while (0)

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// "<code>: <one-line messages>", or "ok": one comparison checks both.
inline std::string failure(const CZuError& err) {
  return err.IsError() ? std::to_string(err.Code()) + ": " + err.Summary() : "ok";
}

#endif  // BLR_TESTS_SUPPORT_CHECK_H

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BLR/DwCriticalSection.h"

namespace {

TEST(DwCriticalSection, NullGuardDoesNothing) { DwCriticalSectionLock guard(nullptr); }

TEST(DwCriticalSection, GuardReleasesAtScopeEnd) {
  DwCriticalSection cs;
  { DwCriticalSectionLock guard(&cs); }
  std::atomic<bool> entered{false};
  std::thread other([&] {
    DwCriticalSectionLock guard(&cs);
    entered = true;
  });
  other.join();
  EXPECT_TRUE(entered);
}

TEST(DwCriticalSection, ExcludesOtherThreads) {
  DwCriticalSection cs;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        DwCriticalSectionLock guard(&cs);
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

}  // namespace

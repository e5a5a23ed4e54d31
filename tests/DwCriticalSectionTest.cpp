#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BLR/DwCriticalSection.h"

namespace {

TEST(DwCriticalSection, GuardsExcludeOtherThreadsUntilScopeEnd) {
  { DwCriticalSectionLock nothing(nullptr); }  // a null guard does nothing
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

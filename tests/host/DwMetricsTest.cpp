// The link's per-request counters of the monitoring listener under concurrent
// updates and made-up names (the exposition text: MonitorTest's scrapes).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "host/link/DwLinkTraffic.h"
#include "host/metrics/DwMetrics.h"

namespace {

// Threads answering known and made-up names at once: nothing is lost, and
// names past the cap are counted together.
TEST(DwLinkTrafficTest, CountsEveryRequestAndCapsTheNames) {
  DwLinkTraffic traffic;
  const int kThreads = 4, kEach = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&traffic, t] {
      for (int i = 0; i < kEach; ++i) {
        traffic.answered("BLR", "get_pairs", 0.001, i % 10 == 0);
        traffic.answered("BLR", "made_up_" + std::to_string(t * kEach + i), 0.002, true);
        traffic.frameIn(100);
      }
    });
  for (std::thread& t : threads) t.join();
  uint64_t answered = 0, failed = 0, named = 0, other = 0;
  traffic.forEachRequest([&](const DwLinkTraffic::Request& r) {
    ++named;
    answered += r.answered.value();
    failed += r.failed.value();
    if (r.name == "get_pairs") {
      EXPECT_EQ(r.answered.value(), uint64_t(kThreads * kEach));
    }
    if (r.name == DwLinkTraffic::kOtherName) other = r.answered.value();
  });
  EXPECT_EQ(named, uint64_t(DwLinkTraffic::kMaxNames + 1));
  EXPECT_EQ(answered, uint64_t(2 * kThreads * kEach));
  EXPECT_EQ(failed, uint64_t(kThreads * kEach / 10 + kThreads * kEach));
  EXPECT_EQ(other, uint64_t(kThreads * kEach - (DwLinkTraffic::kMaxNames - 1)));
  EXPECT_EQ(traffic.framesIn(), uint64_t(kThreads * kEach));
}

}  // namespace

#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BLR/BlrBufCache.h"

namespace {

constexpr int KiB = 1024;
constexpr int MiB = 1024 * 1024;

class BlrBufCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { BlrBufCache::clear(); }
  void TearDown() override { BlrBufCache::clear(); }

  // get() that also returns the real size.
  static std::pair<void*, int> take(int size) {
    int actual = -1;
    void* buf = BlrBufCache::get(size, &actual);
    return {buf, actual};
  }
};

TEST_F(BlrBufCacheTest, RequestsRoundUpToTheirClass) {
  struct {
    int request, expected;
  } cases[] = {{-5, KiB},          {0, KiB},      {1, KiB},          {KiB, KiB},
               {KiB + 1, 2 * KiB}, {MiB, MiB},    {MiB + 1, 2 * MiB}, {2 * MiB, 2 * MiB},
               {2 * MiB + 1, 2 * MiB + 1},  // above the classes: exactly what was asked
               {3000000, 3000000}};
  for (const auto& c : cases) {
    auto [buf, actual] = take(c.request);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(actual, c.expected) << c.request;
    std::memset(buf, 0xA5, size_t(actual));  // the whole buffer is usable
    std::free(buf);
  }
}

TEST_F(BlrBufCacheTest, EachClassReusesItsNewestBuffer) {
  std::vector<void*> bufs;
  for (int i = 0; i < 3; ++i) bufs.push_back(take(KiB).first);
  void* bigger = take(4 * KiB).first;
  for (void* b : bufs) BlrBufCache::put(b, KiB);
  BlrBufCache::put(bigger, 4 * KiB);
  EXPECT_EQ(BlrBufCache::cachedBytes(), 7 * KiB);

  EXPECT_EQ(take(KiB).first, bufs[2]);
  EXPECT_EQ(take(1).first, bufs[1]);
  EXPECT_EQ(take(1000).first, bufs[0]);
  auto fresh = take(KiB);  // class 0 is empty; class 2 is not touched
  EXPECT_NE(fresh.first, bigger);
  EXPECT_EQ(BlrBufCache::cachedBytes(), 4 * KiB);
  EXPECT_EQ(take(3 * KiB), std::make_pair(bigger, 4 * KiB));
  for (void* b : bufs) std::free(b);
  std::free(fresh.first);
  std::free(bigger);
}

TEST_F(BlrBufCacheTest, BuffersAboveTheClassesKeepTheirExactSize) {
  auto [buf, actual] = take(3000000);
  ASSERT_EQ(actual, 3000000);
  BlrBufCache::put(buf, actual);
  EXPECT_EQ(BlrBufCache::cachedBytes(), 3000000);
  auto exact = take(2500000);  // above 2 MiB: never served from the cache
  EXPECT_EQ(exact.second, 2500000);
  std::free(exact.first);
  auto again = take(2000000);
  EXPECT_EQ(again, std::make_pair(buf, 3000000));
  EXPECT_EQ(BlrBufCache::cachedBytes(), 0);
  std::free(buf);
}

TEST_F(BlrBufCacheTest, BuffersOutsideTheClassesAreFreedUntouched) {
  // Under AddressSanitizer a write of the bookkeeping into the 16-byte
  // buffer would be reported.
  for (int size : {16, 512, KiB - 1, 4 * MiB, 5 * MiB}) BlrBufCache::put(std::malloc(size), size);
  BlrBufCache::put(nullptr, KiB);
  EXPECT_EQ(BlrBufCache::cachedBytes(), 0);
  BlrBufCache::put(std::malloc(4 * MiB - 1), 4 * MiB - 1);
  EXPECT_EQ(BlrBufCache::cachedBytes(), 4 * MiB - 1);
}

TEST_F(BlrBufCacheTest, TrimDropsTheOldestAboveTheLimit) {
  std::vector<void*> bufs;
  for (int i = 0; i < 300; ++i) bufs.push_back(take(MiB).first);
  for (void* b : bufs) BlrBufCache::put(b, MiB);
  EXPECT_EQ(BlrBufCache::cachedBytes(), 300LL * MiB);  // put never trims

  // The next get frees the 44 oldest, leaving exactly 256 MiB, then takes one.
  EXPECT_EQ(take(MiB).first, bufs[299]);
  EXPECT_EQ(BlrBufCache::cachedBytes(), 255LL * MiB);
  for (int i = 298; i >= 44; --i) ASSERT_EQ(take(MiB).first, bufs[i]) << i;
  EXPECT_EQ(BlrBufCache::cachedBytes(), 0);
  for (int i = 44; i < 300; ++i) std::free(bufs[i]);
}

TEST_F(BlrBufCacheTest, ConcurrentGetAndPutNeverShareABuffer) {
  constexpr int kThreads = 4, kRounds = 1500;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      std::mt19937 gen(t);
      std::uniform_int_distribution<int> sizes(1, 3 * MiB);
      for (int i = 0; i < kRounds; ++i) {
        int actual = 0;
        int size = sizes(gen) >> (gen() % 12);  // spread over every class
        char* buf = static_cast<char*>(BlrBufCache::get(size, &actual));
        if (buf == nullptr || actual < size) {
          ++failures[t];
          continue;
        }
        // Mark the buffer as ours; a buffer handed to two threads at once
        // would show another mark.
        char mark = char('a' + t);
        buf[0] = buf[actual / 2] = buf[actual - 1] = mark;
        std::this_thread::yield();
        if (buf[0] != mark || buf[actual / 2] != mark || buf[actual - 1] != mark) ++failures[t];
        BlrBufCache::put(buf, actual);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  EXPECT_GE(BlrBufCache::cachedBytes(), 0);
  EXPECT_LE(BlrBufCache::cachedBytes(), BlrBufCache::kTrimAbove + kThreads * 4LL * MiB);
}

}  // namespace

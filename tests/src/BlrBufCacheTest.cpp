#include <atomic>
#include <cstdlib>
#include <cstring>
#include <future>
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

  // get() with the real size.
  static std::pair<void*, int> take(int size) {
    int actual = -1;
    void* buf = BlrBufCache::get(size, &actual);
    return {buf, actual};
  }
};

TEST_F(BlrBufCacheTest, RequestsRoundUpToTheirClassAndAbove2MiBAreExact) {
  const std::pair<int, int> cases[] = {{0, KiB}, {KiB + 1, 2 * KiB}, {2 * MiB, 2 * MiB},
                                        {2 * MiB + 1, 2 * MiB + 1}};
  for (auto [request, expected] : cases) {
    auto [buf, actual] = take(request);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(actual, expected) << request;
    std::memset(buf, 0xA5, size_t(actual));  // the whole buffer is usable
    std::free(buf);
  }
}

TEST_F(BlrBufCacheTest, EachClassReusesItsNewestBuffer) {
  void* small[3] = {take(KiB).first, take(KiB).first, take(KiB).first};
  void* bigger = take(4 * KiB).first;
  for (void* b : small) BlrBufCache::put(b, KiB);
  BlrBufCache::put(bigger, 4 * KiB);
  EXPECT_EQ(BlrBufCache::cachedBytes(), 7 * KiB);

  EXPECT_EQ(take(KiB).first, small[2]);
  EXPECT_EQ(take(1).first, small[1]);
  EXPECT_EQ(take(1000).first, small[0]);
  auto fresh = take(KiB);  // class 0 is empty now; the 4 KiB buffer stays put
  EXPECT_EQ(BlrBufCache::cachedBytes(), 4 * KiB);
  EXPECT_EQ(take(3 * KiB), std::make_pair(bigger, 4 * KiB));
  for (void* b : {small[0], small[1], small[2], fresh.first, bigger}) std::free(b);
}

TEST_F(BlrBufCacheTest, BuffersOutsideTheClassesAreFreedUntouched) {
  // AddressSanitizer reports any bookkeeping written into the small buffers.
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

// A thread's newest buffer of each class is its own until the thread ends;
// then any thread may reuse it.
TEST_F(BlrBufCacheTest, AThreadsOwnBuffersAreSharedOnceItEnds) {
  void* own[2] = {nullptr, nullptr};
  std::promise<void> put, done;
  std::thread owner([&] {
    own[0] = take(64 * KiB).first;
    own[1] = take(MiB).first;
    BlrBufCache::put(own[0], 64 * KiB);
    BlrBufCache::put(own[1], MiB);
    EXPECT_EQ(BlrBufCache::cachedBytes(), MiB + 64 * KiB);
    put.set_value();
    done.get_future().wait();
  });
  put.get_future().wait();
  EXPECT_EQ(BlrBufCache::cachedBytes(), 0);
  auto other = take(64 * KiB);
  EXPECT_NE(other.first, own[0]);
  std::free(other.first);
  done.set_value();
  owner.join();
  EXPECT_EQ(BlrBufCache::cachedBytes(), MiB + 64 * KiB);
  EXPECT_EQ(take(64 * KiB).first, own[0]);
  EXPECT_EQ(take(MiB).first, own[1]);
  EXPECT_EQ(BlrBufCache::cachedBytes(), 0);
  for (void* b : own) std::free(b);
}

TEST_F(BlrBufCacheTest, ConcurrentGetAndPutNeverShareABuffer) {
  std::atomic<int> failures{0};
  auto churn = [&failures](int seed) {
    std::mt19937 gen(seed);
    const char mark = char('a' + seed);  // a buffer handed out twice shows another mark
    for (int i = 0; i < 1500; ++i) {
      int size = int(gen() % (3 * MiB)) >> (gen() % 12), actual = 0;
      char* buf = static_cast<char*>(BlrBufCache::get(size, &actual));
      buf[0] = buf[actual - 1] = mark;
      std::this_thread::yield();
      if (actual < size || buf[0] != mark || buf[actual - 1] != mark) ++failures;
      BlrBufCache::put(buf, actual);
    }
  };
  std::thread threads[] = {std::thread(churn, 0), std::thread(churn, 1), std::thread(churn, 2),
                           std::thread(churn, 3)};
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_LE(BlrBufCache::cachedBytes(), BlrBufCache::kTrimAbove + 4 * 4LL * MiB);
}

}  // namespace

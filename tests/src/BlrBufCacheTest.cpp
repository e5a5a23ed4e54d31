#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BLR/BlrBufCache.h"
#include "base/BlrTesting.h"

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
  const std::pair<int, int> cases[] = {{0, KiB},           {1, KiB},
                                        {KiB, KiB},         {KiB + 1, 2 * KiB},
                                        {2 * MiB, 2 * MiB}, {2 * MiB + 1, 2 * MiB + 1}};
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

// The kernel's huge-page setting, e.g. "always [madvise] never"; empty
// without support.
std::string hugePageSetting() {
  std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string line;
  std::getline(in, line);
  return line;
}

// The "THPeligible" flag of the mapping that holds `p`, or -1 when absent.
int hugePageEligible(const void* p) {
  std::ifstream smaps("/proc/self/smaps");
  const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    uintptr_t from = 0, to = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> from >> dash >> to && dash == '-' && line.find(' ') > line.find('-')) {
      inside = from <= addr && addr < to;
    } else if (inside && line.rfind("THPeligible:", 0) == 0) {
      return std::atoi(line.c_str() + 12);
    }
  }
  return -1;
}

// Buffers of the top class and above ask for huge pages when the kernel
// offers them; without, they are plain heap blocks.  Either way the whole
// buffer is usable, put and trim take it back, and free() releases it.
TEST_F(BlrBufCacheTest, LargeBuffersUseHugePagesOnlyWhereOffered) {
  const std::string setting = hugePageSetting();
  const bool offered = setting.find("[always]") != std::string::npos || setting.find("[madvise]") != std::string::npos;
  // Under "always" every large mapping is eligible; only "madvise" tells.
  const bool tells = setting.find("[madvise]") != std::string::npos;
  for (bool allow : {false, true}) {
    SCOPED_TRACE(allow ? "huge pages allowed" : "as without huge pages");
    blrBufCacheAllowHugePagesForTesting(allow);
    const bool advised = allow && offered;

    // Above glibc's largest mmap threshold: a mapping of its own.  Heap
    // ranges tell nothing: advice stays on a range after its buffer is
    // freed, and the kernel may keep an advised range split in pieces too
    // small for a huge page.
    auto [big, bigSize] = take(34 * MiB);
    ASSERT_NE(big, nullptr);
    for (int at = 0; at < bigSize; at += MiB) static_cast<char*>(big)[at] = 1;
    if (tells) {
      EXPECT_EQ(hugePageEligible(big), advised ? 1 : 0);
    }
    BlrBufCache::put(big, bigSize);  // 4 MiB and more: freed at once
    EXPECT_EQ(BlrBufCache::cachedBytes(), 0);

    std::vector<std::pair<void*, int>> bufs = {take(2 * MiB), take(3000000), take(2 * MiB)};
    for (auto [buf, actual] : bufs) {
      ASSERT_NE(buf, nullptr);
      std::memset(buf, 0x5A, size_t(actual));
      if (advised) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(buf) % (2 * MiB), 0u);
      }
    }
    std::free(bufs[2].first);  // a cache buffer is a heap block
    BlrBufCache::put(bufs[0].first, bufs[0].second);
    BlrBufCache::put(bufs[1].first, bufs[1].second);
    EXPECT_EQ(BlrBufCache::cachedBytes(), 2 * MiB + 3000000);
    auto exact = take(2500000);  // above 2 MiB: never served from the cache
    EXPECT_NE(exact.first, bufs[1].first);
    std::free(exact.first);
    EXPECT_EQ(take(2 * MiB), bufs[1]);  // the newest of the top class, whatever its size
    BlrBufCache::put(bufs[1].first, bufs[1].second);
    EXPECT_EQ(BlrBufCache::cachedBytes(), 2 * MiB + 3000000);
    BlrBufCache::clear();  // frees both
    EXPECT_EQ(BlrBufCache::cachedBytes(), 0);
  }
  blrBufCacheAllowHugePagesForTesting(true);
}

}  // namespace

// Throughput of BlrUtils::checksum next to two plain reads that sum the same
// buffer as 64-bit words: the loop the compiler vectorises, and a tuned read
// (two accumulators, prefetch), the fastest plain read found on the build
// machine.  The three are timed in every iteration, in rotating order;
// "ratio" is the median over the iterations of the checksum's throughput
// over the vectorised read's, "ratio_tuned" over the tuned read's.  The
// second argument is 1 when the checksum may use AVX2, 0 for its SSE2 path.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <immintrin.h>

#include <benchmark/benchmark.h>

#include "BLR/BlrUtils.h"
#include "base/BlrTesting.h"

namespace {

using Clock = std::chrono::steady_clock;

// At -O2 GCC leaves this loop scalar unless asked: "tree-vectorize" with
// AVX2 turns it into one `vpaddq (mem), %ymm, %ymm` per 32 bytes (see
// `objdump -d checksum_bench`), the fastest a plain read of the buffer goes.
__attribute__((noinline, target("avx2"), optimize("tree-vectorize")))
uint64_t plainRead(const unsigned char* p, size_t size) {
  uint64_t sum = 0;
  for (size_t i = 0; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    sum += word;
  }
  return sum;
}

// Two accumulators, so that no add waits for the previous one, and the line
// 2 KiB ahead prefetched once per 64 bytes, as the checksum does
// (`objdump -d checksum_bench`: 2 load-adds, 1 prefetch and the loop's
// counting per 64 bytes).  The tail, under 64 bytes, is left out.
__attribute__((noinline, target("avx2")))
uint64_t tunedRead(const unsigned char* p, size_t size) {
  __m256i a = _mm256_setzero_si256(), b = a;
  for (size_t i = 0; i + 64 <= size; i += 64) {
    _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(p + i) + 2048), _MM_HINT_T0);
    a = _mm256_add_epi64(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
    b = _mm256_add_epi64(b, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32)));
  }
  uint64_t lanes[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), _mm256_add_epi64(a, b));
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

std::vector<unsigned char> randomBuffer(size_t size) {
  std::vector<unsigned char> buf(size);
  std::mt19937_64 rng(42);
  for (auto& b : buf) b = static_cast<unsigned char>(rng());
  return buf;
}

// Seconds that `reps` runs of `fn` take.
template <typename Fn>
double timeRuns(int reps, Fn fn) {
  auto start = Clock::now();
  for (int i = 0; i < reps; ++i) fn();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_Checksum(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  blrChecksumAllowAvx2ForTesting(state.range(1) != 0);
  const std::vector<unsigned char> buf = randomBuffer(size);
  // Small buffers are repeated so each timed span is long next to the clock.
  const int reps = size < (1u << 20) ? static_cast<int>((1u << 20) / size) : 1;
  auto checksum = [&] { benchmark::DoNotOptimize(BlrUtils::checksum(buf.data(), static_cast<int>(size))); };
  auto plain = [&] { benchmark::DoNotOptimize(plainRead(buf.data(), size)); };
  auto tuned = [&] { benchmark::DoNotOptimize(tunedRead(buf.data(), size)); };
  double secs[3] = {0, 0, 0};  // checksum, plain, tuned
  std::vector<double> ratios, tunedRatios;
  int first = 0;
  for (auto _ : state) {
    double t[3];
    for (int k = 0; k < 3; ++k) {
      const int which = (first + k) % 3;
      t[which] = which == 0 ? timeRuns(reps, checksum) : which == 1 ? timeRuns(reps, plain) : timeRuns(reps, tuned);
    }
    first = (first + 1) % 3;
    for (int k = 0; k < 3; ++k) secs[k] += t[k];
    ratios.push_back(t[1] / t[0]);
    tunedRatios.push_back(t[2] / t[0]);
    state.SetIterationTime(t[0]);
  }
  const double bytes = static_cast<double>(size) * reps * static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["checksum_GBps"] = bytes / secs[0] / 1e9;
  state.counters["plain_GBps"] = bytes / secs[1] / 1e9;
  state.counters["tuned_GBps"] = bytes / secs[2] / 1e9;
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
  };
  state.counters["ratio"] = median(ratios);
  state.counters["ratio_tuned"] = median(tunedRatios);
  blrChecksumAllowAvx2ForTesting(true);
}

BENCHMARK(BM_Checksum)->UseManualTime()->ArgsProduct({{4 << 10, 64 << 10, 1 << 20, 64 << 20}, {1, 0}});

}  // namespace

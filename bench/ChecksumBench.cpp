// Throughput of BlrUtils::checksum next to a plain read that sums the same
// buffer as 64-bit words, in a loop the compiler vectorises.  Both are timed
// in every iteration, in alternating order; "ratio" is the median over the
// iterations of the checksum's throughput over the plain read's.  The second
// argument is 1 when the checksum may use AVX2, 0 for its SSE2 path.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "BLR/BlrUtils.h"
#include "BlrTesting.h"

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
  double checksumSecs = 0, plainSecs = 0;
  std::vector<double> ratios;
  bool checksumFirst = true;
  for (auto _ : state) {
    double c, p;
    if (checksumFirst) {
      c = timeRuns(reps, checksum);
      p = timeRuns(reps, plain);
    } else {
      p = timeRuns(reps, plain);
      c = timeRuns(reps, checksum);
    }
    checksumFirst = !checksumFirst;
    checksumSecs += c;
    plainSecs += p;
    ratios.push_back(p / c);
    state.SetIterationTime(c);
  }
  const double bytes = static_cast<double>(size) * reps * static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["checksum_GBps"] = bytes / checksumSecs / 1e9;
  state.counters["plain_GBps"] = bytes / plainSecs / 1e9;
  std::sort(ratios.begin(), ratios.end());
  state.counters["ratio"] = ratios.empty() ? 0 : ratios[ratios.size() / 2];
  blrChecksumAllowAvx2ForTesting(true);
}

BENCHMARK(BM_Checksum)->UseManualTime()->ArgsProduct({{4 << 10, 64 << 10, 1 << 20, 64 << 20}, {1, 0}});

}  // namespace

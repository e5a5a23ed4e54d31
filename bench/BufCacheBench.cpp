// A buffer's life cycle through the cache against the same cycle through the
// heap: obtain, write the first byte of every page, give back.
#include <malloc.h>

#include <cstdlib>

#include "BLR/BlrBufCache.h"
#include "BenchRatio.h"

namespace {

void touchEveryPage(char* p, int size) {
  for (int i = 0; i < size; i += 4096) p[i] = static_cast<char>(i >> 12);
  benchmark::ClobberMemory();
}

void BM_HeapCycle(benchmark::State& state) {
  int size = static_cast<int>(state.range(0));
  for (auto _ : state) {
    char* p = static_cast<char*>(std::malloc(size));
    touchEveryPage(p, size);
    std::free(p);
  }
}

void BM_CacheCycle(benchmark::State& state) {
  int size = static_cast<int>(state.range(0));
  BlrBufCache::clear();
  for (auto _ : state) {
    int actual = 0;
    char* p = static_cast<char*>(BlrBufCache::get(size, &actual));
    touchEveryPage(p, size);
    BlrBufCache::put(p, actual);
  }
  BlrBufCache::clear();
}

// glibc raises its mmap threshold after the first large free, so the plain
// heap cycle above reuses resident pages.  Here the threshold stays at its
// 128 KiB default, as in a process whose heap is fragmented or tuned: large
// buffers are mapped and unmapped on every cycle.  Registered last because
// the setting holds for the rest of the process.
void BM_HeapCycleMapped(benchmark::State& state) {
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  BM_HeapCycle(state);
}

const int64_t kSizes[] = {64 << 10, 1 << 20, 3 << 20};

void sizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : kSizes) b->Arg(size);
}

BENCHMARK(BM_HeapCycle)->Apply(sizes);
BENCHMARK(BM_CacheCycle)->Apply(sizes);
BENCHMARK(BM_HeapCycleMapped)->Apply(sizes);

}  // namespace

int main(int argc, char** argv) {
  return runWithRatios(argc, argv, {{"BM_HeapCycle", "BM_CacheCycle"},
                                    {"BM_HeapCycleMapped", "BM_CacheCycle"}});
}

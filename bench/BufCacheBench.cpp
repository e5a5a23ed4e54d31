// A buffer's life cycle through the cache against the same cycle through the
// heap: obtain, write the first byte of every page, give back.
#include <sys/mman.h>

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

// glibc raises its mmap threshold after the first large free, so the heap
// cycle above ends up reusing resident pages.  Below the threshold's default
// (128 KiB), or with the threshold fixed, a large malloc maps fresh pages and
// free unmaps them: that cycle, done directly.
void BM_MapCycle(benchmark::State& state) {
  size_t size = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    touchEveryPage(static_cast<char*>(p), static_cast<int>(size));
    munmap(p, size);
  }
}

const int64_t kSizes[] = {64 << 10, 1 << 20, 3 << 20};

void sizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : kSizes) b->Arg(size);
}

BENCHMARK(BM_HeapCycle)->Apply(sizes);
BENCHMARK(BM_CacheCycle)->Apply(sizes);
BENCHMARK(BM_MapCycle)->Apply(sizes);

}  // namespace

int main(int argc, char** argv) {
  return runWithRatios(argc, argv, {{"BM_HeapCycle", "BM_CacheCycle"},
                                    {"BM_MapCycle", "BM_CacheCycle"}});
}

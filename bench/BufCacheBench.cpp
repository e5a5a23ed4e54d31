// A buffer's life cycle through the cache against the same cycle through the
// heap: obtain, write the first byte of every page, give back.  Interleaved
// rounds, median of the per-round ratios (BenchRounds.h), twice: with glibc
// as it comes (it raises its mmap threshold after the first large free, so
// its cycle reuses resident pages), and with the threshold fixed at 128 KiB
// through GLIBC_TUNABLES, an allocator that returns large buffers to the
// system at once.  The second run is this program again, with the tunable
// set before glibc starts.  Rounds are timed by the thread's CPU time (user
// and system: the heap's mmap, munmap and page faults count), so that on a
// shared machine a round's ratio does not depend on how often the scheduler
// took the core away; BENCH_WALL=1 times them by the wall clock instead.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "BLR/BlrBufCache.h"
#include "BenchRounds.h"

namespace {

const char kTunable[] = "glibc.malloc.mmap_threshold=131072";
BenchClock gClock = std::getenv("BENCH_WALL") ? BenchClock::kWall : BenchClock::kThreadCpu;

void touchEveryPage(char* p, int size) {
  for (int i = 0; i < size; i += 4096) p[i] = static_cast<char>(i >> 12);
  asm volatile("" : : "r"(p) : "memory");
}

void heapCycles(int size, int ops) {
  for (int i = 0; i < ops; ++i) {
    char* p = static_cast<char*>(std::malloc(size));
    touchEveryPage(p, size);
    std::free(p);
  }
}

void cacheCycles(int size, int ops) {
  for (int i = 0; i < ops; ++i) {
    int actual = 0;
    char* p = static_cast<char*>(BlrBufCache::get(size, &actual));
    touchEveryPage(p, size);
    BlrBufCache::put(p, actual);
  }
}

void compare(const char* allocator, int rounds) {
  for (int size : {64 << 10, 256 << 10, 1 << 20, 2 << 20}) {
    BlrBufCache::clear();
    std::string label = "cache cycle / " + std::string(allocator) + " " + std::to_string(size >> 10) + " KiB";
    // Rounds of a few milliseconds (2 GiB of buffer per round; 2000 cycles
    // where the heap maps and unmaps each buffer), so that a disturbance
    // lands on few rounds.
    int ops = std::getenv("GLIBC_TUNABLES") && size > (128 << 10) ? 2000 : int((int64_t{1} << 31) / size);
    benchInterleave(label, rounds, ops, [&](int n) { heapCycles(size, n); },
                    [&](int n) { cacheCycles(size, n); }, gClock);
  }
  BlrBufCache::clear();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 31;
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (tunables != nullptr && std::strstr(tunables, "mmap_threshold") != nullptr) {
    compare("malloc (mmap_threshold 128 KiB)", rounds);
    return 0;
  }
  compare("malloc (glibc default)", rounds);
  std::fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    setenv("GLIBC_TUNABLES", kTunable, 1);
    execv("/proc/self/exe", argv);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// The LZ4 wrappers against calling liblz4 directly on the same data.
#include <lz4.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BLR/BlrUtils.h"
#include "BenchRatio.h"

namespace {

// Half text-like, half random: compressible, but not trivially.
std::vector<char> sampleData(int size) {
  std::mt19937 gen(42);
  std::vector<char> data;
  data.reserve(size);
  while (static_cast<int>(data.size()) < size) {
    std::string line = "lba " + std::to_string(gen() % 100000) + " len 4096 seq " +
                       std::to_string(data.size()) + "\n";
    data.insert(data.end(), line.begin(), line.end());
    for (int i = 0; i < 24; ++i) data.push_back(static_cast<char>(gen()));
  }
  data.resize(size);
  return data;
}

struct Fixture {
  explicit Fixture(int size)
      : src(sampleData(size)), packed(LZ4_compressBound(size)), out(size) {
    packedSize = LZ4_compress_default(src.data(), packed.data(), size, int(packed.size()));
  }
  std::vector<char> src, packed, out;
  int packedSize;
};

// One fixture per size, shared by the direct and the wrapped calls so that
// both work on the very same buffers.
Fixture& fixture(benchmark::State& state) {
  static std::map<int64_t, std::unique_ptr<Fixture>> fixtures;
  std::unique_ptr<Fixture>& f = fixtures[state.range(0)];
  if (!f) f = std::make_unique<Fixture>(static_cast<int>(state.range(0)));
  return *f;
}

// Times `op` on the fixture of the benchmark's size; `op` leaves its result
// in `n` and returns false on a failure.  Throughput is of uncompressed bytes.
template <class Op>
void run(benchmark::State& state, Op op) {
  Fixture& f = fixture(state);
  for (auto _ : state) {
    int n = 0;
    bool ok = op(f, n);
    benchmark::DoNotOptimize(n);
    if (!ok) state.SkipWithError("the call failed");
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_CompressDirect(benchmark::State& state) {
  run(state, [](Fixture& f, int& n) {
    n = LZ4_compress_default(f.src.data(), f.packed.data(), int(f.src.size()),
                             int(f.packed.size()));
    return n > 0;
  });
}

void BM_CompressWrapper(benchmark::State& state) {
  run(state, [](Fixture& f, int& n) {
    n = int(f.packed.size());
    return !BlrUtils::lz4Compress(f.src.data(), f.packed.data(), int(f.src.size()), n).IsError();
  });
}

void BM_DecompressDirect(benchmark::State& state) {
  run(state, [](Fixture& f, int& n) {
    n = LZ4_decompress_safe(f.packed.data(), f.out.data(), f.packedSize, int(f.out.size()));
    return n >= 0;
  });
}

void BM_DecompressWrapper(benchmark::State& state) {
  run(state, [](Fixture& f, int& n) {
    n = int(f.out.size());
    return !BlrUtils::lz4Decompress(f.packed.data(), f.out.data(), f.packedSize, n).IsError();
  });
}

void sizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : {4 << 10, 64 << 10, 1 << 20}) b->Arg(size);
}

BENCHMARK(BM_CompressDirect)->Apply(sizes);
BENCHMARK(BM_CompressWrapper)->Apply(sizes);
BENCHMARK(BM_DecompressDirect)->Apply(sizes);
BENCHMARK(BM_DecompressWrapper)->Apply(sizes);

}  // namespace

int main(int argc, char** argv) {
  return runWithRatios(argc, argv, {{"BM_CompressDirect", "BM_CompressWrapper"},
                                    {"BM_DecompressDirect", "BM_DecompressWrapper"}});
}

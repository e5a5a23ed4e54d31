// "get_pairs" of every pair, per pair, as the table grows.  ("get_pairs" by
// id against a raw open connection is in pairdb_load_bench.)
#include <benchmark/benchmark.h>

#include "PairDbBenchEnv.h"

namespace {

// The argument is the number of pairs, each with 3 disks.
void BM_GetAllPairs(benchmark::State& state) {
  static std::unique_ptr<PairDbBenchEnv> table;
  static int64_t tableSize = 0;
  if (tableSize != state.range(0)) {
    table.reset();  // drop the smaller table first: one "BLR" service at a time
    table.reset(new PairDbBenchEnv);
    fillPairs(static_cast<int>(state.range(0)));
    tableSize = state.range(0);
  }
  for (auto _ : state) {
    std::list<BlrDB::Pair> pairs;
    must(table->db.getPairs(BlrDB::Pair(), &pairs));
    if (static_cast<int64_t>(pairs.size()) != state.range(0)) state.SkipWithError("short answer");
  }
  state.counters["per_pair"] = benchmark::Counter(
      static_cast<double>(state.range(0)),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_GetAllPairs)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace

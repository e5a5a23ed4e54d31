// Encoding and decoding of pairs with three disks, alone and as a list of
// 10,000, against a memcpy of the same bytes measured in the same run.
//   ns_per_pair  time per pair
//   vs_memcpy    codec time / memcpy time of the encoded bytes
#include <chrono>
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "BLR/BlrDB.h"
#include "support/SamplePair.h"

namespace {

using Clock = std::chrono::steady_clock;

BlrUUID makeUUID(unsigned char seed) {
  unsigned char raw[16];
  for (int i = 0; i < 16; ++i) raw[i] = static_cast<unsigned char>(seed * 16 + i);
  return BlrUUID(raw);
}

BlrDB::Pair makePair(int id) {
  BlrDB::Pair pair;
  pair.id = id;
  pair.subClientId = 1200 + id;
  pair.dstClientId = 31;
  pair.headClientId = 17;
  pair.tailClientId = 18;
  pair.srcType = 1;
  pair.dstType = 2;
  pair.srcName = "web-frontend-0" + std::to_string(id % 10);
  pair.dstName = pair.srcName + "-dr";
  pair.srcGuid = makeUUID(1);
  pair.dstGuid = makeUUID(2);
  pair.statusCode = 5;
  pair.pendingStatusCode = -1;
  pair.eventId = 3;
  pair.rpStoreId = 2;
  pair.lagTime = 45;
  pair.flags = 0;
  pair.statusMessage = "Replicating";
  pair.tailHostName = "proxy-b*8406*8407";
  for (int d = 0; d < 3; ++d) {
    BlrDB::Disk disk;
    disk.id = id * 3 + d;
    disk.srcPath = "[datastore1] web/web_" + std::to_string(d) + ".vmdk";
    disk.dstPath = "[datastore2] web-dr/web_" + std::to_string(d) + ".vmdk";
    disk.srcGuid = makeUUID(static_cast<unsigned char>(3 + d));
    disk.dstGuid = makeUUID(static_cast<unsigned char>(6 + d));
    disk.statusCode = 1;
    pair.disks.push_back(disk);
  }
  return pair;
}

BlrDB::PairList makeList(int count) {
  BlrDB::PairList list;
  for (int i = 0; i < count; ++i) list.push_back(makePair(i));
  return list;
}

// Times `iterations` copies of `bytes` bytes.
double memcpySeconds(size_t bytes, int64_t iterations) {
  std::vector<char> from(bytes, 'x'), to(bytes);
  const auto start = Clock::now();
  for (int64_t i = 0; i < iterations; ++i) {
    benchmark::DoNotOptimize(from.data());
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::ClobberMemory();
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void report(benchmark::State& state, size_t bytes, int pairs, double seconds) {
  const int64_t iterations = state.iterations();
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * iterations);
  state.counters["ns_per_pair"] = seconds * 1e9 / (static_cast<double>(iterations) * pairs);
  state.counters["vs_memcpy"] = seconds / memcpySeconds(bytes, iterations);
}

template <class Record>
void runEncode(benchmark::State& state, const Record& record, int pairs) {
  size_t bytes = 0;
  const auto start = Clock::now();
  for (auto _ : state) {
    DwEbmlBuffer buffer(1024);
    DwEbmlWriter writer(buffer, 0);
    record.serialize(writer);
    bytes = static_cast<size_t>(writer.getSize());
    benchmark::DoNotOptimize(buffer.data);
  }
  report(state, bytes, pairs, std::chrono::duration<double>(Clock::now() - start).count());
}

template <class Record>
void runDecode(benchmark::State& state, const Record& record, int pairs) {
  const std::vector<char> blob = encodeRecord(record);
  Record decoded;
  const auto start = Clock::now();
  for (auto _ : state) {
    CZuError err = decoded.unserialize(blob.data(), static_cast<int>(blob.size()));
    benchmark::DoNotOptimize(err);
  }
  report(state, blob.size(), pairs, std::chrono::duration<double>(Clock::now() - start).count());
}

void BM_EncodePair(benchmark::State& state) { runEncode(state, makePair(7), 1); }
void BM_DecodePair(benchmark::State& state) { runDecode(state, makePair(7), 1); }
void BM_EncodePairList10k(benchmark::State& state) { runEncode(state, makeList(10000), 10000); }
void BM_DecodePairList10k(benchmark::State& state) { runDecode(state, makeList(10000), 10000); }

BENCHMARK(BM_EncodePair);
BENCHMARK(BM_DecodePair);
BENCHMARK(BM_EncodePairList10k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodePairList10k)->Unit(benchmark::kMillisecond);

}  // namespace

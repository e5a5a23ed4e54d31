// "get_pairs" by id: through the service in-process and over the TLS link,
// next to the SQL it runs on a connection of its own (as the service does per
// request); and "get_pairs" of every pair, per pair, as the table grows.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"
#include "PairDbBenchEnv.h"
#include "host/DwLink.h"
#include "host/DwLinkPool.h"
#include "host/DwLinkServer.h"
#include "host/KrpCertAuthority.h"
#include "host/KrpSocket.h"
#include "host/TlsContext.h"

namespace {

using Map = std::map<std::string, std::string>;

struct Env : PairDbBenchEnv {
  int pairId = 0;
  DwLinkServer server;
  DwLinkClientConfig client;

  Env() {
    for (int i = 1; i <= 100; ++i) pairId = addPair(i, 3);
    KrpCertAuthority ca;
    benchMust(KrpCertAuthority::create(dir + "/certs", "Bench CA", 30, &ca));
    benchMust(ca.issue("anchor", KRP_CERT_KIND_CLIENT, 30, dir + "/certs"));
    benchMust(ca.issue("client", KRP_CERT_KIND_CLIENT, 30, dir + "/certs"));
    DwLinkServerConfig sc;
    sc.address = "127.0.0.1";
    sc.port = 0;
    benchMust(TlsContext::create(tls("anchor"), &sc.tls));
    benchMust(server.start(sc));
    client.host = "127.0.0.1";
    client.port = server.port();
    benchMust(TlsContext::create(tls("client"), &client.tls));
  }
  ~Env() {
    server.stop();
    DwLinkPool::instance().clear();
  }
  TlsConfig tls(const std::string& name) const {
    const std::string certs = dir + "/certs";
    return TlsConfig{certs + "/ca.crt", KrpCertAuthority::certPath(certs, name),
                     KrpCertAuthority::keyPath(certs, name)};
  }
};

Env& env() {
  static Env* e = new Env;  // lives to the end: the service is registered
  return *e;
}

void BM_RawGetPairById(benchmark::State& state) {
  const std::string statement =
      "SELECT BlrPair.id, BlrPair.subClientId, BlrPair.dstClientId, BlrPair.headClientId, "
      "BlrPair.tailClientId, BlrPair.srcType, BlrPair.dstType, BlrPair.srcName, "
      "BlrPair.dstName, BlrPair.srcGuid, BlrPair.dstGuid, BlrPair.statusCode, "
      "BlrPair.pendingStatusCode, BlrPair.statusMessage, BlrPair.eventId, BlrPair.rpStoreId, "
      "BlrPair.lagTime, BlrPair.flags, BlrDisk.id, BlrDisk.srcPath, BlrDisk.dstPath, "
      "BlrDisk.srcGuid, BlrDisk.dstGuid, BlrDisk.statusCode, BlrDisk.statusMessage, "
      "APP_Client.name, APP_Client.net_hostname, APP_Client.dwdPort, APP_Client.evmgrcPort "
      "FROM BlrPair INNER JOIN BlrDisk ON BlrPair.id=BlrDisk.pairId INNER JOIN APP_Client ON "
      "BlrPair.tailClientId=APP_Client.id WHERE BlrPair.id=" +
      std::to_string(env().pairId);
  static int32_t n[18];
  static wchar_t w[6][1025];
  static char s[6][257];
  for (auto _ : state) {
    DWSimpleDBConnObject conn;
    benchMust(conn.openSQLConnectionUsingDbName("Anchor"), conn);
    benchMust(conn.execQuery(statement.c_str()), conn);
    benchMust(conn.ibindstruct(
                  "i|i|i|i|i|i|i|w128|w128|s64|s64|i|i|s256|i|i|i|i|i|w1024|w1024|s64|s64|i|"
                  "s256|w256|w256|i|i",
                  &n[0], &n[1], &n[2], &n[3], &n[4], &n[5], &n[6], w[0], w[1], s[0], s[1], &n[7],
                  &n[8], s[2], &n[9], &n[10], &n[11], &n[12], &n[13], w[2], w[3], s[3], s[4],
                  &n[14], s[5], w[4], w[5], &n[15], &n[16]),
              conn);
    int rows = 0;
    while (conn.getNextRow() == 0) ++rows;
    benchmark::DoNotOptimize(rows);
  }
}

void BM_ServiceGetPairById(benchmark::State& state) {
  Env& e = env();
  BlrDB::Pair pair;
  for (auto _ : state) {
    benchMust(e.db.getPair(e.pairId, &pair));
    benchmark::DoNotOptimize(pair);
  }
}

void BM_TlsGetPairById(benchmark::State& state) {
  Env& e = env();
  BlrDB::Pair filter;
  filter.id = e.pairId;
  Map req{{"req", "get_pairs"}};
  blrSetBlob(req, BlrDB::encodePairs({filter}));
  DwLink link("BLR");
  for (auto _ : state) {
    Map resp;
    std::list<BlrDB::Pair> pairs;
    benchMust(link.makeRemoteReq(e.client, req, &resp));
    benchMust(BlrDB::decodePairs(blrGetBlob(resp), &pairs));
    benchmark::DoNotOptimize(pairs);
  }
}

// The argument is the number of pairs, each with 3 disks.
void BM_GetAllPairs(benchmark::State& state) {
  static std::unique_ptr<PairDbBenchEnv> table;
  static int64_t tableSize = 0;
  if (tableSize != state.range(0)) {
    table.reset();  // drop the smaller table first: one "BLR" service at a time
    table.reset(new PairDbBenchEnv);
    DWSimpleDBConnObject conn;
    benchMust(conn.openSQLConnectionUsingDbName("Anchor"), conn);
    benchMust(conn.startTran(), conn);
    for (int64_t i = 1; i <= state.range(0); ++i) {
      const std::string id = std::to_string(i);
      benchMust(conn.execQuery(("INSERT INTO BlrPair(id, subClientId, tailClientId, srcName, "
                                "srcGuid) VALUES(" + id + ", 3, 20, 'vm" + id + "', 'g" + id +
                                "'); INSERT INTO BlrDisk(pairId, srcPath) VALUES(" + id +
                                ", '/a'), (" + id + ", '/b'), (" + id + ", '/c')")
                                   .c_str()),
                conn);
    }
    benchMust(conn.endTran(1), conn);
    tableSize = state.range(0);
  }
  for (auto _ : state) {
    std::list<BlrDB::Pair> pairs;
    benchMust(table->db.getPairs(BlrDB::Pair(), &pairs));
    if (static_cast<int64_t>(pairs.size()) != state.range(0)) state.SkipWithError("short answer");
  }
  state.counters["per_pair"] = benchmark::Counter(
      static_cast<double>(state.range(0)),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_RawGetPairById)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_ServiceGetPairById)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_TlsGetPairById)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_GetAllPairs)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return runWithRatios(argc, argv, {{"BM_RawGetPairById", "BM_ServiceGetPairById"},
                                    {"BM_ServiceGetPairById", "BM_TlsGetPairById"}});
}

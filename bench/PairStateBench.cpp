// "set_pair_prop", "get_pair_props" (25 properties) and "set_pair_status"
// through the service in-process, next to the statements each runs, on a
// connection of their own per request as the service does.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"
#include "PairDbBenchEnv.h"

namespace {

struct Env : PairDbBenchEnv {
  int pairId = 0;
  std::string id;

  Env() {
    pairId = addPair(1, 3);
    id = std::to_string(pairId);
    for (int i = 0; i < 25; ++i)
      must(db.setPairProp(pairId, "property" + std::to_string(i), std::to_string(i * 1000)));
  }
};

Env& env() {
  static Env* e = new Env;  // lives to the end: the service is registered
  return *e;
}

void BM_RawSetPairProp(benchmark::State& state) {
  const std::string& id = env().id;
  const std::string statement =
      "DELETE FROM BlrPairProperties WHERE pairId=" + id +
      " AND propertyName='step'; INSERT INTO BlrPairProperties(pairId, propertyName, "
      "propertyValue, propertyTypeId, created, modified) VALUES(" + id + ", 'step', '1', '', 0, 0)";
  for (auto _ : state) {
    DWSimpleDBConnObject conn;
    must(conn.openSQLConnectionUsingDbName("Anchor"), conn);
    must(conn.startTran(), conn);
    must(conn.execQuery(statement.c_str()), conn);
    must(conn.endTran(1), conn);
  }
}

void BM_ServiceSetPairProp(benchmark::State& state) {
  Env& e = env();
  for (auto _ : state) must(e.db.setPairProp(e.pairId, "step", "1"));
}

void BM_RawGetPairProps(benchmark::State& state) {
  const std::string statement =
      "SELECT propertyName, propertyValue FROM BlrPairProperties WHERE pairId=" + env().id;
  static char name[129];
  static wchar_t value[1025];
  for (auto _ : state) {
    DWSimpleDBConnObject conn;
    must(conn.openSQLConnectionUsingDbName("Anchor"), conn);
    must(conn.execQuery(statement.c_str()), conn);
    must(conn.ibindstruct("s128|w1024", name, value), conn);
    int rows = 0;
    while (conn.getNextRow() == 0) ++rows;
    benchmark::DoNotOptimize(rows);
  }
}

void BM_ServiceGetPairProps(benchmark::State& state) {
  Env& e = env();
  for (auto _ : state) {
    std::map<std::string, std::string> props;
    must(e.db.getPairProps(e.pairId, &props));
    benchmark::DoNotOptimize(props);
  }
}

// Statuses 7 and 8 post no event, so both sides run the same two statements.
void BM_RawSetPairStatus(benchmark::State& state) {
  const std::string& id = env().id;
  const std::string read = "SELECT statusCode, srcName FROM BlrPair WHERE id=" + id;
  const std::string update[2] = {
      "UPDATE BlrPair SET statusCode=7, statusMessage='x', eventId=0 WHERE id=" + id,
      "UPDATE BlrPair SET statusCode=8, statusMessage='x', eventId=0 WHERE id=" + id};
  int32_t status = 0;
  static wchar_t name[129];
  int n = 0;
  for (auto _ : state) {
    DWSimpleDBConnObject conn;
    must(conn.openSQLConnectionUsingDbName("Anchor"), conn);
    must(conn.execQuery(read.c_str()), conn);
    must(conn.ibindstruct("i|w128", &status, name), conn);
    conn.getNextRow();
    must(conn.execQuery(update[n++ & 1].c_str()), conn);
  }
}

void BM_ServiceSetPairStatus(benchmark::State& state) {
  Env& e = env();
  int n = 0;
  for (auto _ : state) must(e.db.setPairStatus(e.pairId, 7 + (n++ & 1), "x", 0));
}

BENCHMARK(BM_RawSetPairProp)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_ServiceSetPairProp)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_RawGetPairProps)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_ServiceGetPairProps)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_RawSetPairStatus)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_ServiceSetPairStatus)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return runWithRatios(argc, argv, {{"BM_RawSetPairProp", "BM_ServiceSetPairProp"},
                                    {"BM_RawGetPairProps", "BM_ServiceGetPairProps"},
                                    {"BM_RawSetPairStatus", "BM_ServiceSetPairStatus"}});
}

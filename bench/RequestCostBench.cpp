// What one request costs in CPU, by kind: the kinds of request one pair's
// failover in a plan makes, each sent `count` times by `clients` threads over
// TLS to a real blr-anchor on SQLite, or on PostgreSQL (first argument
// "postgresql": a fresh schema of the server BLR_TEST_PG_CONNINFO names).
// Per request: CPU of the central server, of the database server
// (PostgreSQL, on this machine: the postmaster and its backends), of this
// process (the client), and the rate reached; next to the floor under any
// request, a bare TLS echo.
// On SQLite, "set_pair_prop" and a report's two changes ("set_pair_status",
// "add_pair_stats") are then set against their floors: the same statements
// prepared on an open connection of this process, in one transaction whose
// commit flushes the log.  Rounds alternate the two; the figure is the
// median of the per-round ratios of CPU a change (floor / service, all
// processes).  Each round also runs the floor with 16 changes merged into a
// commit: what no service can go below that makes each change durable
// before it answers, even by merging the changes of several requests.
//   request_cost_bench [sqlite|postgresql] [count] [clients] [kind]
// BLR_COST_REGISTRY adds registry text to the central server's.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BLR/BlrDB.h"
#include "BenchAnchor.h"
#include "BenchReport.h"
#include "BenchRounds.h"
#include "BenchTlsEcho.h"
#include "host/clients/DWClient.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Kind {
  const char* name;
  std::function<CZuError(BlrDB&, int pair)> send;
};

const char kSetPairProp[] = "set_pair_prop";

const std::vector<Kind>& kinds() {
  using Props = std::map<std::string, std::string>;
  static const std::vector<Kind> all = {
      {"get_client", [](BlrDB&, int) { std::string host; return DWClient(20).lookUp(&host); }},
      {"get_pairs", [](BlrDB& db, int p) { BlrDB::Pair pair; return db.getPair(p, &pair); }},
      {"get_pair_props", [](BlrDB& db, int p) { Props props; return db.getPairProps(p, &props); }},
      {"get_pair_prop",
       [](BlrDB& db, int p) { std::string v; return db.getPairProp(p, "failoverVmStopped", &v); }},
      {kSetPairProp, [](BlrDB& db, int p) { return db.setPairProp(p, "failoverVmStopped", "1"); }},
      {"set_pair_status", [](BlrDB& db, int p) { return db.setPairStatus(p, 14, "", 0); }},
      {"add_pair_stats", [](BlrDB& db, int p) { return db.addPairStats(benchReportStats(p)); }},
      {"set_pair_flags", [](BlrDB& db, int p) { return db.setPairFlags(p, 8); }},
  };
  return all;
}

// CPU seconds a request, summed over the processes, and the rate.
struct Cost {
  double server = 0, database = 0, client = 0, perSec = 0;
  int failed = 0;
};

// `postmaster`: 0 on SQLite.
Cost measure(const Kind& kind, BenchAnchor& anchor, pid_t postmaster, int count, int clients, int pairs) {
  std::atomic<int> next{0}, failed{0};
  const pid_t server = anchor.process->pid();
  const double serverBefore = benchCpuSeconds(server), ownBefore = benchCpuSeconds(getpid());
  const double dbBefore = postmaster == 0 ? 0 : benchDatabaseServerCpu(postmaster);
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&] {
      BlrDB db;
      for (int i; (i = next++) < count;)
        if (kind.send(db, i % pairs + 1).IsError()) ++failed;
    });
  for (std::thread& t : threads) t.join();
  Cost cost;
  cost.perSec = count / std::chrono::duration<double>(Clock::now() - start).count();
  cost.server = (benchCpuSeconds(server) - serverBefore) / count;
  cost.database = postmaster == 0 ? 0 : (benchDatabaseServerCpu(postmaster) - dbBefore) / count;
  cost.client = (benchCpuSeconds(getpid()) - ownBefore) / count;
  cost.failed = failed.load();
  return cost;
}

void print(const Kind& kind, const Cost& c, bool database) {
  std::printf("  %-16s central server %5.0f us", kind.name, c.server * 1e6);
  if (database) std::printf(", database server %5.0f us", c.database * 1e6);
  std::printf(", client %4.0f us; %6.0f/s; %d failed\n", c.client * 1e6, c.perSec, c.failed);
}

// A floor: the statements the service runs for one change of a kind,
// prepared, on an open connection to its database, in transactions whose
// commits flush the log: one change each, or `perCommit` changes merged.
// ?1 is the request id, ?2 the pair, ?3 the request's digest.
struct FloorShape {
  const char* kind;
  const char* database;
  std::vector<const char*> statements;
};

const std::vector<FloorShape>& floorShapes() {
  static const char* const kLookUp = "SELECT answer, digest FROM BlrRequestLog WHERE requestId=?1";
  static const char* const kRecord = "INSERT INTO BlrRequestLog(requestId, time, answer, digest) VALUES(?1, 0, '', ?3)";
  static const std::vector<FloorShape> all = {
      {kSetPairProp, "Anchor",
       {kLookUp, "DELETE FROM BlrPairProperties WHERE pairId=?2 AND propertyName='failoverVmStopped'",
        "INSERT INTO BlrPairProperties(pairId, propertyName, propertyValue, propertyTypeId, created, modified) "
        "VALUES(?2, 'failoverVmStopped', '1', '', 0, 0)",
        "INSERT INTO APP_Event(time, eventId, severity, entityType, entityId, arguments, actor) "
        "VALUES(0, 1, 0, 1, ?2, 'set_pair_prop', 'client')",
        kRecord}},
      // A status that does not change (the report's case) leaves no event.
      {"set_pair_status", "Anchor",
       {kLookUp, "SELECT statusCode, srcName FROM BlrPair WHERE id=?2",
        "UPDATE BlrPair SET statusCode=14, statusMessage='', eventId=0 WHERE id=?2", kRecord}},
      {"add_pair_stats", "HistoryDB",
       {kLookUp,
        "INSERT INTO BlrPairStats(pairId, timeStamp, repDataDeltaActual, repDataDeltaComp, ioDelta, iopsDelta, "
        "repSetSize, sizeInRpStore, retention) VALUES(?2, 0, 1048576, 524288, 200, 20, 42949672960, 8589934592, 24)",
        kRecord}},
  };
  return all;
}

const FloorShape* floorOf(const std::string& kind) {
  for (const FloorShape& shape : floorShapes())
    if (kind == shape.kind) return &shape;
  return nullptr;
}

class DurableFloor {
 public:
  DurableFloor(const std::string& file, const FloorShape& shape, int perCommit) : perCommit_(perCommit) {
    if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK ||
        sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK)
      fail();
    sqlite3_busy_timeout(db_, 10000);  // the server may be checkpointing
    begin_ = prepare("BEGIN IMMEDIATE");
    commit_ = prepare("COMMIT");
    for (const char* sql : shape.statements) statements_.push_back(prepare(sql));
  }
  ~DurableFloor() {
    for (sqlite3_stmt* s : statements_) sqlite3_finalize(s);
    sqlite3_finalize(begin_);
    sqlite3_finalize(commit_);
    sqlite3_close_v2(db_);
  }
  // `count` changes, spread over `pairs` pairs.
  void run(int count, int pairs) {
    const std::string digest(64, 'a');
    for (int i = 0; i < count; ++i) {
      if (i % perCommit_ == 0) step(begin_);
      // 128 random bits in hex, as a client's request ids.
      char id[33];
      std::snprintf(id, sizeof id, "%016llx%016llx", static_cast<unsigned long long>(bits_()),
                    static_cast<unsigned long long>(bits_()));
      for (sqlite3_stmt* s : statements_) {
        const int params = sqlite3_bind_parameter_count(s);
        if (params >= 1) sqlite3_bind_text(s, 1, id, -1, SQLITE_TRANSIENT);
        if (params >= 2) sqlite3_bind_int(s, 2, i % pairs + 1);
        if (params >= 3) sqlite3_bind_text(s, 3, digest.c_str(), -1, SQLITE_TRANSIENT);
        step(s);
      }
      if (i % perCommit_ == perCommit_ - 1 || i == count - 1) step(commit_);
    }
  }

 private:
  [[noreturn]] void fail() { throw std::runtime_error(std::string("raw SQLite: ") + sqlite3_errmsg(db_)); }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) fail();
    return stmt;
  }
  void step(sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) fail();
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
  std::vector<sqlite3_stmt*> statements_;
  int perCommit_;
  std::mt19937_64 bits_{std::random_device{}()};
};

// The service against its floor in alternating rounds, CPU a change over
// all processes; and the floor with kMerged changes a commit, which no
// service answering each change once durable can go below.
void againstTheFloor(const Kind& kind, const FloorShape& shape, BenchAnchor& anchor, int count, int pairs) {
  const int rounds = 5, kMerged = 16;
  const std::string file = anchor.dir + "/db/" + shape.database + ".db";
  DurableFloor floor(file, shape, 1), merged(file, shape, kMerged);
  std::vector<double> ratios, floorUs, mergedUs, serviceUs;
  auto cpuOf = [count](DurableFloor& f, int pairs) {
    const double start = benchNow(BenchClock::kThreadCpu);
    f.run(count, pairs);
    return (benchNow(BenchClock::kThreadCpu) - start) / count;
  };
  for (int r = 0; r < rounds; ++r) {
    const double bare = cpuOf(floor, pairs);
    mergedUs.push_back(cpuOf(merged, pairs) * 1e6);
    const Cost c = measure(kind, anchor, 0, count, 1, pairs);
    const double all = c.server + c.client;
    ratios.push_back(bare / all);
    floorUs.push_back(bare * 1e6);
    serviceUs.push_back(all * 1e6);
  }
  std::printf("%s a change / the durable floor: %.3fx (%.3f .. %.3f, %d rounds); floor %.0f us, service %.0f us; "
              "the floor with %d changes a commit %.0f us (medians)\n",
              kind.name, benchMedian(ratios), *std::min_element(ratios.begin(), ratios.end()),
              *std::max_element(ratios.begin(), ratios.end()), rounds, benchMedian(floorUs),
              benchMedian(serviceUs), kMerged, benchMedian(mergedUs));
}

// The floor under any request: a bare 8-byte TLS echo on loopback, both
// sides in this process.  CPU a round trip.
double echoCost(const BenchCerts& certs, int count) {
  BenchTlsEcho echo(certs.context("anchor"), certs.context("client"));
  echo.roundTrips(100);
  const double before = benchCpuSeconds(getpid());
  echo.roundTrips(count);
  return (benchCpuSeconds(getpid()) - before) / count;
}

}  // namespace

int main(int argc, char** argv) {
  const bool postgres = argc > 1 && std::string(argv[1]) == "postgresql";
  const int count = argc > 2 ? std::atoi(argv[2]) : 3000;
  const int clients = argc > 3 ? std::atoi(argv[3]) : 1;
  const std::string only = argc > 4 ? argv[4] : "";
  const int pairs = 200;
  try {
    BenchCerts certs;
    std::unique_ptr<BenchPgSchema> schema;
    if (postgres) schema.reset(new BenchPgSchema("blrcost_"));
    const char* extra = std::getenv("BLR_COST_REGISTRY");
    BenchAnchor anchor(certs, extra ? std::string(extra) + "\n" : "", schema ? schema->connInfo() : "");
    fillPairs(pairs);
    DWSimpleDBConnObject::closeIdleHandles();
    anchor.start();
    const pid_t postmaster = postgres ? benchPostmasterPid() : 0;
    if (postgres && postmaster == 0) throw std::runtime_error("the PostgreSQL server is not on this machine");
    std::printf("%s: CPU a request, %d requests of each kind from %d clients\n", postgres ? "PostgreSQL" : "SQLite",
                count, clients);
    for (const Kind& kind : kinds())
      if (only.empty() || only == kind.name)
        print(kind, measure(kind, anchor, postmaster, count, clients, pairs), postgres);
    std::printf("  a bare 8-byte TLS echo, both sides: %.0f us\n", echoCost(certs, count) * 1e6);
    for (const Kind& kind : kinds()) {
      const FloorShape* shape = floorOf(kind.name);
      if (!postgres && shape != nullptr && (only.empty() || only == kind.name))
        againstTheFloor(kind, *shape, anchor, count, pairs);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}

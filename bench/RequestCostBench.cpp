// What one request costs in CPU, by kind: the kinds of request one pair's
// failover in a plan makes, each sent `count` times by `clients` threads over
// TLS to a real blr-anchor on SQLite, or on PostgreSQL (first argument
// "postgresql": a fresh schema of the server BLR_TEST_PG_CONNINFO names).
// Per request: CPU of the central server, of the database server
// (PostgreSQL, on this machine: the postmaster and its backends), of this
// process (the client), and the rate reached.
// On SQLite, "set_pair_prop" is then set against its floor: the same
// statements prepared on an open connection of this process, in one
// transaction whose commit flushes the log.  Rounds alternate the two; the
// figure is the median of the per-round ratios of CPU a change (floor /
// service, all processes).
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
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BLR/BlrDB.h"
#include "BenchAnchor.h"
#include "BenchRounds.h"
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

// The floor: the statements the service runs for one "set_pair_prop",
// prepared, on an open connection, in one transaction flushed at its commit:
// the answer looked up by request id, the property deleted and inserted,
// the audit event, the answer recorded.
class DurableChange {
 public:
  explicit DurableChange(const std::string& file) {
    if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK ||
        sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK)
      fail();
    sqlite3_busy_timeout(db_, 10000);  // the server may be checkpointing
    for (const char* sql :
         {"BEGIN IMMEDIATE", "SELECT answer, digest FROM BlrRequestLog WHERE requestId=?1",
          "DELETE FROM BlrPairProperties WHERE pairId=?2 AND propertyName='failoverVmStopped'",
          "INSERT INTO BlrPairProperties(pairId, propertyName, propertyValue, propertyTypeId, created, modified) "
          "VALUES(?2, 'failoverVmStopped', '1', '', 0, 0)",
          "INSERT INTO APP_Event(time, eventId, severity, entityType, entityId, arguments, actor) "
          "VALUES(0, 1, 0, 1, ?2, 'set_pair_prop', 'client')",
          "INSERT INTO BlrRequestLog(requestId, time, answer, digest) VALUES(?1, 0, '', ?3)", "COMMIT"}) {
      statements_.push_back(nullptr);
      if (sqlite3_prepare_v2(db_, sql, -1, &statements_.back(), nullptr) != SQLITE_OK) fail();
    }
  }
  ~DurableChange() {
    for (sqlite3_stmt* s : statements_) sqlite3_finalize(s);
    sqlite3_close_v2(db_);
  }
  void change(int pair) {
    const std::string id = "floor-" + std::to_string(++changes_), digest(64, 'a');
    for (sqlite3_stmt* s : statements_) {
      const int params = sqlite3_bind_parameter_count(s);
      if (params >= 1) sqlite3_bind_text(s, 1, id.c_str(), -1, SQLITE_TRANSIENT);
      if (params >= 2) sqlite3_bind_int(s, 2, pair);
      if (params >= 3) sqlite3_bind_text(s, 3, digest.c_str(), -1, SQLITE_TRANSIENT);
      const int rc = sqlite3_step(s);
      if (rc != SQLITE_DONE && rc != SQLITE_ROW) fail();
      sqlite3_reset(s);
    }
  }

 private:
  [[noreturn]] void fail() { throw std::runtime_error(std::string("raw SQLite: ") + sqlite3_errmsg(db_)); }

  sqlite3* db_ = nullptr;
  std::vector<sqlite3_stmt*> statements_;
  long changes_ = 0;
};

void againstTheFloor(const Kind& kind, BenchAnchor& anchor, int count, int pairs) {
  const int rounds = 5;
  DurableChange floor(anchor.dir + "/db/Anchor.db");
  std::vector<double> ratios, floorUs, serviceUs;
  for (int r = 0; r < rounds; ++r) {
    const double start = benchNow(BenchClock::kThreadCpu);
    for (int i = 0; i < count; ++i) floor.change(i % pairs + 1);
    const double bare = (benchNow(BenchClock::kThreadCpu) - start) / count;
    const Cost c = measure(kind, anchor, 0, count, 1, pairs);
    const double all = c.server + c.client;
    ratios.push_back(bare / all);
    floorUs.push_back(bare * 1e6);
    serviceUs.push_back(all * 1e6);
  }
  std::printf("%s a change / the durable floor: %.3fx (%.3f .. %.3f, %d rounds); floor %.0f us, service %.0f us "
              "(medians)\n",
              kind.name, benchMedian(ratios), *std::min_element(ratios.begin(), ratios.end()),
              *std::max_element(ratios.begin(), ratios.end()), rounds, benchMedian(floorUs),
              benchMedian(serviceUs));
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
    for (const Kind& kind : kinds())
      if (!postgres && kind.name == std::string(kSetPairProp) && (only.empty() || only == kind.name))
        againstTheFloor(kind, anchor, count, pairs);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}

// Several central servers on one database, measured against the real
// blr-anchor:
//  1. 20 kills (kill -9) of the server in use during a load of changes and
//     reads from clients listing two servers: changes lost or applied twice
//     (must be 0), client errors, and the slowest request, which bounds the
//     pause a client sees after a kill ([Link] nConnectTimeoutSecs = 1).
//  2. Throughput of two servers over one on the same database: worker
//     processes each changing and reading a pair of their own, all on one
//     server (baseline) or half on each (candidate), in interleaved rounds;
//     with the CPU time per request of the servers and of the clients.
//
// PostgreSQL when BLR_TEST_PG_CONNINFO is set (a fresh schema, dropped at
// exit), else SQLite files shared by the servers.
//   build/default/bench/failover_bench
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "BenchAnchor.h"
#include "BenchCerts.h"
#include "BenchRounds.h"
#include "host/config/DWPlatformInfo.h"
#include "host/sql/DWSimpleDBConnObject.h"
#include "host/link/DwLinkPool.h"
#include "support/AnchorCluster.h"

namespace {

const char kAnchor[] = BLR_TOOLS_DIR "/blr-anchor";

// The registry lines of the database, and how to drop it.
struct Database {
  std::string lines, dropSchema, serverConnInfo;
  std::string applicationName;  // of the servers' sessions

  explicit Database(const std::string& dir) {
    const char* conninfo = std::getenv("BLR_TEST_PG_CONNINFO");
    if (conninfo == nullptr || *conninfo == '\0') {
      lines = "[Database]\nsSqliteDir = " + dir + "/db\n";
      return;
    }
    serverConnInfo = conninfo;
    std::string schema = "blrfail_" + std::to_string(getpid());
    run("DROP SCHEMA IF EXISTS " + schema + " CASCADE; CREATE SCHEMA " + schema);
    dropSchema = "DROP SCHEMA IF EXISTS " + schema + " CASCADE";
    lines = "[Database]\nsBackend = postgresql\nsPostgresConnInfo = " + serverConnInfo +
            " application_name=" + schema + " options='-c search_path=" + schema + "'\n";
    applicationName = schema;
  }
  ~Database() {
    if (!dropSchema.empty()) run(dropSchema);
  }
  const char* name() const { return dropSchema.empty() ? "SQLite" : "PostgreSQL"; }

  // The PostgreSQL processes serving the central servers' sessions (same machine).
  std::vector<pid_t> backends() {
    std::vector<pid_t> pids;
    if (applicationName.empty()) return pids;
    DWPlatformInfo::setValue("Database", "sBackend", "postgresql");
    DWPlatformInfo::setValue("Database", "sPostgresConnInfo", serverConnInfo);
    DWSimpleDBConnObject conn;
    int32_t pid = 0;
    if (conn.openSQLConnectionUsingDbName("Anchor") == 0 &&
        conn.execQuery(("SELECT pid FROM pg_stat_activity WHERE application_name = '" + applicationName + "'").c_str()) == 0 &&
        conn.ibindstruct("i", &pid) == 0)
      while (conn.getNextRow() == 0) pids.push_back(pid);
    return pids;
  }

  void run(const std::string& statement) {
    DWPlatformInfo::setValue("Database", "sBackend", "postgresql");
    DWPlatformInfo::setValue("Database", "sPostgresConnInfo", serverConnInfo);
    DWSimpleDBConnObject conn;
    int rc = conn.openSQLConnectionUsingDbName("Anchor");
    if (rc == 0) rc = conn.execQuery(statement.c_str());
    if (rc != 0 && rc != DWSQL_NO_ROWS) {
      std::fprintf(stderr, "%s: %s\n", statement.c_str(), conn.getLastErrorText().c_str());
      std::exit(1);
    }
    DWSimpleDBConnObject::closeIdleHandles();
  }
};

void useAsClient(const BenchCerts& certs, const std::string& servers) {
  DWPlatformInfo::reset();
  DwLinkPool::instance().clear();
  TlsConfig client = certs.tls("client");
  DWPlatformInfo::setValue("Security", "sCAFile", client.caFile);
  DWPlatformInfo::setValue("Security", "sCertFile", client.certFile);
  DWPlatformInfo::setValue("Security", "sKeyFile", client.keyFile);
  DWPlatformInfo::setValue("Link", "sServers", servers);
  DWPlatformInfo::setNumber("Link", "nConnectTimeoutSecs", 1);
  DWPlatformInfo::setNumber("Link", "nTimeoutSecs", 30);
}

void kills(AnchorCluster& cluster, const BenchCerts& certs, int count) {
  useAsClient(certs, cluster.servers());
  ChangeLoad load(4, 1000000);
  std::atomic<bool> stop{false};
  ChangeLoad::Outcome outcome;
  std::thread loader([&] { outcome = load.run(stop); });
  for (int k = 0; k < count; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cluster.kill(k % 2);
    if (!cluster.start(k % 2)) {
      std::fprintf(stderr, "server %d did not restart\n", k % 2);
      std::exit(1);
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop = true;
  loader.join();
  std::string wrong = load.check();
  int events = cluster.eventsHolding(0, "\"create_or_update_pair\"");
  std::printf("%d kills: %d changes acknowledged, %d reads, %zu client errors, %s, "
              "%d create events for %d creates (%s), slowest request %.0f ms (bound: 2 x 1000 ms)\n",
              count, outcome.acknowledged, outcome.reads, outcome.errors.size(),
              wrong.empty() ? "0 lost, 0 stored twice" : wrong.c_str(), events, outcome.acknowledged,
              events == outcome.acknowledged ? "0 applied twice" : "MISMATCH", outcome.slowestMs);
  if (!outcome.errors.empty()) std::printf("  first error: %s\n", outcome.errors.front().c_str());
}

struct Split {
  double servers = 0, clients = 0, database = 0;
  int requests = 0;
};

// CPU seconds of all of `pids`.
double cpuOfAll(const std::vector<pid_t>& pids) {
  double sum = 0;
  for (pid_t p : pids) sum += benchCpuSeconds(p);
  return sum;
}

// `workers` processes, each `ops` times setting and reading a property of a
// pair of its own; worker k lists the servers from `first(k)` on, alone
// when `spread` is false.
void work(AnchorCluster& cluster, const BenchCerts& certs, int workers, int ops, bool spread,
          const std::vector<int>& pairs, const std::vector<pid_t>& backends, Split* split) {
  double serversBefore = benchCpuSeconds(cluster.pid(0)) + benchCpuSeconds(cluster.pid(1));
  double databaseBefore = cpuOfAll(backends);
  double clientsBefore = benchChildrenCpuSeconds();
  DwLinkPool::instance().clear();  // nothing of this process's TLS goes into the workers
  std::vector<pid_t> pids;
  for (int k = 0; k < workers; ++k) {
    pid_t pid = fork();
    if (pid == 0) {
      useAsClient(certs, spread ? cluster.servers(k % 2) : cluster.server(0));
      BlrDB db;
      std::string value;
      for (int i = 0; i < ops; ++i)
        if (db.setPairProp(pairs[k], "n", std::to_string(i)).IsError() ||
            db.getPairProp(pairs[k], "n", &value).IsError())
          _exit(1);
      _exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "a worker failed\n");
      std::exit(1);
    }
  }
  split->servers += benchCpuSeconds(cluster.pid(0)) + benchCpuSeconds(cluster.pid(1)) - serversBefore;
  split->clients += benchChildrenCpuSeconds() - clientsBefore;
  split->database += cpuOfAll(backends) - databaseBefore;
  split->requests += workers * ops * 2;
}

void throughput(AnchorCluster& cluster, const BenchCerts& certs, Database& database) {
  const int kWorkers = 8;
  useAsClient(certs, cluster.servers());
  std::vector<int> pairs;
  for (int k = 0; k < kWorkers; ++k) {
    BlrDB::Pair p = ChangeLoad::pairOf(100 + k, 0);
    must(BlrDB().createOrUpdatePair(p));
    pairs.push_back(p.id);
  }
  // Both servers open their database sessions before they are counted.
  Split warm;
  work(cluster, certs, kWorkers, 20, true, pairs, {}, &warm);
  const std::vector<pid_t> backends = database.backends();
  Split one, two;
  benchInterleave(
      "two servers / one (set and read a property, 8 worker processes)", 5, 100,
      [&](int ops) { work(cluster, certs, kWorkers, ops, false, pairs, backends, &one); },
      [&](int ops) { work(cluster, certs, kWorkers, ops, true, pairs, backends, &two); });
  auto show = [](const char* what, const Split& s) {
    std::printf("  %s: CPU per request: servers %.3f ms, clients %.3f ms, database sessions %.3f ms\n", what,
                1000 * s.servers / s.requests, 1000 * s.clients / s.requests, 1000 * s.database / s.requests);
  };
  show("one server ", one);
  show("two servers", two);
}

}  // namespace

int main() {
  BenchCerts certs;
  Database database(certs.dir);
  std::printf("database: %s\n", database.name());
  AnchorCluster cluster(kAnchor, certs.tls("anchor"), "client", certs.dir, database.lines);
  if (!cluster.add() || !cluster.add() || !cluster.start(0) || !cluster.start(1)) {
    std::fprintf(stderr, "the servers did not start\n");
    return 1;
  }
  kills(cluster, certs, 20);
  throughput(cluster, certs, database);
  return 0;
}

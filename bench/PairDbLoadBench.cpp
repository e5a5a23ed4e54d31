// The pair database service at fleet load, against the strongest honest
// baseline: the same query run as a prepared statement on a connection that
// is already open (sqlite3 or libpq directly).  Rounds alternate the two
// sides; the figure is the median of the per-round ratios (BenchRounds.h).
//
//   pairdb_load_bench [sqlite|postgresql] [rounds]
//
// PostgreSQL uses BLR_TEST_PG_CONNINFO (a fresh schema, dropped at exit).
// Sections: "get_pairs" by id in-process and over TLS with 1/4/16 clients,
// over TLS also against its ceiling (each request's raw query and a bare
// 8-byte TLS round trip, with as many clients);
// mixed load (half "set_pair_lag_time") at 32 clients over TLS with its
// latency percentiles and a check that no acknowledged write was lost; bulk
// creation of 100,000 pairs of 3 disks over TLS, 1,000 pairs a request.
#include <libpq-fe.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "BenchRounds.h"
#include "BenchTlsEcho.h"
#include "records/BlrDBTags.h"
#include "PairDbBenchEnv.h"
#include "host/link/DwLink.h"
#include "host/link/DwLinkPool.h"
#include "host/link/DwLinkServer.h"
#include "host/tls/KrpCertAuthority.h"
#include "host/tls/TlsContext.h"

namespace {

using Map = std::map<std::string, std::string>;

// The service's query of one pair, with the id as parameter.
std::string pairQuery(const char* param) {
  return std::string(
             "SELECT BlrPair.id, BlrPair.subClientId, BlrPair.dstClientId, BlrPair.headClientId, "
             "BlrPair.tailClientId, BlrPair.srcType, BlrPair.dstType, BlrPair.srcName, "
             "BlrPair.dstName, BlrPair.srcGuid, BlrPair.dstGuid, BlrPair.statusCode, "
             "BlrPair.pendingStatusCode, BlrPair.statusMessage, BlrPair.eventId, BlrPair.rpStoreId, "
             "BlrPair.lagTime, BlrPair.flags, BlrDisk.id, BlrDisk.srcPath, BlrDisk.dstPath, "
             "BlrDisk.srcGuid, BlrDisk.dstGuid, BlrDisk.statusCode, BlrDisk.statusMessage, "
             "APP_Client.name, APP_Client.net_hostname, APP_Client.dwdPort, APP_Client.evmgrcPort "
             "FROM BlrPair INNER JOIN BlrDisk ON BlrPair.id=BlrDisk.pairId INNER JOIN APP_Client ON "
             "BlrPair.tailClientId=APP_Client.id WHERE BlrPair.id=") +
         param;
}

// One open connection with the query prepared; get() reads every row and
// copies its texts, as the service does.
class RawReader {
 public:
  virtual ~RawReader() = default;
  virtual int get(int id) = 0;  // rows read
};

class SqliteReader : public RawReader {
 public:
  explicit SqliteReader(const std::string& file) {
    if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, pairQuery("?").c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
      std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db_));
      std::abort();
    }
  }
  ~SqliteReader() override {
    sqlite3_finalize(stmt_);
    sqlite3_close(db_);
  }
  int get(int id) override {
    sqlite3_bind_int(stmt_, 1, id);
    int rows = 0;
    std::string text;
    while (sqlite3_step(stmt_) == SQLITE_ROW) {
      ++rows;
      for (int c = 0; c < sqlite3_column_count(stmt_); ++c) {
        if (sqlite3_column_type(stmt_, c) == SQLITE_INTEGER) {
          integers_ += sqlite3_column_int64(stmt_, c);
          continue;
        }
        const unsigned char* t = sqlite3_column_text(stmt_, c);
        if (t) text.assign(reinterpret_cast<const char*>(t), sqlite3_column_bytes(stmt_, c));
      }
    }
    sqlite3_reset(stmt_);
    return rows;
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  int64_t integers_ = 0;  // read, so that reading them is not left out
};

class PostgresReader : public RawReader {
 public:
  explicit PostgresReader(const std::string& conninfo) {
    conn_ = PQconnectdb(conninfo.c_str());
    PGresult* r = PQprepare(conn_, "pair", pairQuery("$1").c_str(), 1, nullptr);
    if (PQresultStatus(r) != PGRES_COMMAND_OK) {
      std::fprintf(stderr, "libpq: %s\n", PQerrorMessage(conn_));
      std::abort();
    }
    PQclear(r);
  }
  ~PostgresReader() override { PQfinish(conn_); }
  int get(int id) override {
    std::string param = std::to_string(id);
    const char* values[] = {param.c_str()};
    PGresult* r = PQexecPrepared(conn_, "pair", 1, values, nullptr, nullptr, 0);
    int rows = PQntuples(r);
    std::string text;
    for (int row = 0; row < rows; ++row)
      for (int c = 0; c < PQnfields(r); ++c) text.assign(PQgetvalue(r, row, c), PQgetlength(r, row, c));
    PQclear(r);
    return rows;
  }

 private:
  PGconn* conn_ = nullptr;
};

struct Env : PairDbBenchEnv {
  std::vector<int> pairIds;
  DwLinkServer server;
  std::shared_ptr<TlsContext> serverTls;
  DwLinkClientConfig client;

  explicit Env(bool postgres) : PairDbBenchEnv(postgres) {
    for (int i = 1; i <= 100; ++i) pairIds.push_back(addPair(i, 3));
    KrpCertAuthority ca;
    must(KrpCertAuthority::create(dir + "/certs", "Bench CA", 30, &ca));
    must(ca.issue("anchor", KRP_CERT_KIND_CLIENT, 30, dir + "/certs"));
    must(ca.issue("client", KRP_CERT_KIND_CLIENT, 30, dir + "/certs"));
    DwLinkServerConfig sc;
    sc.address = "127.0.0.1";
    sc.port = 0;
    must(TlsContext::create(tls("anchor"), &sc.tls));
    serverTls = sc.tls;
    must(server.start(sc));
    client.servers = {{"127.0.0.1", server.port()}};
    client.poolSize = 64;
    must(TlsContext::create(tls("client"), &client.tls));
  }
  ~Env() {
    server.stop();
    DwLinkPool::instance().clear();
  }
  TlsConfig tls(const std::string& name) const {
    const std::string certs = dir + "/certs";
    return TlsConfig{certs + "/ca.crt", KrpCertAuthority::certPath(certs, name),
                     KrpCertAuthority::keyPath(certs, name), ""};
  }
  std::unique_ptr<RawReader> rawReader() const {
    if (postgres) return std::unique_ptr<RawReader>(new PostgresReader(pgConnInfo));
    return std::unique_ptr<RawReader>(new SqliteReader(dir + "/Anchor.db"));
  }
  int pairId(int i) const { return pairIds[static_cast<size_t>(i) % pairIds.size()]; }
};

Map getPairsRequest(int id) {
  BlrDB::Pair filter;
  filter.id = id;
  Map req{{"req", "get_pairs"}};
  blrSetBlob(req, BlrDB::encodePairs({filter}));
  return req;
}

void mustRows(int rows) {
  if (rows != 3) {
    std::fprintf(stderr, "expected 3 rows, read %d\n", rows);
    std::abort();
  }
}

// `ops` operations split over `clients` threads.
void onThreads(int clients, int ops, const std::function<void(int client, int count)>& work) {
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) threads.emplace_back(work, c, ops / clients);
  for (std::thread& t : threads) t.join();
}

// `withLink`: also over TLS with 1, 4 and 16 clients.
void getPairs(Env& e, int rounds, bool withLink) {
  const char* backend = e.postgres ? "PostgreSQL" : "SQLite";
  std::unique_ptr<RawReader> raw = e.rawReader();
  benchInterleave(std::string("get_pairs in-process / raw ") + backend, rounds, 2000,
                  [&](int ops) {
                    for (int i = 0; i < ops; ++i) mustRows(raw->get(e.pairId(i)));
                  },
                  [&](int ops) {
                    BlrDB::Pair pair;
                    for (int i = 0; i < ops; ++i) must(e.db.getPair(e.pairId(i), &pair));
                  });
  if (!withLink) return;
  for (int clients : {1, 4, 16}) {
    std::vector<std::unique_ptr<RawReader>> readers;
    for (int c = 0; c < clients; ++c) readers.push_back(e.rawReader());
    auto raw = [&](int ops) {
      onThreads(clients, ops, [&](int c, int count) {
        for (int i = 0; i < count; ++i) mustRows(readers[c]->get(e.pairId(i + c)));
      });
    };
    // The ceiling: a service that costs nothing beyond the raw query and a
    // bare 8-byte TLS round trip does both for each request; the figure set
    // against it is the share of that ceiling the service reaches.
    BenchTlsEcho echo(e.serverTls, e.client.tls, clients);
    auto ceiling = [&](int ops) {
      onThreads(clients, ops, [&](int c, int count) {
        for (int i = 0; i < count; ++i) {
          mustRows(readers[c]->get(e.pairId(i + c)));
          echo.roundTrips(1, c);
        }
      });
    };
    auto service = [&](int ops) {
      onThreads(clients, ops, [&](int c, int count) {
        DwLink link("BLR");
        for (int i = 0; i < count; ++i) {
          Map resp;
          std::list<BlrDB::Pair> pairs;
          must(link.makeRemoteReq(e.client, getPairsRequest(e.pairId(i + c)), &resp));
          must(BlrDB::decodePairs(blrGetBlob(resp), &pairs));
          if (pairs.size() != 1) std::abort();
        }
      });
    };
    const std::string label = "get_pairs TLS " + std::to_string(clients) + " clients";
    benchInterleave(label + " / raw " + backend, rounds, 1600, raw, service);
    benchInterleave(label + " / its ceiling", rounds, 1600, ceiling, service);
  }
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

// Half reads, half writes of each client's own pair; every acknowledged
// lag time must be the one stored at the end.
void mixedLoad(Env& e, int clients, int perClient) {
  std::mutex mutex;
  std::vector<double> latencies;
  std::atomic<int> errors{0};
  std::vector<int> acknowledged(clients, -1);
  auto start = std::chrono::steady_clock::now();
  onThreads(clients, clients * perClient, [&](int c, int count) {
    DwLink link("BLR");
    std::vector<double> mine;
    const int pair = e.pairId(c);
    for (int i = 0; i < count; ++i) {
      Map req;
      if (i % 2 == 0) {
        req = getPairsRequest(pair);
      } else {
        DwEbmlBuffer buffer(64);
        DwEbmlWriter writer(buffer, 0);
        writer.writeNumTag(BLRDB_TAG_PAIR_ID, pair);
        writer.writeNumTag(BLRDB_TAG_LAG_TIME, i);
        req = {{"req", "set_pair_lag_time"}};
        blrSetBlob(req, writer.getBuffer(), writer.getSize());
      }
      Map resp;
      auto t0 = std::chrono::steady_clock::now();
      CZuError err = link.makeRemoteReq(e.client, req, &resp);
      mine.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
      if (err.IsError() || resp.count("error")) {
        ++errors;
      } else if (i % 2 == 1) {
        acknowledged[c] = i;
      }
    }
    std::lock_guard<std::mutex> lock(mutex);
    latencies.insert(latencies.end(), mine.begin(), mine.end());
  });
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int lost = 0;
  for (int c = 0; c < clients; ++c) {
    BlrDB::Pair stored;
    must(e.db.getPair(e.pairId(c), &stored));
    if (acknowledged[c] >= 0 && stored.lagTime != acknowledged[c]) ++lost;
  }
  double p50 = percentile(latencies, 0.5), p99 = percentile(latencies, 0.99);
  std::printf("mixed 50%% writes, %d clients over TLS: %.0f req/s  p50 %.2f ms  p99 %.2f ms  max %.2f ms  "
              "p99/p50 %.1f  errors %d  lost writes %d\n",
              clients, latencies.size() / secs, p50, p99, percentile(latencies, 1.0), p99 / p50, errors.load(),
              lost);
  std::fflush(stdout);
}

BlrDB::Pair bulkPair(int seed) {
  BlrDB::Pair p;
  p.subClientId = 4;
  p.dstClientId = 11;
  p.headClientId = 12;
  p.tailClientId = PairDbBenchEnv::kTail;
  p.srcName = "bulk" + std::to_string(seed);
  char hex[33];
  std::snprintf(hex, sizeof hex, "b%031x", seed);
  p.srcGuid = BlrUUID(std::string(hex));
  for (int i = 0; i < 3; ++i) {
    BlrDB::Disk d;
    d.srcPath = "/src/" + std::to_string(seed) + "/disk" + std::to_string(i);
    std::snprintf(hex, sizeof hex, "b%023x%08x", seed, i);
    d.srcGuid = BlrUUID(std::string(hex));
    p.disks.push_back(d);
  }
  return p;
}

void bulkCreate(Env& e, int total, int batch) {
  DwLink link("BLR");
  auto start = std::chrono::steady_clock::now();
  for (int first = 0; first < total; first += batch) {
    std::list<BlrDB::Pair> pairs;
    for (int i = first; i < std::min(total, first + batch); ++i) pairs.push_back(bulkPair(i));
    Map req{{"req", "create_pairs"}}, resp;
    blrSetBlob(req, BlrDB::encodePairs(pairs));
    must(link.makeRemoteReq(e.client, req, &resp));
    if (resp.count("error")) {
      std::fprintf(stderr, "%s\n", resp["error"].c_str());
      std::abort();
    }
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("bulk creation over TLS: %d pairs with 3 disks, %d a request: %.1f s (%.0f pairs/s)\n", total, batch,
              secs, total / secs);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const bool postgres = argc > 1 && std::strcmp(argv[1], "postgresql") == 0;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
  // "get", "inproc" (get_pairs in-process only), "mixed" or "bulk"
  const char* only = std::getenv("BLR_BENCH_ONLY");
  DWPlatformInfo::setValue("EventManager", "sLogFile", "/dev/null");
  Env* e = new Env(postgres);  // lives to the end: the service is registered
  if (!only || std::strcmp(only, "get") == 0 || std::strcmp(only, "inproc") == 0)
    getPairs(*e, rounds, !only || std::strcmp(only, "get") == 0);
  if (!only || std::strcmp(only, "mixed") == 0) mixedLoad(*e, 32, 200);
  if (!only || std::strcmp(only, "bulk") == 0) bulkCreate(*e, 100000, 1000);
  e->server.stop();
  return 0;
}

// A fleet against the real blr-anchor: proxies of several pairs each, every
// pair reporting its status and a statistics point every period (jittered by
// a tenth either way) through BlrDB, as the replication service does, each
// proxy on its own connection under its own certificate name; and a few
// operators showing a pair, listing 50 and watching 10 meanwhile.  A handful
// of worker threads serve all proxies: each proxy is one sequence of requests.
//
// Prints per request kind its throughput and latency percentiles; the
// server's CPU, resident memory, descriptors, threads, database size and
// traffic; and the backlog: reports due but not yet answered, each counted
// once per period it is overdue.  The fleet falls behind when a report waits
// longer than a whole period past its time in the second half of the run.
//
// With plan=K, a recovery plan of K pairs between a Head and a Tail
// simulator (blr-proxy, answering at once) is failed over through the
// server's runner (`blr plans failover`) twice: on the quiet server before
// the fleet starts, and under its load from a quarter of the run on (the
// fleet goes on until that plan is done).  Prints both times and their ratio,
// and for each run where the time went: the cores the whole machine kept
// busy, the share of it in which some runnable task waited for a core (the
// kernel's CPU pressure record), context switches, the CPU of the server and
// of the plan's simulators, and what the pair database's writer did (from
// the server's metrics).
//
// Usage: fleet_sim [sqlite|postgresql] [--check] [name=value]...
//   proxies (20), pairs per proxy (10), period seconds (1), seconds (5),
//   operators (3), workers (16), plan pairs (0), parallelism of the plan
//   (16); each also from the environment as BLR_FLEET_<NAME>
//   (BLR_FLEET_PROXIES=1000).  PostgreSQL: the server that
//   BLR_TEST_PG_CONNINFO names, in a fresh schema dropped at the end.
//   --check exits 1 on a failed request or plan, or when the fleet falls
//   behind.
#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BLR/BlrDB.h"
#include "BenchAnchor.h"
#include "BenchReport.h"
#include "host/clients/DWClientDirectory.h"
#include "host/link/DwLinkConfig.h"
#include "support/HttpExchange.h"
#include "support/RawPeers.h"
#include "support/WorkflowEnv.h"

namespace {

using Clock = std::chrono::steady_clock;
using Config = std::shared_ptr<const DwLinkClientConfig>;

enum Kind { kStatus, kStats, kShow, kList, kWatch, kKinds };
const char* const kKindNames[kKinds] = {"set_pair_status", "add_pair_stats", "show (get_pairs id)",
                                        "list (get_pairs 50)", "watch (get_pairs 10 ids)"};

struct Options {
  int proxies = 20, pairs = 10, operators = 3, workers = 16, plan = 0, parallelism = 16;
  double period = 1, seconds = 5;
  std::string backend = "sqlite";
  bool check = false;
};

// `name=value` from the arguments, else BLR_FLEET_<NAME>, else `def`.
double option(const std::map<std::string, std::string>& args, const std::string& name, double def) {
  auto it = args.find(name);
  if (it != args.end()) return std::atof(it->second.c_str());
  std::string env = "BLR_FLEET_";
  for (char c : name) env += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const char* v = std::getenv(env.c_str());
  return v && *v ? std::atof(v) : def;
}

Options parseOptions(int argc, char** argv) {
  Options o;
  std::map<std::string, std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    size_t eq = a.find('=');
    if (a == "--check") o.check = true;
    else if (a == "sqlite" || a == "postgresql") o.backend = a;
    else if (eq != std::string::npos) args[a.substr(0, eq)] = a.substr(eq + 1);
    else throw std::runtime_error("unknown argument " + a);
  }
  o.proxies = std::max(1, static_cast<int>(option(args, "proxies", o.proxies)));
  o.pairs = std::max(1, static_cast<int>(option(args, "pairs", o.pairs)));
  o.operators = std::max(0, static_cast<int>(option(args, "operators", o.operators)));
  o.workers = std::max(1, static_cast<int>(option(args, "workers", o.workers)));
  o.plan = std::max(0, static_cast<int>(option(args, "plan", o.plan)));
  o.parallelism = std::max(1, static_cast<int>(option(args, "parallelism", o.parallelism)));
  o.period = std::max(0.01, option(args, "period", o.period));
  o.seconds = std::max(1.0, option(args, "seconds", o.seconds));
  return o;
}

double percentile(std::vector<float>& v, double p) {
  if (v.empty()) return 0;
  size_t at = std::min(v.size() - 1, static_cast<size_t>(p * v.size()));
  std::nth_element(v.begin(), v.begin() + at, v.end());
  return v[at];
}

// What one thread saw, merged after the run.
struct Record {
  std::array<std::vector<float>, kKinds> ms;
  std::array<uint64_t, kKinds> failures{};
};

// The run: its clock, its end, and the first failure's text.
class Run {
 public:
  explicit Run(double seconds) : begin_(Clock::now()), end_(begin_ + toDuration(seconds)) {}
  static Clock::duration toDuration(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
  }
  int64_t nowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin_).count();
  }
  Clock::time_point at(int64_t ms) const { return begin_ + std::chrono::milliseconds(ms); }
  // Past its time, and nothing holds it open.
  bool over() const { return Clock::now() >= end_ && holds_ == 0; }
  // Keeps the run going past its time until release().
  void hold() { ++holds_; }
  void release() { --holds_; }

  // Times `request` as `kind` in `record`.
  void timed(Record* record, Kind kind, const std::function<CZuError()>& request) {
    Clock::time_point start = Clock::now();
    CZuError err = request();
    record->ms[kind].push_back(
        std::chrono::duration<float, std::milli>(Clock::now() - start).count());
    if (!err.IsError()) return;
    ++record->failures[kind];
    std::lock_guard<std::mutex> lock(mu_);
    if (firstError_.empty()) firstError_ = kKindNames[kind] + std::string(": ") + err.AsString();
  }
  std::string firstError() {
    std::lock_guard<std::mutex> lock(mu_);
    return firstError_;
  }

 private:
  Clock::time_point begin_, end_;
  std::atomic<int> holds_{0};
  std::mutex mu_;
  std::string firstError_;
};

// Requests to the anchor under certificate `name`: a connection of its own.
Config clientConfig(BenchCerts& certs, const std::string& name) {
  auto config = std::make_shared<DwLinkClientConfig>();
  must(DwLinkClientConfig::fromRegistry(config.get()));
  must(TlsContext::create(certs.tls(name), &config->tls));
  return config;
}

// The proxies and when each pair's next report is due (ms into the run; read
// by the backlog sampler while workers move it on).
class Fleet {
 public:
  Fleet(const Options& o, std::vector<Config> configs)
      : o_(o), configs_(std::move(configs)), due_(new std::atomic<int64_t>[o.proxies * o.pairs]) {
    std::mt19937 rng(1);
    const double periodMs = o.period * 1000;
    std::uniform_real_distribution<double> first(0, periodMs);
    for (int p = 0; p < o.proxies; ++p) {
      int64_t soonest = INT64_MAX;
      for (int i = 0; i < o.pairs; ++i) {
        due_[p * o.pairs + i] = static_cast<int64_t>(first(rng));
        soonest = std::min<int64_t>(soonest, due_[p * o.pairs + i]);
      }
      queue_.push({soonest, p});
    }
  }

  // Serves proxies in order of their earliest due report until the run ends.
  void work(Run& run, Record* record) {
    std::mt19937 rng(std::random_device{}());
    std::uniform_real_distribution<double> jitter(0.9 * o_.period * 1000, 1.1 * o_.period * 1000);
    std::unique_lock<std::mutex> lock(mu_);
    while (!run.over()) {
      if (queue_.empty() || queue_.top().first > run.nowMs()) {
        auto until = queue_.empty() ? Clock::now() + std::chrono::milliseconds(100)
                                    : run.at(queue_.top().first);
        cv_.wait_until(lock, std::min(until, Clock::now() + std::chrono::milliseconds(100)));
        continue;
      }
      const int proxy = queue_.top().second;
      queue_.pop();
      lock.unlock();
      const int64_t next = serve(run, record, proxy, [&] { return jitter(rng); });
      lock.lock();
      queue_.push({next, proxy});
      cv_.notify_one();
    }
    cv_.notify_all();
  }

  // Reports due but not answered at `nowMs`, and how long the oldest waits.
  void backlog(int64_t nowMs, int64_t* count, int64_t* oldestMs) const {
    const int64_t periodMs = static_cast<int64_t>(o_.period * 1000);
    *count = 0;
    *oldestMs = 0;
    for (int i = 0; i < o_.proxies * o_.pairs; ++i) {
      const int64_t late = nowMs - due_[i].load(std::memory_order_relaxed);
      if (late < 0) continue;
      *count += 1 + late / periodMs;
      *oldestMs = std::max(*oldestMs, late);
    }
  }

 private:
  // Sends the proxy's due reports on its connection; its next due time.
  template <class Jitter>
  int64_t serve(Run& run, Record* record, int proxy, Jitter jitter) {
    BlrDB db(configs_[proxy]);
    int64_t soonest = INT64_MAX;
    for (int i = 0; i < o_.pairs; ++i) {
      std::atomic<int64_t>& due = due_[proxy * o_.pairs + i];
      if (due <= run.nowMs() && !run.over()) {
        const int pairId = proxy * o_.pairs + i + 1;
        run.timed(record, kStatus, [&] {
          return db.setPairStatus(pairId, kRunning, "replicating", 0);
        });
        run.timed(record, kStats, [&] { return db.addPairStats(benchReportStats(pairId)); });
        due += static_cast<int64_t>(jitter());
      }
      soonest = std::min<int64_t>(soonest, due);
    }
    return soonest;
  }

  static constexpr int kRunning = 4;
  const Options& o_;
  std::vector<Config> configs_;
  std::unique_ptr<std::atomic<int64_t>[]> due_;
  std::mutex mu_;
  std::condition_variable cv_;
  using Entry = std::pair<int64_t, int>;  // due ms, proxy
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue_;
};

// An operator: shows a pair, lists 50 from somewhere, watches 10, four
// times a second.
void operate(Run& run, Record* record, Config config, int pairs) {
  BlrDB db(std::move(config));
  std::mt19937 rng(std::random_device{}());
  std::uniform_int_distribution<int> pick(1, pairs);
  while (!run.over()) {
    BlrDB::Pair pair;
    run.timed(record, kShow, [&] { return db.getPair(pick(rng), &pair); });
    run.timed(record, kList, [&] {
      return db.forEachPair({BlrDB::Pair()}, [](const BlrDB::Pair&) { return true; },
                            pick(rng) - 1, 50);
    });
    std::list<BlrDB::Pair> filters(10), found;
    for (BlrDB::Pair& f : filters) f.id = pick(rng);
    run.timed(record, kWatch, [&] { return db.getPairs(filters, &found); });
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

// ---- the server's side ----

struct ServerSample {
  double seconds, cpu, ownCpu;  // since the start; CPU seconds of the server, of this process
  int64_t backlog, oldestMs;
  long rssKiB, fds, threads;
};

long openDescriptors(pid_t pid) {
  std::error_code ec;
  long n = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
       !ec && it != end; it.increment(ec))
    ++n;
  return n;
}

// Bytes of the database: the statistics ("HistoryDB", which only grows) and
// the rest.  SQLite: the files, write-ahead logs folded in first; PostgreSQL:
// the schema's tables with their indexes.
struct DbBytes {
  int64_t stats = 0, rest = 0;
};

DbBytes databaseBytes(const BenchAnchor& anchor) {
  DbBytes out;
  if (anchor.pgConnInfo.empty()) {
    for (const char* db : {"Anchor", "HistoryDB"}) {
      {
        DWSimpleDBConnObject conn;
        must(conn.openSQLConnectionUsingDbName(db), conn);
        must(conn.execQuery("PRAGMA wal_checkpoint(TRUNCATE)"), conn);
      }
      std::error_code ec;
      const auto bytes = std::filesystem::file_size(anchor.dir + "/db/" + db + ".db", ec);
      (std::string(db) == "HistoryDB" ? out.stats : out.rest) += ec ? 0 : static_cast<int64_t>(bytes);
    }
    DWSimpleDBConnObject::closeIdleHandles();
    return out;
  }
  DWSimpleDBConnObject conn;
  must(conn.openSQLConnectionUsingDbName("Anchor"), conn);
  must(conn.execQuery("SELECT CAST(COALESCE(SUM(CASE WHEN c.relname = 'blrpairstats' THEN "
                      "pg_total_relation_size(c.oid) END), 0) AS BIGINT), "
                      "CAST(COALESCE(SUM(CASE WHEN c.relname <> 'blrpairstats' THEN "
                      "pg_total_relation_size(c.oid) END), 0) AS BIGINT) "
                      "FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
                      "WHERE n.nspname = current_schema() AND c.relkind = 'r'"),
       conn);
  must(conn.ibindstruct("B|B", &out.stats, &out.rest), conn);
  must(conn.getNextRow(), conn);
  return out;
}

// Bytes each way on the server's connections still open (ss).
void serverTraffic(int port, int64_t* in, int64_t* out) {
  *in = *out = 0;
  std::string cmd = "ss -tinH state established '( sport = :" + std::to_string(port) + " )'";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return;
  char word[256];
  while (std::fscanf(p, "%255s", word) == 1) {
    long long n = 0;
    if (std::sscanf(word, "bytes_received:%lld", &n) == 1) *in += n;
    if (std::sscanf(word, "bytes_acked:%lld", &n) == 1) *out += n;
  }
  pclose(p);
}

// ---- a plan in the middle ----

// What the whole machine did up to now: CPU ticks from /proc/stat, and the
// kernel's record of time in which some runnable task waited for a core.
struct MachineUse {
  double busyTicks = 0, allTicks = 0, waitingUs = 0, switches = 0;

  static MachineUse now() {
    MachineUse use;
    std::ifstream stat("/proc/stat");
    std::string word;
    stat >> word;  // "cpu": user nice system idle iowait irq softirq steal
    for (int i = 0; i < 8 && stat >> word; ++i) {
      const double ticks = std::stod(word);
      use.allTicks += ticks;
      if (i != 3 && i != 4) use.busyTicks += ticks;
    }
    while (stat >> word)
      if (word == "ctxt" && stat >> use.switches) break;
    std::ifstream pressure("/proc/pressure/cpu");
    while (pressure >> word)
      if (word.rfind("total=", 0) == 0) {
        use.waitingUs = std::stod(word.substr(6));  // the "some" line comes first
        break;
      }
    return use;
  }
};

// The machine over a span of `seconds` that began at `before`.
struct MachineSpan {
  double cores = 0;         // busy, all processes of the machine
  double waitingShare = 0;  // of the span, time some runnable task waited for a core
  double switchesPerSecond = 0;

  static MachineSpan since(const MachineUse& before, double seconds) {
    const MachineUse now = MachineUse::now();
    MachineSpan span;
    span.cores = (now.busyTicks - before.busyTicks) / std::max(1.0, now.allTicks - before.allTicks) *
                 std::max(1u, std::thread::hardware_concurrency());
    span.waitingShare = (now.waitingUs - before.waitingUs) / 1e6 / seconds;
    span.switchesPerSecond = (now.switches - before.switches) / seconds;
    return span;
  }

  void print(const char* what) const {
    std::printf("  %-22s machine busy %3.0f%%, some task waiting for a core %3.0f%% of the time, %6.0f context "
                "switches/s",
                what, cores * 100, waitingShare * 100, switchesPerSecond);
  }
};

// The server's counters of the pair database's writer (the statistics have
// a database of their own), from its metrics: writes go one at a time, and
// on SQLite a commit waits for a flush.
struct WriterUse {
  double writes = 0, waitSecs = 0, heldSecs = 0, flushes = 0, flushSecs = 0, commitWaitSecs = 0;

  static WriterUse scrape(int metricsPort) {
    WriterUse use;
    const std::string text = HttpAnswer(httpExchange(metricsPort, httpRequest("GET", "/metrics"))).body;
    const std::pair<const char*, double*> counters[] = {
        {"blr_anchor_db_writes_total", &use.writes},
        {"blr_anchor_db_write_wait_seconds_total", &use.waitSecs},
        {"blr_anchor_db_write_held_seconds_total", &use.heldSecs},
        {"blr_anchor_db_log_flushes_total", &use.flushes},
        {"blr_anchor_db_log_flush_seconds_total", &use.flushSecs},
        {"blr_anchor_db_commit_flush_wait_seconds_total", &use.commitWaitSecs}};
    for (const auto& c : counters) {
      const std::string key = std::string(c.first) + "{database=\"Anchor\"} ";
      const size_t at = text.find(key);
      if (at != std::string::npos) *c.second = std::strtod(text.c_str() + at + key.size(), nullptr);
    }
    return use;
  }

  WriterUse since(const WriterUse& before) const {
    return WriterUse{writes - before.writes,   waitSecs - before.waitSecs,   heldSecs - before.heldSecs,
                     flushes - before.flushes, flushSecs - before.flushSecs, commitWaitSecs - before.commitWaitSecs};
  }

  // Over a span of `seconds`.
  void print(double seconds) const {
    if (writes <= 0) return;
    std::printf("  %-22s the pair database: %.0f writes/s, its writer held %.0f%% of the time; a write waited "
                "%.2f ms for its turn",
                "", writes / seconds, heldSecs / seconds * 100, waitSecs / writes * 1000);
    if (flushes > 0)
      std::printf(" and %.2f ms for a flush (a flush %.2f ms)", commitWaitSecs / writes * 1000,
                  flushSecs / flushes * 1000);
    std::printf("\n");
  }
};

// Where the time of one plan run went.
struct PlanSpan {
  double seconds = 0;  // -1: failed
  MachineSpan machine;
  WriterUse writer;
  double serverCpu = 0, simulatorsCpu = 0, allCpu = 0;  // seconds
};

// Fails plans over between two simulators that answer at once, through the
// server's runner, as an operator would.
class PlanDrill {
 public:
  // Starts the simulators, enters them in the client directory and stores
  // the pairs of both plans from id `first` on: before the server starts.
  PlanDrill(BenchCerts& certs, int first, int pairs, int parallelism, bool onPostgres)
      : head_(simulator(certs, "planhead", parallelism)),
        tail_(simulator(certs, "plantail", parallelism)),
        postmaster_(onPostgres ? benchPostmasterPid() : 0),
        first_(first),
        pairs_(pairs) {
    must(WorkflowEnv::addClient(kHeadId, "planhead", head_->dwdPort));
    must(WorkflowEnv::addClient(kTailId, "plantail", tail_->dwdPort));
    fillPlanPairs();
  }

  // Stores the plans "quiet" and "loaded", `pairs` each, at `parallelism`:
  // once the server runs.
  void store(const BenchAnchor& anchor, int parallelism) const {
    for (int plan = 0; plan < 2; ++plan) {
      const std::string name = plan == 0 ? "quiet" : "loaded";
      std::string ids;
      for (int i = 0; i < pairs_; ++i) ids += (i ? "," : "") + std::to_string(first_ + plan * pairs_ + i);
      std::ofstream(anchor.dir + "/" + name + ".json")
          << "{\"name\": \"" << name << "\", \"groups\": [{\"parallelism\": " << parallelism
          << ", \"pairs\": [" << ids << "]}]}\n";
      blr(anchor, "plans create --file " + name + ".json", name + "-create");
    }
  }

  // CPU seconds of the server, its database server on this machine, the
  // simulators and the blr runs that ended.
  double cpuSeconds(pid_t server) const {
    return benchCpuSeconds(server) + (postmaster_ ? benchDatabaseServerCpu(postmaster_) : 0) + simulatorsCpu() +
           benchChildrenCpuSeconds();
  }

  double simulatorsCpu() const {
    return benchCpuSeconds(head_->process.pid()) + benchCpuSeconds(tail_->process.pid());
  }

  // Pairs of both plans that ended failed over (status 16).
  int failedOver() const {
    DWSimpleDBConnObject conn;
    must(conn.openSQLConnectionUsingDbName("Anchor"), conn);
    must(conn.execQuery(("SELECT COUNT(*) FROM BlrPair WHERE statusCode = 16 AND id >= " + std::to_string(first_))
                            .c_str()),
         conn);
    int64_t count = 0;
    must(conn.ibindstruct("B", &count), conn);
    must(conn.getNextRow(), conn);
    return static_cast<int>(count);
  }

  // Fails plan `name` over and watches it to its end: where its time went,
  // or seconds -1 with blr's output in `error` when a pair failed.
  PlanSpan failover(const BenchAnchor& anchor, const std::string& name, std::string* error) const {
    const pid_t server = anchor.process->pid();
    const WriterUse writer = WriterUse::scrape(anchor.metricsPort);
    const MachineUse machine = MachineUse::now();
    const double serverCpu = benchCpuSeconds(server), simulatorsCpu = this->simulatorsCpu(),
                 allCpu = cpuSeconds(server);
    const Clock::time_point start = Clock::now();
    PlanSpan span;
    if (!blr(anchor, "plans failover " + name, name + "-failover", error)) {
      span.seconds = -1;
      return span;
    }
    span.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    span.machine = MachineSpan::since(machine, span.seconds);
    span.writer = WriterUse::scrape(anchor.metricsPort).since(writer);
    span.serverCpu = benchCpuSeconds(server) - serverCpu;
    span.simulatorsCpu = this->simulatorsCpu() - simulatorsCpu;
    span.allCpu = cpuSeconds(server) - allCpu;
    return span;
  }

 private:
  static constexpr int kHeadId = 30, kTailId = 31;

  // The plan's workers shake hands with it at once from one address and
  // each keeps a connection under the one name: a parallelism above the
  // defaults needs room for as many (docs/cli.md).
  static std::unique_ptr<ProxyProcess> simulator(BenchCerts& certs, const std::string& name, int parallelism) {
    certs.issue(name);
    const std::string room = std::to_string(2 * parallelism);
    return std::make_unique<ProxyProcess>(
        std::string(BLR_TOOLS_DIR) + "/blr-proxy", name, certs.tls(name), "anchor, client", 0,
        std::vector<std::string>{"--set", "sync-delay-ms=0", "--set", "flush-delay-ms=0"},
        parallelism <= 16 ? ""
                          : "nMaxPendingPerAddress = " + room + "\nnMaxIdlePerName = " + room +
                                "\nnMaxConnections = " + std::to_string(std::max(64, 4 * parallelism)) + "\n");
  }

  // Running pairs from the Head to the Tail with a disk each, straight into
  // "Anchor".
  void fillPlanPairs() const {
    DWSimpleDBConnObject conn;
    must(conn.openSQLConnectionUsingDbName("Anchor"), conn);
    must(conn.startTran(), conn);
    for (int id = first_; id < first_ + 2 * pairs_; ++id) {
      char guid[4][40];
      for (int k = 0; k < 4; ++k) std::snprintf(guid[k], sizeof guid[k], "%032x", (k + 1) * 0x1000000 + id);
      const std::string n = std::to_string(id);
      must(conn.execQuery(("INSERT INTO BlrPair(id, subClientId, dstClientId, headClientId, tailClientId, "
                           "srcName, dstName, srcGuid, dstGuid, statusCode) VALUES(" + n + ", 7, " +
                           std::to_string(kTailId) + ", " + std::to_string(kHeadId) + ", " +
                           std::to_string(kTailId) + ", 'plan" + n + "', 'plan" + n + "-dr', '" + guid[0] +
                           "', '" + guid[1] + "', 4); INSERT INTO BlrDisk(pairId, srcPath, dstPath, srcGuid, "
                           "dstGuid) VALUES(" + n + ", '/vmfs/plan" + n + "/disk0.vmdk', '/dr/plan" + n + "', '" +
                           guid[2] + "', '" + guid[3] + "')")
                              .c_str()),
           conn);
    }
    must(conn.endTran(1), conn);
  }

  // `blr ARGS` as the operator "client", its output in `out`.out: whether it
  // exited 0 (else the output in `error`, or thrown when `error` is null).
  static bool blr(const BenchAnchor& anchor, const std::string& args, const std::string& out,
                  std::string* error = nullptr) {
    const std::string line = "cd '" + anchor.dir + "' && '" + BLR_TOOLS_DIR + "/blr' -r blr.reg " + args + " >" +
                             out + ".out 2>&1";
    if (std::system(line.c_str()) == 0) return true;
    std::ifstream in(anchor.dir + "/" + out + ".out");
    const std::string text = "blr " + args + ": " + std::string(std::istreambuf_iterator<char>(in), {});
    if (error == nullptr) throw std::runtime_error(text);
    *error = text;
    return false;
  }

  std::unique_ptr<ProxyProcess> head_, tail_;
  pid_t postmaster_;
  int first_, pairs_;
};

// ---- the run ----

// Certificates and client entries of the proxies and operators; the pairs.
void registerFleet(BenchCerts& certs, const Options& o) {
  for (int p = 0; p < o.proxies; ++p) {
    const std::string name = "proxy" + std::to_string(p + 1);
    certs.issue(name);
    DWClientInfo client{1000 + p, name, "10.1." + std::to_string(p / 250) + "." +
                                            std::to_string(p % 250 + 1),
                        8406, 8407};
    must(DWClientDirectory::add(client));
  }
  for (int i = 0; i < o.operators; ++i) certs.issue("operator" + std::to_string(i + 1));
  fillPairs(o.proxies * o.pairs);
}

// Prints the figures; false when the fleet failed a request or fell behind.
// The plan failed over quiet and under the fleet's load.
struct PlanTimes {
  PlanSpan quiet, loaded;
  double startedAt = 0;   // seconds into the run
  double fleetCores = 0;  // the fleet's CPU (server and simulator) before the plan
  MachineSpan fleetMachine;  // the machine then
  WriterUse fleetWriter;
  double fleetSeconds = 0;
  int failedOver = 0;     // pairs of both
  std::string error;
};

bool report(const Options& o, std::vector<Record>& records, const std::vector<ServerSample>& samples,
            double seconds, DbBytes dbBefore, DbBytes dbAfter, int64_t netIn, int64_t netOut,
            Run& run, const PlanTimes& plan) {
  const int pairs = o.proxies * o.pairs;
  std::printf("%s: %d proxies x %d pairs (%d), a report every %.1f s, %d operators, %d workers, "
              "%.0f s\n",
              o.backend.c_str(), o.proxies, o.pairs, pairs, o.period, o.operators, o.workers,
              seconds);
  uint64_t failures = 0;
  for (int k = 0; k < kKinds; ++k) {
    std::vector<float> all;
    uint64_t failed = 0;
    for (Record& r : records) {
      all.insert(all.end(), r.ms[k].begin(), r.ms[k].end());
      failed += r.failures[k];
    }
    failures += failed;
    const size_t n = all.size();
    const double p50 = percentile(all, 0.5), p99 = percentile(all, 0.99),
                 p999 = percentile(all, 0.999);
    std::printf("  %-26s %8zu  %8.1f/s  p50 %7.2f  p99 %7.2f  p999 %7.2f ms  %llu failed\n",
                kKindNames[k], n, n / seconds, p50, p99, p999,
                static_cast<unsigned long long>(failed));
  }
  const ServerSample& last = samples.back();
  double peakCpu = 0;
  long peakRss = 0, peakFds = 0, peakThreads = 0;
  for (size_t i = 1; i < samples.size(); ++i)
    peakCpu = std::max(peakCpu, (samples[i].cpu - samples[i - 1].cpu) /
                                    (samples[i].seconds - samples[i - 1].seconds));
  for (const ServerSample& s : samples) {
    peakRss = std::max(peakRss, s.rssKiB);
    peakFds = std::max(peakFds, s.fds);
    peakThreads = std::max(peakThreads, s.threads);
  }
  const double wall = last.seconds - samples.front().seconds;
  std::printf("  server: CPU %.0f%% mean, %.0f%% busiest second; RSS %ld MiB peak; %ld descriptors, "
              "%ld threads at most (the fleet itself: CPU %.0f%%)\n",
              (last.cpu - samples.front().cpu) / wall * 100, peakCpu * 100, peakRss / 1024, peakFds,
              peakThreads, (last.ownCpu - samples.front().ownCpu) / wall * 100);
  const double mib = 1048576.0, perDay = 86400 / seconds / 1073741824.0;
  std::printf("  database: statistics %.1f -> %.1f MiB, the rest %.1f -> %.1f MiB; growth at this "
              "rate %.2f GiB a day of statistics, %.2f GiB of the rest\n",
              dbBefore.stats / mib, dbAfter.stats / mib, dbBefore.rest / mib, dbAfter.rest / mib,
              (dbAfter.stats - dbBefore.stats) * perDay, (dbAfter.rest - dbBefore.rest) * perDay);
  std::printf("  traffic on open connections: %.1f KiB/s in, %.1f KiB/s out\n",
              netIn / seconds / 1024, netOut / seconds / 1024);
  // Backlog: the first and second half of the run.
  int64_t firstMax = 0, secondMax = 0, oldestLate = 0;
  double firstSum = 0, secondSum = 0;
  int firstN = 0, secondN = 0;
  for (const ServerSample& s : samples) {
    if (s.seconds < seconds / 2) {
      firstSum += s.backlog, ++firstN, firstMax = std::max(firstMax, s.backlog);
    } else {
      secondSum += s.backlog, ++secondN, secondMax = std::max(secondMax, s.backlog);
      oldestLate = std::max(oldestLate, s.oldestMs);
    }
  }
  const bool behind = oldestLate > o.period * 1000;
  std::printf("  backlog (reports due, unanswered): first half mean %.0f max %lld, second half "
              "mean %.0f max %lld; oldest waited %lld ms in the second half: %s\n",
              firstN ? firstSum / firstN : 0, static_cast<long long>(firstMax),
              secondN ? secondSum / secondN : 0, static_cast<long long>(secondMax),
              static_cast<long long>(oldestLate), behind ? "FALLS BEHIND" : "keeps up");
  if (failures > 0) std::printf("  first failure: %s\n", run.firstError().c_str());
  bool planOk = true;
  if (o.plan > 0) {
    planOk = plan.error.empty() && plan.failedOver == 2 * o.plan;
    std::printf("  plan of %d pairs at %d at once, through the server's runner: quiet %.2f s, under the "
                "fleet's load %.2f s (from %.0f s into the run): %.2fx; %d of %d pairs failed over\n",
                o.plan, o.parallelism, plan.quiet.seconds, plan.loaded.seconds, plan.startedAt,
                planOk ? plan.loaded.seconds / plan.quiet.seconds : 0.0, plan.failedOver, 2 * o.plan);
    // Even if nothing but CPU were shared, the plan's work would get only
    // the cores the fleet leaves.
    const double cores = std::max(1u, std::thread::hardware_concurrency());
    if (planOk && plan.fleetCores < cores)
      std::printf("  the plan's CPU quiet %.1f s (all processes); the fleet's before it %.0f%%: the least ratio "
                  "%.0f cores allow %.2fx\n",
                  plan.quiet.allCpu, plan.fleetCores * 100, cores,
                  std::max(1.0, plan.quiet.allCpu / (cores - plan.fleetCores) / plan.quiet.seconds));
    if (planOk) {
      plan.quiet.machine.print("the quiet plan:");
      std::printf("; CPU of the server %.1f s, of the simulators %.1f s\n", plan.quiet.serverCpu,
                  plan.quiet.simulatorsCpu);
      plan.quiet.writer.print(plan.quiet.seconds);
      plan.fleetMachine.print("the fleet before it:");
      std::printf("\n");
      plan.fleetWriter.print(plan.fleetSeconds);
      plan.loaded.machine.print("the plan under load:");
      std::printf("; CPU of the server %.1f s, of the simulators %.1f s\n", plan.loaded.serverCpu,
                  plan.loaded.simulatorsCpu);
      plan.loaded.writer.print(plan.loaded.seconds);
    }
    if (!planOk) std::printf("  plan failed: %s\n", plan.error.c_str());
  }
  return failures == 0 && !behind && planOk;
}

bool simulate(const Options& o, const std::string& pgConnInfo) {
  raiseDescriptorLimit(4096 + 2 * o.proxies);
  BenchCerts certs;
  std::string operators = "client";
  for (int i = 0; i < o.operators; ++i) operators += ",operator" + std::to_string(i + 1);
  // Every proxy keeps its connection, each held by a thread of the server.
  const std::string link =
      "nMaxConnections = " + std::to_string(std::max(64, o.proxies + o.operators + 16)) + "\n" +
      "[Metrics]\nsListenAddress = 127.0.0.1\nnListenPort = 0\n";
  BenchAnchor anchor(certs, link, pgConnInfo, operators);
  registerFleet(certs, o);
  std::unique_ptr<PlanDrill> drill;
  if (o.plan > 0)
    drill = std::make_unique<PlanDrill>(certs, o.proxies * o.pairs + 1, o.plan, o.parallelism, !pgConnInfo.empty());
  DWSimpleDBConnObject::closeIdleHandles();
  const DbBytes dbBefore = databaseBytes(anchor);
  anchor.start();
  PlanTimes plan;
  if (drill) {
    drill->store(anchor, o.parallelism);
    plan.quiet = drill->failover(anchor, "quiet", &plan.error);
  }
  std::vector<Config> proxies, operatorConfigs;
  for (int p = 0; p < o.proxies; ++p)
    proxies.push_back(clientConfig(certs, "proxy" + std::to_string(p + 1)));
  for (int i = 0; i < o.operators; ++i)
    operatorConfigs.push_back(clientConfig(certs, "operator" + std::to_string(i + 1)));
  const pid_t pid = anchor.process->pid();

  Fleet fleet(o, std::move(proxies));
  std::vector<Record> records(o.workers + o.operators);
  std::vector<ServerSample> samples;
  Run run(o.seconds);
  std::vector<std::thread> threads;
  for (int w = 0; w < o.workers; ++w)
    threads.emplace_back([&, w] { fleet.work(run, &records[w]); });
  for (int i = 0; i < o.operators; ++i)
    threads.emplace_back([&, i] {
      operate(run, &records[o.workers + i], operatorConfigs[i], o.proxies * o.pairs);
    });
  if (drill && plan.error.empty()) {
    run.hold();  // the fleet goes on until the plan is done
    threads.emplace_back([&] {
      // The fleet's CPU over the eighth of the run before the plan, past
      // the proxies' first handshakes.
      auto fleetCpu = [&] { return drill->cpuSeconds(anchor.process->pid()) + benchCpuSeconds(getpid()); };
      std::this_thread::sleep_until(run.at(static_cast<int64_t>(o.seconds * 125)));
      const double cpu = fleetCpu(), from = run.nowMs() / 1000.0;
      const MachineUse machine = MachineUse::now();
      const WriterUse writer = WriterUse::scrape(anchor.metricsPort);
      std::this_thread::sleep_until(run.at(static_cast<int64_t>(o.seconds * 250)));
      plan.startedAt = run.nowMs() / 1000.0;
      plan.fleetSeconds = std::max(0.001, plan.startedAt - from);
      plan.fleetCores = (fleetCpu() - cpu) / plan.fleetSeconds;
      plan.fleetMachine = MachineSpan::since(machine, plan.fleetSeconds);
      plan.fleetWriter = WriterUse::scrape(anchor.metricsPort).since(writer);
      plan.loaded = drill->failover(anchor, "loaded", &plan.error);
      run.release();
    });
  }
  for (int s = 0; !run.over(); ++s) {
    ServerSample sample{};
    sample.seconds = run.nowMs() / 1000.0;
    sample.cpu = benchCpuSeconds(pid);
    sample.ownCpu = benchCpuSeconds(getpid());
    fleet.backlog(run.nowMs(), &sample.backlog, &sample.oldestMs);
    sample.rssKiB = anchor.process->memoryKiB("VmRSS");
    sample.threads = anchor.process->memoryKiB("Threads");  // a plain count
    sample.fds = openDescriptors(pid);
    samples.push_back(sample);
    std::this_thread::sleep_until(run.at((s + 1) * 1000));
  }
  int64_t netIn = 0, netOut = 0;
  serverTraffic(anchor.port, &netIn, &netOut);
  const double seconds = run.nowMs() / 1000.0;
  for (std::thread& t : threads) t.join();
  samples.push_back(ServerSample{seconds, benchCpuSeconds(pid), benchCpuSeconds(getpid()), 0, 0,
                                 anchor.process->memoryKiB("VmRSS"), openDescriptors(pid),
                                 anchor.process->memoryKiB("Threads")});
  fleet.backlog(static_cast<int64_t>(seconds * 1000), &samples.back().backlog,
                &samples.back().oldestMs);
  anchor.process->stop();
  if (drill) plan.failedOver = drill->failedOver();
  return report(o, records, samples, seconds, dbBefore, databaseBytes(anchor), netIn, netOut, run, plan);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Options o = parseOptions(argc, argv);
    bool ok;
    if (o.backend == "postgresql") {
      BenchPgSchema schema("blrfleetsim_");
      ok = simulate(o, schema.connInfo());
    } else {
      ok = simulate(o, "");
    }
    std::fflush(stdout);
    return ok || !o.check ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fleet_sim: %s\n", e.what());
    return 2;
  }
}

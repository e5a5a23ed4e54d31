// The central server at fleet scale, measured against the real blr-anchor:
//   attack  a good client's get_pairs by id and scrape of /metrics while idle
//           plain sockets, half-done handshakes, idle authenticated
//           connections and trickling requests are held open on both
//           listeners of the central server, and its ping of a blr-proxy
//           while the proxy's port lookup and control port are held the same
//           way, against the same client on quiet servers (interleaved
//           rounds);
//   memory  peak resident memory of the server while 32 clients send frames
//           at the size bound at once, against its memory budget;
//   list    all pairs over the link, against reading the same rows straight
//           from the database in this process (interleaved rounds), with the
//           server's peak memory, and `blr pairs list` to a file;
//   scrape  get_pairs throughput of 4 clients while /metrics is scraped every
//           second, against the same clients without scrapes (interleaved
//           rounds), on 1,000 pairs; and the time of one scrape by fleet size.
// Lists of 1,000 and 100,000 pairs; BLR_BENCH_MILLION=1 adds 1,000,000.
// Usage: fleet_bench [attack|memory|list]...
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrDB.h"
#include "BenchRounds.h"
#include "support/SamplePair.h"
#include "BenchAnchor.h"
#include "host/config/DWPlatformInfo.h"
#include "host/sql/DWSimpleDBConnObject.h"
#include "host/sql/DWSqlSchema.h"
#include "host/link/DwLinkFrame.h"
#include "host/link/DwLinkPool.h"
#include "host/net/DwHostName.h"
#include "support/ChildProcess.h"
#include "support/HttpExchange.h"
#include "support/Siege.h"
#include "support/WorkflowEnv.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point begin) {
  return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

double median(std::vector<double> v) { return percentile(std::move(v), 0.5); }

// ---- attack ----

// A new connection for each request: the harder case, since each needs a
// handshake while the siege holds the server's places.
std::vector<double> timedRound(int requests, int* failures, const std::function<bool()>& request) {
  std::vector<double> ms;
  for (int i = 0; i < requests; ++i) {
    DwLinkPool::instance().clear();
    auto begin = Clock::now();
    bool ok = request();
    ms.push_back(msSince(begin));
    if (!ok) ++*failures;
  }
  return ms;
}

// Without and under siege, in interleaved rounds: `request`'s p50 and p99.
struct SiegeFigures {
  std::vector<double> quiet, sieged, ratios;
  int quietFailures = 0, siegeFailures = 0;

  void print(const char* what, int addresses) const {
    std::printf("  %-9s %3d addresses: quiet p50 %.2f p99 %.2f ms (%d failed); siege p50 %.2f "
                "p99 %.2f ms (%d failed); p99 ratio %.2fx (median of rounds)\n",
                what, addresses, percentile(quiet, 0.5), percentile(quiet, 0.99), quietFailures,
                percentile(sieged, 0.5), percentile(sieged, 0.99), siegeFailures, median(ratios));
  }
};

// The good client's requests and scrapes without and under a siege of both
// listeners of the anchor, and its pings without and under a siege of both
// listeners of a proxy, from 1, 8, 50 and 200 source addresses.
// BLR_BENCH_SIEGE_ROUNDS sets the rounds (a soak: many),
// BLR_BENCH_SIEGE_REQUESTS the requests of each kind in a round (500: a p99
// of fewer is one unlucky request), BLR_BENCH_SIEGE_ADDRESSES one count of
// addresses instead of the four.
void benchAttack(BenchCerts& certs) {
  BenchAnchor anchor(certs, "[Metrics]\nnListenPort = 0\n");
  anchor.start();
  const int metricsPort = numberAfter(anchor.process->readLine(), "/127.0.0.1:");
  if (metricsPort == 0) std::abort();
  BlrDB::Pair p = samplePair();
  must(BlrDB().createOrUpdatePair(p));
  certs.issue("head1");
  ProxyProcess proxy(std::string(BLR_TOOLS_DIR) + "/blr-proxy", "head1", certs.tls("head1"), "client", 0);
  const int proxyCtrlPort = numberAfter(proxy.banner, "on ports ");
  if (proxyCtrlPort == 0 || proxy.dwdPort == 0) std::abort();
  const std::string proxyHost = MangleHostName("127.0.0.1", "head1", proxy.dwdPort, 0);
  // The client's connection lines go to a file, not to the benchmark's output.
  DWPlatformInfo::setValue("EventManager", "sLogFile", certs.dir + "/client.log");
  std::shared_ptr<TlsContext> tls;
  must(TlsContext::create(certs.tls("client"), &tls));
  const char* roundsText = std::getenv("BLR_BENCH_SIEGE_ROUNDS");
  const char* requestsText = std::getenv("BLR_BENCH_SIEGE_REQUESTS");
  const int kRounds = roundsText ? std::max(1, std::atoi(roundsText)) : 3;
  const int kRequests = requestsText ? std::max(100, std::atoi(requestsText)) : 500;
  auto getPair = [&] {
    BlrDB::Pair pair;
    return !BlrDB().getPair(p.id, &pair).IsError() && pair.id == p.id;
  };
  auto scrape = [&] { return HttpAnswer(httpExchange(metricsPort, httpRequest("GET", "/metrics"))).status == 200; };
  auto ping = [&] {  // on a new connection, port lookup included
    DwLinkPool::instance().clear();
    BlrCtrl ctrl;
    return !ctrl.connect(proxyHost).IsError() && !ctrl.ping().IsError();
  };
  auto settle = [] { std::this_thread::sleep_for(std::chrono::seconds(1)); };
  std::printf("siege: get_pairs by id, scrapes and proxy pings, each on a new connection, %d rounds "
              "of %d\n",
              kRounds, kRequests);
  std::vector<int> addressCounts = {1, 8, 50, 200};
  if (const char* only = std::getenv("BLR_BENCH_SIEGE_ADDRESSES")) addressCounts = {std::atoi(only)};
  for (int addresses : addressCounts) {
    SiegeFigures pairs, scrapes, pings;
    for (int r = 0; r < kRounds; ++r) {
      // Each quiet round right before its siege, once the last siege's
      // connections are gone.
      Siege::Counts counts;
      counts.addresses = addresses;
      settle();
      std::vector<double> quietPairs = timedRound(kRequests, &pairs.quietFailures, getPair);
      std::vector<double> quietScrapes = timedRound(kRequests, &scrapes.quietFailures, scrape);
      std::vector<double> siegedPairs, siegedScrapes, siegedPings;
      {
        Siege siege({{anchor.port, Siege::Kind::kLink}, {metricsPort, Siege::Kind::kHttp}}, tls, counts);
        siegedPairs = timedRound(kRequests, &pairs.siegeFailures, getPair);
        siegedScrapes = timedRound(kRequests, &scrapes.siegeFailures, scrape);
      }
      settle();
      std::vector<double> quietPings = timedRound(kRequests, &pings.quietFailures, ping);
      {
        Siege siege({{proxy.dwdPort, Siege::Kind::kLink}, {proxyCtrlPort, Siege::Kind::kControl}}, tls,
                    counts);
        siegedPings = timedRound(kRequests, &pings.siegeFailures, ping);
      }
      for (auto [f, quiet, sieged] : {std::tie(pairs, quietPairs, siegedPairs),
                                      std::tie(scrapes, quietScrapes, siegedScrapes),
                                      std::tie(pings, quietPings, siegedPings)}) {
        f.ratios.push_back(percentile(sieged, 0.99) / percentile(quiet, 0.99));
        f.quiet.insert(f.quiet.end(), quiet.begin(), quiet.end());
        f.sieged.insert(f.sieged.end(), sieged.begin(), sieged.end());
      }
    }
    pairs.print("get_pairs", addresses);
    scrapes.print("scrape", addresses);
    pings.print("ping", addresses);
  }
}

// ---- memory ----

void benchMemory(BenchCerts& certs) {
  BenchAnchor anchor(certs);
  anchor.start();
  long before = anchor.process->memoryKiB("VmRSS");
  const std::string frame = frameAtSizeBound();
  if (frame.empty()) std::abort();
  std::shared_ptr<TlsContext> tls;
  must(TlsContext::create(certs.tls("client"), &tls));
  const int kClients = 32;
  std::atomic<int> answered{0};
  auto begin = Clock::now();
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i)
    clients.emplace_back([&, i] {
      RawPeer peer("127.0.0.1", anchor.port, "127.0.0." + std::to_string(10 + i));
      if (peer.authenticate(tls).IsError()) return;
      std::string payload;
      bool started = false;
      if (!dwLinkSendFrame(peer.tls, frame, 120000).IsError() &&
          !dwLinkRecvFrame(peer.tls, kDwLinkMaxFrameBytes, 120000, &payload, &started).IsError())
        ++answered;
    });
  for (std::thread& t : clients) t.join();
  double seconds = msSince(begin) / 1000;
  long peak = anchor.process->memoryKiB("VmHWM");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  long after = anchor.process->memoryKiB("VmRSS");
  std::printf("memory: %d clients x %u-byte frames, budget 256 MiB: %d answered in %.1f s\n",
              kClients, kDwLinkMaxFrameBytes, answered.load(), seconds);
  std::printf("  server RSS: %ld MiB before, %ld MiB peak, %ld MiB after\n", before / 1024,
              peak / 1024, after / 1024);
}

// ---- list ----

// Reads every row of the pair query in this process: the work the server
// cannot avoid.
double rawRowsMs() {
  auto begin = Clock::now();
  DWSimpleDBConnObject conn;
  must(conn.openSQLConnectionUsingDbName("Anchor"), conn);
  must(conn.execQuery(
           "SELECT BlrPair.id, BlrPair.srcName, BlrDisk.id, BlrDisk.srcPath, APP_Client.name "
           "FROM BlrPair INNER JOIN BlrDisk ON BlrPair.id=BlrDisk.pairId INNER JOIN "
           "APP_Client ON BlrPair.tailClientId=APP_Client.id ORDER BY BlrPair.id"),
       conn);
  int32_t id = 0, diskId = 0;
  static wchar_t name[128], path[1024], client[256];
  must(conn.ibindstruct("i|w128|i|w1024|w256", &id, name, &diskId, path, client), conn);
  long rows = 0;
  while (conn.getNextRow() == 0) ++rows;
  if (rows == 0) std::abort();
  return msSince(begin);
}

double linkListMs(int expected) {
  auto begin = Clock::now();
  int count = 0;
  must(BlrDB().forEachPair({BlrDB::Pair()}, [&](const BlrDB::Pair&) {
    ++count;
    return true;
  }));
  if (count != expected) std::abort();
  return msSince(begin);
}

// `blr pairs list` into a file: the time to its first line and to its end.
void cliList(const BenchAnchor& anchor, double* firstLineMs, double* totalMs) {
  std::string out = anchor.dir + "/list.txt";
  std::remove(out.c_str());
  std::string command = std::string(BLR_TOOLS_DIR) + "/blr -r " + anchor.dir +
                        "/blr.reg pairs list > " + out;
  auto begin = Clock::now();
  *firstLineMs = -1;
  std::thread runner([&] {
    if (std::system(command.c_str()) != 0) std::abort();
  });
  struct stat st {};
  while (*firstLineMs < 0) {
    if (::stat(out.c_str(), &st) == 0 && st.st_size > 200) *firstLineMs = msSince(begin);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (msSince(begin) > 600000) break;
  }
  runner.join();
  *totalMs = msSince(begin);
}

void benchList(BenchCerts& certs) {
  std::vector<int> sizes = {1000, 100000};
  const char* million = std::getenv("BLR_BENCH_MILLION");
  if (million != nullptr && std::string(million) == "1") sizes.push_back(1000000);
  std::printf("list: all pairs (3 disks each) over the link vs the rows read in-process\n");
  for (int n : sizes) {
    BenchAnchor anchor(certs);
    fillPairs(n);
    anchor.start();
    const int kRounds = n >= 1000000 ? 3 : 5;
    std::vector<double> raw, link, ratios;
    for (int r = 0; r < kRounds; ++r) {
      raw.push_back(rawRowsMs());
      link.push_back(linkListMs(n));
      ratios.push_back(link.back() / raw.back());
    }
    long peak = anchor.process->memoryKiB("VmHWM");
    double first = 0, total = 0;
    cliList(anchor, &first, &total);
    std::printf("  %7d pairs: link %.3f us/pair, rows %.3f us/pair, link/rows %.2fx; "
                "server peak RSS %ld MiB; blr pairs list: first line %.0f ms, all %.1f s\n",
                n, median(link) * 1000 / n, median(raw) * 1000 / n, median(ratios), peak / 1024,
                first, total / 1000);
  }
}

// ---- scrape ----

// One plain HTTP GET of `path`; the size of the answer, 0 on failure.
size_t httpGet(int port, const std::string& path) {
  return httpExchange(port, httpRequest("GET", path)).size();
}

// Scrapes at once and then every second until destroyed.
class Scraper {
 public:
  explicit Scraper(int port) : thread_([this, port] {
    std::unique_lock<std::mutex> lock(mu_);
    do {
      lock.unlock();
      if (httpGet(port, "/metrics") == 0) std::abort();
      ++scrapes;
      lock.lock();
    } while (!cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; }));
  }) {}
  ~Scraper() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  std::atomic<int> scrapes{0};

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

void getPairsFromClients(int ops, int pairs) {
  const int kClients = 4;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([=] {
      for (int i = c; i < ops; i += kClients) {
        BlrDB::Pair pair;
        must(BlrDB().getPair(1 + i % pairs, &pair));
      }
    });
  for (std::thread& t : clients) t.join();
}

void benchScrape(BenchCerts& certs) {
  const int kPairs = 1000;
  {
    BenchAnchor anchor(certs, "[Metrics]\nnListenPort = 0\n");
    fillPairs(kPairs);
    anchor.start();
    const int metricsPort = numberAfter(anchor.process->readLine(), "/127.0.0.1:");
    if (metricsPort == 0) std::abort();
    std::atomic<int> scrapes{0};
    std::printf("scrape: get_pairs by id from 4 clients, %d pairs, /metrics every second\n", kPairs);
    benchInterleave(
        "  with scrapes / without", 9, 16000, [&](int ops) { getPairsFromClients(ops, kPairs); },
        [&](int ops) {
          Scraper scraper(metricsPort);
          getPairsFromClients(ops, kPairs);
          scrapes += scraper.scrapes.load();
        });
    std::printf("  %d scrapes during the measured rounds\n", scrapes.load());
  }
  for (int n : {1000, 10000, 100000}) {
    BenchAnchor anchor(certs, "[Metrics]\nnListenPort = 0\n");
    fillPairs(n);
    anchor.start();
    const int metricsPort = numberAfter(anchor.process->readLine(), "/127.0.0.1:");
    std::vector<double> ms;
    size_t bytes = 0;
    for (int i = 0; i < 5; ++i) {
      auto begin = Clock::now();
      bytes = httpGet(metricsPort, "/metrics");
      ms.push_back(msSince(begin));
    }
    std::printf("  one scrape of %d pairs (1,000 with series): median %.1f ms, %zu bytes\n", n,
                median(ms), bytes);
  }
}

}  // namespace

int main(int argc, char** argv) {
  raiseDescriptorLimit(4096);
  BenchCerts certs;
  std::vector<std::string> parts(argv + 1, argv + argc);
  if (parts.empty()) parts = {"attack", "memory", "list", "scrape"};
  for (const std::string& part : parts) {
    if (part == "attack") benchAttack(certs);
    else if (part == "memory") benchMemory(certs);
    else if (part == "list") benchList(certs);
    else if (part == "scrape") benchScrape(certs);
    else std::fprintf(stderr, "unknown part %s\n", part.c_str());
  }
  return 0;
}

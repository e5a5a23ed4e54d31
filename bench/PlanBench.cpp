// Failover of a recovery plan through the real programs: blr-anchor, a Head
// and a Tail simulator that answer at once, and `blr plans failover`.
//   runner    1,000 pairs in one group at parallelism 32, submitted to the
//             central server's runner and watched until done: total time;
//   here      the same plan carried out in the blr process (--here);
//   baseline  32 other pairs one at a time (a plan at parallelism 1, --here)
//             through the same processes: time per pair, times 1,000 / 32,
//             is the ideal parallel time.
// Rounds interleave them (runner, here, baseline, runner, ...); each run is
// undone by the plan's cancel-failover, untimed.  The figures are the
// medians of the rounds' runner / here and here / ideal time, next to the
// least ratio the machine's cores allow: the plan's CPU time (all processes,
// as measured one pair at a time) spread over every core.  Where the time
// goes: CPU seconds of each process over the timed runs in blr, and each
// step's mean time per pair from the last plan run's record.
// Usage: plan_bench [sqlite] [postgresql]  (PostgreSQL: the server that
// BLR_TEST_PG_CONNINFO names, in a fresh schema dropped at the end).
// BLR_PLAN_BENCH_PAIRS and BLR_PLAN_BENCH_ROUNDS change 1,000 and 3;
// BLR_PLAN_BENCH_PERF=1 adds an untimed plan run sampled with perf, and
// prints the busiest functions of blr-anchor and of blr (BLR_PLAN_BENCH_KEEP_PERF=1 keeps
// the perf files in /tmp).
// What one pair's failover costs, from an untimed plan run in blr traced
// with strace, the central server's counters and the simulators' request
// logs: connections (each a TLS handshake) from blr to each server,
// requests to the central server by name, its frames, its fsyncs and
// fdatasyncs, and the control requests each proxy served.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "BenchAnchor.h"
#include "support/ChildProcess.h"
#include "support/ClientDirectory.h"
#include "support/HttpExchange.h"
#include "host/config/DWPlatformInfo.h"
#include "host/sql/DWSimpleDBConnObject.h"

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr int kParallelism = 32;

// Ends the benchmark; thrown, so that the trial's servers are stopped.
[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

int envNumber(const char* name, int def) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : def;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The trial of `blr certs init --registries` in a temporary directory, its
// three servers running.
class Trial {
 public:
  explicit Trial(const std::string& pgConnInfo) {
    char tmpl[] = "/tmp/blr-plan-bench-XXXXXX";
    dir_ = mkdtemp(tmpl);
    sh("blr certs init . --proxy head1 --proxy tail1 --operator bench --registries >/dev/null");
    if (!pgConnInfo.empty()) usePostgres(pgConnInfo);
    // blr sets up connections on 32 threads at once; by default a server
    // sheds handshakes beyond 16 from one address.
    for (const char* server : {"anchor.reg", "head1.reg", "tail1.reg"})
      std::ofstream(dir_ + "/" + server, std::ios::app) << "\n[Link]\nnMaxPendingPerAddress = 128\n";
    std::ofstream(dir_ + "/anchor.reg", std::ios::app) << "[Metrics]\nnListenPort = 0\n";
    try {
      anchor_ = start("blr-anchor serve --registry anchor.reg", "anchor.out");
      head_ = start("blr-proxy --registry head1.reg --set sync-delay-ms=0 --set flush-delay-ms=0 "
                    "--request-log head1.requests",
                    "head1.out");
      tail_ = start("blr-proxy --registry tail1.reg --set sync-delay-ms=0 --set flush-delay-ms=0 "
                    "--request-log tail1.requests",
                    "tail1.out");
    } catch (...) {
      stop();
      throw;
    }
  }
  ~Trial() { stop(); }

  // Runs a shell command in the directory, the tools first on PATH; fails
  // the benchmark unless it exits 0.  Its output, when `out` is given.
  void sh(const std::string& command, std::string* out = nullptr) const {
    std::string line = "cd '" + dir_ + "' && PATH='" + BLR_TOOLS_DIR + "':\"$PATH\" && (" +
                       command + ") >.out 2>>bench.err";
    if (std::system(line.c_str()) != 0) fail(command + ": " + read(".out") + read("bench.err"));
    if (out) *out = read(".out");
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  // Seconds that `blr ARGS` took.
  double blr(const std::string& args) const {
    Clock::time_point start = Clock::now();
    sh("blr -r bench.reg " + args);
    return std::chrono::duration<double>(Clock::now() - start).count();
  }
  Json json(const std::string& args) const {
    std::string out;
    sh("blr -r bench.reg --json " + args, &out);
    return Json::parse(out);
  }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_ + "/" + name) << text;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(dir_ + "/" + name);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
  // Control requests a simulator has served: a line each in its log.
  long requestsServed(const std::string& proxy) const {
    const std::string log = read(proxy + ".requests");
    return static_cast<long>(std::count(log.begin(), log.end(), '\n'));
  }

  // The central server's counters, summed over their labels but those in
  // `keep`: "name" or "name{label=value}" (the first of `keep` it has) to the sum.
  std::map<std::string, double> counters(const std::vector<std::string>& keep) const {
    const int port = numberAfter(read("anchor.out"), "metrics on http://127.0.0.1:");
    if (port == 0) fail("no metrics listener: " + read("anchor.out"));
    std::istringstream text(HttpAnswer(httpExchange(port, httpRequest("GET", "/metrics"))).body);
    std::map<std::string, double> sums;
    std::string line;
    while (std::getline(text, line)) {
      if (line.empty() || line[0] == '#') continue;
      const size_t brace = line.find('{'), space = line.rfind(' ');
      std::string key = line.substr(0, std::min(brace, space));
      for (const std::string& k : keep) {
        const size_t label = brace == std::string::npos ? brace : line.find(k + "=\"", brace);
        if (label == std::string::npos || label > space) continue;
        const size_t from = label + k.size() + 2;
        sums[key + "{" + k + "=" + line.substr(from, line.find('"', from) - from) + "}"] +=
            std::atof(line.c_str() + space + 1);
        break;
      }
      sums[key] += std::atof(line.c_str() + space + 1);
    }
    return sums;
  }

  pid_t anchor_ = 0, head_ = 0, tail_ = 0;

 private:
  // The central server on PostgreSQL, with the client directory that
  // `certs init` wrote to its SQLite files.
  void usePostgres(const std::string& connInfo) {
    std::string clients;
    sh("blr-anchor client list --registry anchor.reg", &clients);
    std::ofstream(dir_ + "/anchor.reg", std::ios::app)
        << "\n[Database]\nsBackend = postgresql\nsPostgresConnInfo = " << connInfo << "\n";
    for (const std::string& args : clientAddArguments(clients, "anchor.reg")) sh("blr-anchor " + args);
  }

  void stop() {
    for (pid_t pid : {anchor_, head_, tail_})
      if (pid > 0) kill(pid, SIGTERM);
    for (pid_t pid : {anchor_, head_, tail_})
      if (pid > 0) waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(dir_);
  }

  // Starts a server with its output to a file; waits for its first line.
  pid_t start(const std::string& command, const std::string& out) {
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(127);
      std::string path = std::string(BLR_TOOLS_DIR) + ":" + getenv("PATH");
      setenv("PATH", path.c_str(), 1);
      std::string script = "exec " + command + " >" + out + " 2>&1";
      execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 600; ++i) {
      if (read(out).find('\n') != std::string::npos) return pid;
      if (waitpid(pid, nullptr, WNOHANG) == pid) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    fail("couldn't start " + command + ": " + read(out));
  }

  std::string dir_;
};

// `count` pairs on Head 2 and Tail 3 with a destination and one disk each.
std::vector<int> importPairs(const Trial& trial, int count) {
  std::string lines;
  char guid[4][40];
  for (int i = 0; i < count; ++i) {
    for (int k = 0; k < 4; ++k) std::snprintf(guid[k], sizeof guid[k], "%032x", (k + 1) * 0x100000 + i);
    const std::string vm = "vm" + std::to_string(i);
    lines += Json{{"subClientId", 7}, {"dstClientId", 3}, {"headClientId", 2}, {"tailClientId", 3},
                  {"srcName", vm}, {"dstName", vm + "-dr"}, {"srcGuid", guid[0]},
                  {"dstGuid", guid[1]}, {"statusCode", 4},
                  {"disks", Json::array({Json{{"srcGuid", guid[2]}, {"dstGuid", guid[3]},
                                              {"srcPath", "/vmfs/" + vm + "/disk0.vmdk"},
                                              {"dstPath", "/dr/" + vm}}})}}
                 .dump() +
             "\n";
  }
  trial.write("pairs.jsonl", lines);
  Json imported = trial.json("pairs import pairs.jsonl");
  std::vector<int> ids = imported["ids"].get<std::vector<int>>();
  if (static_cast<int>(ids.size()) != count) fail("imported " + imported.dump());
  return ids;
}

void storePlan(const Trial& trial, const std::string& name, std::vector<int>::const_iterator first,
               std::vector<int>::const_iterator last, int parallelism) {
  Json plan = {{"name", name},
               {"groups", Json::array({Json{{"parallelism", parallelism},
                                            {"pairs", std::vector<int>(first, last)}}})}};
  trial.write(name + ".json", plan.dump());
  trial.sh("blr -r bench.reg plans create --file " + name + ".json >/dev/null");
}

// Each step's mean time per pair in the latest failover of `plan`.
void printSteps(const Trial& trial, const std::string& plan) {
  int run = 0;
  for (const Json& r : trial.json("plans runs " + plan))
    if (run == 0 && r["workflow"] == "failover") run = r["run"];
  Json report = trial.json("plans report " + std::to_string(run));
  std::map<std::string, double> total;
  std::vector<std::string> order;
  for (const Json& p : report["pairs"])
    for (const Json& s : p["steps"]) {
      std::string title;  // pair ids and numbers as N, so that steps add up
      for (char c : s["title"].get<std::string>())
        if (!std::isdigit(static_cast<unsigned char>(c)))
          title += c;
        else if (title.empty() || title.back() != 'N')
          title += 'N';
      if (!total.count(title)) order.push_back(title);
      total[title] += s["seconds"].get<double>();
    }
  const double pairs = static_cast<double>(report["pairs"].size());
  std::printf("  steps of the last plan run, mean ms per pair (%zu pairs, %d at once):\n",
              report["pairs"].size(), kParallelism);
  for (const std::string& title : order)
    std::printf("    %8.2f  %s\n", total[title] / pairs * 1000, title.c_str());
}

// Where the samples that `perf record` saved in `file` fell: by library,
// then the busiest functions.
void printPerf(const std::string& what, const std::string& file) {
  const std::string report = "perf report --stdio --no-children -i " + file + " --sort ";
  const std::string rows = " 2>/dev/null | grep -E '^ +[0-9.]+%' | sed -e 's/  */ /g' -e 's/ [- ]*$//' | head -";
  std::string cmd = report + "dso" + rows + "6 && " + report + "symbol" + rows + "8";
  std::printf("  %s's samples (perf, self time) by library, then by function:\n", what.c_str());
  std::fflush(stdout);
  if (std::system(cmd.c_str()) != 0) std::printf("    (perf report failed)\n");
  if (!std::getenv("BLR_PLAN_BENCH_KEEP_PERF")) std::remove(file.c_str());
}

// `perf record` of a running process until stopped.
class PerfSampler {
 public:
  PerfSampler(pid_t target, const std::string& file) : file_(file) {
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      std::string p = std::to_string(target);
      execlp("perf", "perf", "record", "-F", "999", "-g", "-p", p.c_str(), "-o", file.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // attached
  }
  void stop() {
    kill(pid_, SIGINT);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_;
  std::string file_;
};

// The numbers in `text` after each of `marks` that it holds.
std::vector<int> numbersAfter(const std::string& text, const std::vector<std::string>& marks) {
  std::vector<int> out;
  for (const std::string& m : marks)
    if (int n = numberAfter(text, m)) out.push_back(n);
  return out;
}

// The server each of the trial's listening ports belongs to, from the lines
// the servers printed.
std::map<int, std::string> serverPorts(const Trial& trial) {
  std::map<int, std::string> ports;
  for (int port : numbersAfter(trial.read("anchor.out"), {"listening on 127.0.0.1:"}))
    ports[port] = "central server";
  for (const auto& [file, name] : {std::make_pair("head1.out", "Head"), std::make_pair("tail1.out", "Tail")})
    for (int port : numbersAfter(trial.read(file), {"on ports ", " and ", "port lookup on "}))
      ports[port] = name;
  return ports;
}

// strace -c's count of calls of each syscall in `summary`.
std::map<std::string, long> syscallCounts(const std::string& summary) {
  std::map<std::string, long> calls;
  std::istringstream rows(summary);
  std::string line;
  while (std::getline(rows, line)) {
    std::istringstream f(line);
    std::vector<std::string> cols;
    for (std::string c; f >> c;) cols.push_back(c);
    // % time, seconds, usecs/call, calls, [errors,] syscall
    if (cols.size() >= 5 && std::isdigit(static_cast<unsigned char>(cols[0][0])))
      calls[cols.back()] = std::atol(cols[3].c_str());
  }
  return calls;
}

// An untimed failover of `plan` (`pairs` pairs) in blr, traced: what one
// pair costs in connections, requests, frames and syncs.
void printCostPerPair(const Trial& trial, const std::string& plan, int pairs) {
  const std::map<int, std::string> ports = serverPorts(trial);
  const std::vector<std::string> labels = {"request", "direction"};
  const auto before = trial.counters(labels);
  const long headBefore = trial.requestsServed("head1"), tailBefore = trial.requestsServed("tail1");
  pid_t strace = fork();
  if (strace == 0) {
    const std::string out = trial.path("anchor.strace"), pid = std::to_string(trial.anchor_);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);  // its notes of threads detached
    execlp("strace", "strace", "-f", "-c", "-e", "trace=fsync,fdatasync", "-o", out.c_str(), "-p",
           pid.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // attached
  trial.sh("strace -f -e trace=connect -o blr.strace blr -r bench.reg plans failover " + plan + " --here");
  kill(strace, SIGINT);
  waitpid(strace, nullptr, 0);
  const auto after = trial.counters(labels);
  const double headRequests = double(trial.requestsServed("head1") - headBefore) / pairs,
               tailRequests = double(trial.requestsServed("tail1") - tailBefore) / pairs;
  trial.blr("plans cancel-failover " + plan + " --here");

  std::map<std::string, int> connections;
  std::istringstream trace(trial.read("blr.strace"));
  for (std::string line; std::getline(trace, line);) {
    for (int port : numbersAfter(line, {"sin_port=htons("})) {
      auto it = ports.find(port);
      ++connections[it == ports.end() ? "other" : it->second];
    }
  }
  auto delta = [&](const std::string& key) {
    auto a = after.find(key), b = before.find(key);
    return ((a == after.end() ? 0 : a->second) - (b == before.end() ? 0 : b->second)) / pairs;
  };
  std::printf("  one pair's failover in a plan of %d (in blr, traced, untimed):\n", pairs);
  std::printf("    connections from blr (a TLS handshake each):");
  for (const auto& [server, n] : connections) std::printf(" %s %.2f", server.c_str(), double(n) / pairs);
  std::printf("\n    requests to the central server: %.1f:", delta("blr_anchor_requests_total"));
  for (const auto& [key, value] : after)
    if (key.rfind("blr_anchor_requests_total{", 0) == 0 && delta(key) >= 0.005)
      std::printf(" %s %.2f", key.substr(key.find('=') + 1, key.size() - key.find('=') - 2).c_str(), delta(key));
  const std::map<std::string, long> syncs = syscallCounts(trial.read("anchor.strace"));
  auto syncCount = [&](const char* name) { auto it = syncs.find(name); return it == syncs.end() ? 0L : it->second; };
  std::printf("\n    the central server's frames: %.1f in, %.1f out; its fsync %.2f, fdatasync %.2f "
              "(on PostgreSQL the database server syncs)\n",
              delta("blr_anchor_frames_total{direction=in}"), delta("blr_anchor_frames_total{direction=out}"),
              double(syncCount("fsync")) / pairs, double(syncCount("fdatasync")) / pairs);
  std::printf("    control requests to the proxies (each a request and its answer): Head %.2f, Tail %.2f\n", headRequests,
              tailRequests);
}

void bench(const char* backend, const std::string& pgConnInfo) {
  const int pairs = envNumber("BLR_PLAN_BENCH_PAIRS", 1000);
  const int rounds = envNumber("BLR_PLAN_BENCH_ROUNDS", 3);
  Trial trial(pgConnInfo);
  std::vector<int> ids = importPairs(trial, pairs + kParallelism);
  storePlan(trial, "plan", ids.begin(), ids.begin() + pairs, kParallelism);
  storePlan(trial, "baseline", ids.begin() + pairs, ids.end(), 1);

  // A warm-up of each, then the rounds.
  for (const char* plan : {"baseline --here", "plan --here", "plan"}) {
    trial.blr(std::string("plans failover ") + plan);
    trial.blr(std::string("plans cancel-failover ") + plan);
  }
  std::vector<double> runnerSecs, planSecs, perPairMs, runnerRatios, ratios, floors;
  double anchorCpu = 0, headCpu = 0, tailCpu = 0, blrCpu = 0;
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  auto allCpu = [&] {
    return benchCpuSeconds(trial.anchor_) + benchCpuSeconds(trial.head_) + benchCpuSeconds(trial.tail_) +
           benchChildrenCpuSeconds();
  };
  for (int r = 0; r < rounds; ++r) {
    const double runner = trial.blr("plans failover plan");
    trial.blr("plans cancel-failover plan --here");
    const double a0 = benchCpuSeconds(trial.anchor_), h0 = benchCpuSeconds(trial.head_),
                 t0 = benchCpuSeconds(trial.tail_), b0 = benchChildrenCpuSeconds();
    const double plan = trial.blr("plans failover plan --here");
    anchorCpu += benchCpuSeconds(trial.anchor_) - a0;
    headCpu += benchCpuSeconds(trial.head_) - h0;
    tailCpu += benchCpuSeconds(trial.tail_) - t0;
    blrCpu += benchChildrenCpuSeconds() - b0;
    trial.blr("plans cancel-failover plan --here");
    const double c0 = allCpu();
    const double one = trial.blr("plans failover baseline --here") / kParallelism;
    const double oneCpu = (allCpu() - c0) / kParallelism;
    trial.blr("plans cancel-failover baseline --here");
    const double ideal = static_cast<double>(pairs) / kParallelism * one;
    // Even without any cost of running at once, the cores can't do the
    // plan's work faster than its CPU time over their number.
    const double floor = pairs * oneCpu / cores / ideal;
    runnerSecs.push_back(runner);
    planSecs.push_back(plan);
    runnerRatios.push_back(runner / plan);
    perPairMs.push_back(one * 1000);
    ratios.push_back(plan / ideal);
    floors.push_back(floor);
    std::printf("  round %d: runner %.2f s, here %.2f s (runner / here %.2f), one pair %.1f ms "
                "(%.1f ms of CPU), ideal %.2f s, here / ideal %.2f, least ratio %u cores allow "
                "%.2f\n",
                r + 1, runner, plan, runner / plan, one * 1000, oneCpu * 1000, ideal, plan / ideal,
                cores, floor);
    std::fflush(stdout);
  }
  std::printf("%s: failover of %d pairs at %d at once through the central server's runner: "
              "%.2f s (median of %d rounds); in blr (--here) %.2f s; runner / here = %.2fx "
              "(%.2f .. %.2f)\n",
              backend, pairs, kParallelism, median(runnerSecs), rounds, median(planSecs),
              median(runnerRatios), *std::min_element(runnerRatios.begin(), runnerRatios.end()),
              *std::max_element(runnerRatios.begin(), runnerRatios.end()));
  std::printf("  one pair alone %.1f ms; here / (%d / %d x one pair) = %.2fx (%.2f .. %.2f)\n",
              median(perPairMs), pairs, kParallelism, median(ratios),
              *std::min_element(ratios.begin(), ratios.end()),
              *std::max_element(ratios.begin(), ratios.end()));
  std::printf("  least ratio %u cores allow (pairs x CPU of one pair alone / cores / ideal): "
              "%.2fx (median)\n",
              cores, median(floors));
  const double wall = [&] {
    double s = 0;
    for (double p : planSecs) s += p;
    return s;
  }();
  std::printf("  CPU over the timed plan runs in blr (%.1f s of wall time): blr-anchor %.1f s, "
              "blr %.1f s, Head %.1f s, Tail %.1f s\n",
              wall, anchorCpu, blrCpu, headCpu, tailCpu);
  printSteps(trial, "plan");
  printCostPerPair(trial, "plan", pairs);
  std::fflush(stdout);
  if (std::getenv("BLR_PLAN_BENCH_PERF")) {
    const std::string prefix = "/tmp/plan-bench-" + std::to_string(getpid());
    PerfSampler anchor(trial.anchor_, prefix + "-anchor.perf");
    trial.sh("perf record -F 999 -g -o " + prefix +
             "-blr.perf -- blr -r bench.reg plans failover plan --here");
    anchor.stop();
    printPerf("blr-anchor", prefix + "-anchor.perf");
    printPerf("blr", prefix + "-blr.perf");
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> backends(argv + 1, argv + argc);
  if (backends.empty()) backends = {"sqlite", "postgresql"};
  try {
    for (const std::string& b : backends) {
      if (b == "sqlite") {
        bench("SQLite", "");
      } else if (b == "postgresql") {
        BenchPgSchema schema("blrplanbench_");
        bench("PostgreSQL", schema.connInfo());
      } else {
        fail("usage: plan_bench [sqlite] [postgresql]");
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "plan_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}

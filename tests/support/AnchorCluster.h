// Several real blr-anchor processes serving one database, each on a port of
// its own that it keeps across restarts, and a load of changes and reads that
// clients listing all of them ([Link] sServers) spread over them; for the
// tests and the benchmark of failing over.
#ifndef BLR_TESTS_SUPPORT_ANCHORCLUSTER_H
#define BLR_TESTS_SUPPORT_ANCHORCLUSTER_H

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BLR/BlrDB.h"
#include "BLR/BlrUUID.h"
#include "host/net/DwTcp.h"
#include "host/tls/TlsContext.h"
#include "support/ChildProcess.h"

class AnchorCluster {
 public:
  // `database`: the registry lines of the shared database, from "[Database]"
  // on.  Servers admit `operatorName`; Tail client 20 is registered.
  AnchorCluster(std::string anchorPath, TlsConfig tls, std::string operatorName, std::string dir,
                std::string database)
      : anchorPath_(std::move(anchorPath)),
        tls_(std::move(tls)),
        operator_(std::move(operatorName)),
        dir_(std::move(dir)),
        database_(std::move(database)) {}

  // Adds a server, with `extra` lines in its registry; false when its port
  // can't be found.
  bool add(const std::string& extra = "") {
    int port = freePort();
    if (port == 0) return false;
    std::string registry = dir_ + "/anchor" + std::to_string(ports_.size()) + ".reg";
    std::ofstream(registry) << "[Security]\nsCAFile = " << tls_.caFile << "\nsCertFile = " << tls_.certFile
                            << "\nsKeyFile = " << tls_.keyFile << "\nsOperatorNames = " << operator_
                            << "\n[Link]\nsListenAddress = 127.0.0.1\nnListenPort = " << port << "\n"
                            << "[EventManager]\nsLogFile = " << registry << ".log\n"
                            << extra << "\n" << database_ << "\n";
    ports_.push_back(port);
    registries_.push_back(registry);
    processes_.emplace_back();
    banners_.emplace_back();
    return true;
  }

  // Starts server `i` and waits until it listens; registers the Tail on first use.
  bool start(size_t i) {
    if (!tailAdded_) {
      std::string add = anchorPath_ + " client add --id 20 --name tail1 --host 10.0.0.7 --dwd-port 8406 "
                                      "--evmgrc-port 8407 --registry " + registries_[i] + " >/dev/null";
      if (std::system(add.c_str()) != 0) return false;
      tailAdded_ = true;
    }
    processes_[i] = std::make_unique<ChildProcess>(
        std::vector<std::string>{anchorPath_, "serve", "--registry", registries_[i]});
    banners_[i] = processes_[i]->readLine(30000);
    return numberAfter(banners_[i], "listening on 127.0.0.1:") == ports_[i];
  }

  // kill -9, as a crash would; returns once the process is gone.
  void kill(size_t i) {
    if (!processes_[i]) return;
    ::kill(processes_[i]->pid(), SIGKILL);
    processes_[i].reset();  // reaps it
  }

  // Exit status of a server that ended by itself (-1 while it runs).
  int exitStatus(size_t i) {
    if (!processes_[i]) return -1;
    int status = 0;
    if (::waitpid(processes_[i]->pid(), &status, WNOHANG) <= 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The value of [Link] sServers that lists every server, from `first` on.
  std::string servers(size_t first = 0) const {
    std::string list;
    for (size_t k = 0; k < ports_.size(); ++k)
      list += (k ? ", " : "") + server((first + k) % ports_.size());
    return list;
  }

  // "127.0.0.1:<port>" of server `i`.
  std::string server(size_t i) const { return "127.0.0.1:" + std::to_string(ports_[i]); }
  int port(size_t i) const { return ports_[i]; }
  pid_t pid(size_t i) const { return processes_[i] ? processes_[i]->pid() : 0; }
  ChildProcess* process(size_t i) { return processes_[i].get(); }
  // The first line server `i` printed when it last started.
  const std::string& banner(size_t i) const { return banners_[i]; }
  const std::string& registry(size_t i) const { return registries_[i]; }

  // Lines of "blr-anchor events list" run against server `i`'s registry
  // holding `text`.
  int eventsHolding(size_t i, const std::string& text) const {
    std::string out = dir_ + "/events.txt";
    std::string command = anchorPath_ + " events list --limit 0 --registry " + registries_[i] + " >" + out;
    if (std::system(command.c_str()) != 0) return -1;
    std::ifstream in(out);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(text) != std::string::npos;
    return n;
  }

 private:
  std::string anchorPath_;
  TlsConfig tls_;
  std::string operator_, dir_, database_;
  std::vector<int> ports_;
  std::vector<std::string> registries_, banners_;
  std::vector<std::unique_ptr<ChildProcess>> processes_;
  bool tailAdded_ = false;
};

// Clients that each store pairs of their own (create_or_update_pair), set a
// property on each (set_pair_prop) and read both back, until told to stop
// or `perClient` pairs are stored.  A change counts as acknowledged when its
// answer arrived.
class ChangeLoad {
 public:
  struct Outcome {
    int acknowledged = 0;  // pairs whose creation was answered
    int reads = 0;
    std::vector<std::string> errors;
    double slowestMs = 0;  // the longest single request
  };

  // A client that gets an error tries the same change again (up to `retries`
  // times) after a short pause; every error is kept in the outcome.
  ChangeLoad(int clients, int perClient, int retries = 0)
      : clients_(clients), perClient_(perClient), retries_(retries), stored_(clients) {}

  static int subClientOf(int client) { return 1000 + client; }

  static BlrDB::Pair pairOf(int client, int n) {
    BlrDB::Pair p;
    p.subClientId = subClientOf(client);
    p.dstClientId = 11;
    p.headClientId = 12;
    p.tailClientId = 20;
    p.srcName = "c" + std::to_string(client) + "-" + std::to_string(n);
    char hex[33];
    std::snprintf(hex, sizeof hex, "%08x%08x0000000000000000", client + 1, n + 1);
    p.srcGuid = BlrUUID(std::string(hex));
    p.disks.resize(1);
    p.disks.front().srcPath = "/d/" + p.srcName;
    p.disks.front().srcGuid = p.srcGuid;
    return p;
  }

  Outcome run(const std::atomic<bool>& stop) {
    std::vector<std::thread> threads;
    for (int c = 0; c < clients_; ++c) threads.emplace_back([this, c, &stop] { client(c, stop); });
    for (std::thread& t : threads) t.join();
    return outcome_;
  }

  // Empty, or what is wrong with the stored pairs: each acknowledged pair
  // must be there once, and nothing else of these clients.
  std::string check() const {
    BlrDB db;
    for (int c = 0; c < clients_; ++c) {
      std::list<BlrDB::Pair> found;
      CZuError err = db.getPairs(subClientOf(c), &found);
      if (err.IsError()) return err.Summary();
      std::map<std::string, int> names;
      for (const BlrDB::Pair& p : found) ++names[p.srcName];
      for (const auto& kv : names)
        if (kv.second != 1) return kv.first + " stored " + std::to_string(kv.second) + " times";
      for (int n : stored_[c]) {
        BlrDB::Pair p = pairOf(c, n);
        if (!names.count(p.srcName)) return "acknowledged " + p.srcName + " is missing";
      }
    }
    return "";
  }

 private:
  using Clock = std::chrono::steady_clock;

  // One request, timed; retried as configured.
  bool request(const std::function<CZuError()>& call) {
    for (int attempt = 0;; ++attempt) {
      auto begin = Clock::now();
      CZuError err = call();
      double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
      std::lock_guard<std::mutex> lock(mutex_);
      outcome_.slowestMs = std::max(outcome_.slowestMs, ms);
      if (!err.IsError()) return true;
      outcome_.errors.push_back(err.Summary());
      if (attempt >= retries_) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }

  void client(int c, const std::atomic<bool>& stop) {
    BlrDB db;
    for (int n = 0; n < perClient_ && !stop; ++n) {
      BlrDB::Pair p = pairOf(c, n);
      if (!request([&] { return db.createOrUpdatePair(p); })) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++outcome_.acknowledged;
        stored_[c].push_back(n);
      }
      request([&] { return db.setPairProp(p.id, "n", std::to_string(n)); });
      std::string value;
      if (request([&] { return db.getPairProp(p.id, "n", &value); })) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++outcome_.reads;
      }
    }
  }

  int clients_, perClient_, retries_;
  std::mutex mutex_;
  Outcome outcome_;
  std::vector<std::vector<int>> stored_;  // per client, the pairs acknowledged
};

#endif  // BLR_TESTS_SUPPORT_ANCHORCLUSTER_H

// Simulated proxies, and a whole installation in one process for running the
// recovery workflows as a job process would: the pair database on SQLite
// served in-process behind a tap that counts and fails requests, the client
// directory, and a Head and a Tail simulator over TLS on loopback.  The
// process is the job process (certificate "job1"); the simulators are
// "head1" and "tail1".
//
// Used by the control, simulator and workflow tests and the workflow
// benchmark.
#ifndef TESTS_WORKFLOWENV_H
#define TESTS_WORKFLOWENV_H

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrDB.h"
#include "BLR/BlrDBSvc.h"
#include "ProxyConfig.h"
#include "ProxyServer.h"
#include "ProxyState.h"
#include "host/base/CZuError.h"
#include "host/clients/DWClientDirectory.h"
#include "host/link/DwLinkSvc.h"
#include "host/tls/TlsContext.h"
#include "support/ChildProcess.h"
#include "support/TempFile.h"

// Keeps the pair statuses a simulator reports.  With `toDb` they go on to
// the pair database, which also answers pair lookups; else no pair is known.
class SimReporter : public ProxyReporter {
 public:
  explicit SimReporter(bool toDb) : toDb_(toDb) {}
  CZuError setPairStatus(int pairId, int status, const std::string& message,
                         int eventId) override;
  CZuError getPair(int pairId, BlrDB::Pair* pair) override {
    pair->clear();
    return toDb_ ? BlrDB().getPair(pairId, pair) : CZuError();
  }

  // The statuses reported for `pairId`, once (waiting up to 10 s) at least
  // `reports` statuses were reported in all.
  std::vector<int> statuses(int pairId, size_t reports = 0);

 private:
  bool toDb_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::pair<int, int>> reports_;  // pair, status
};

// One simulated proxy on loopback with the certificate of `clientName`;
// pairs run and markers arrive at once.
struct SimProxy {
  explicit SimProxy(const std::string& clientName, bool toDb = false);
  CZuError start();
  // A fault "<operation>=<action>" (docs/proxy.md).
  CZuError fault(const std::string& rule);
  void clearFaults() { control.clearFaults(); }
  void changeSettings(const std::function<void(ProxySettings&)>& change);
  // Its port lookup's address, under `name` (its own by default).
  std::string mangled(const std::string& name = "") const;
  // Control requests received.
  int requests() { return static_cast<int>(state.history().size()); }

  static ProxySettings instant();

  std::string clientName;
  DwConnLimits limits;  // of its listeners, set before start()
  SimReporter reporter;
  ProxyControl control;
  ProxyState state;
  ProxyServer server;
};

// The blr-proxy program at `bin` as client `name` on loopback, reporting
// pair statuses to the link server on `linkPort` (none when 0), with `args`
// added to its command line.  Its certificate is the tests' one of `name`,
// or `tls`, admitting the peers named in `trusted`; `link` adds lines to its
// [Link] section.
struct ProxyProcess {
  ProxyProcess(const std::string& bin, const std::string& name, int linkPort,
               std::vector<std::string> args = {});
  ProxyProcess(const std::string& bin, const std::string& name, const TlsConfig& tls,
               const std::string& trusted, int linkPort, std::vector<std::string> args = {},
               const std::string& link = "");

  TempFile registry, log;
  ChildProcess process;
  std::string banner;  // its first line
  int dwdPort;         // of its port lookup

 private:
  std::vector<std::string> commandLine(const std::string& bin, const std::string& name,
                                       const TlsConfig& tls, const std::string& trusted,
                                       int linkPort, std::vector<std::string> args,
                                       const std::string& link);
};

// Stands in front of the pair database service on the link "BLR" (the most
// recently registered service of a name is the one reached).  Counts
// requests and fails those a rule names.
class PairDbTap : public DwLinkSvc {
 public:
  explicit PairDbTap(DwLinkSvc* service) : DwLinkSvc("BLR"), service_(service) {}

  CZuError dispatch(const Map& req, Map* resp, const std::string& from,
                    const KRP_Cert& cert) override;

  // Fails every request named `request` whose body holds the bytes of
  // `text` (any body when empty), until cleared.
  void fail(const std::string& request, const std::string& text = "") {
    std::lock_guard<std::mutex> lock(mu_);
    failing_.emplace(request, text);
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    failing_.clear();
    observer_ = nullptr;
  }
  // Called with each request before it is answered (or failed).
  void setObserver(std::function<void(const Map&)> observer) {
    std::lock_guard<std::mutex> lock(mu_);
    observer_ = std::move(observer);
  }
  int requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  DwLinkSvc* service_;
  std::mutex mu_;
  std::multimap<std::string, std::string> failing_;
  std::function<void(const Map&)> observer_;
  int requests_ = 0;
};

class WorkflowEnv {
 public:
  static constexpr int kHeadClient = 12;
  static constexpr int kTailClient = 20;
  // The production and the recovery VM of the pair addPair makes.
  static const BlrUUID kSrcVm;
  static const BlrUUID kDstVm;

  // Points the registry at a fresh database directory (in memory unless
  // `onDisk`), this process's certificate and `logFile`.
  explicit WorkflowEnv(const std::string& logFile, bool onDisk = false);
  ~WorkflowEnv();
  WorkflowEnv(const WorkflowEnv&) = delete;
  WorkflowEnv& operator=(const WorkflowEnv&) = delete;

  // Schema, services and both simulators, registered as clients.
  CZuError start();
  // The services alone, for proxies of other processes; `addClient` them.
  CZuError startDatabase();
  // A proxy on loopback in the client directory.
  static CZuError addClient(int id, const std::string& name, int dwdPort);

  // A running pair between the two proxies, started on the Head.
  CZuError addPair(int* pairId);
  // A pair after a complete failover: status 16, recovery VM powered on.
  CZuError addFailedOverPair(int* pairId);
  // Runs `action` on a control connection of its own to a client's proxy.
  CZuError control(int clientId, const std::function<CZuError(BlrCtrl&)>& action);

  void clearFaults();

  std::unique_ptr<TempDir> dir;
  std::unique_ptr<BlrDBSvc> service;
  std::unique_ptr<DWClientDirectorySvc> clients;
  std::unique_ptr<PairDbTap> tap;
  std::unique_ptr<SimProxy> head;
  std::unique_ptr<SimProxy> tail;
};

#endif  // TESTS_WORKFLOWENV_H

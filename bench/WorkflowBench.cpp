// Wall time of a whole failover (undone by a cancel) and a whole failback
// (after a failover): Head and Tail simulators over TLS that answer at once,
// the polls' sleeps taken by a manual clock, and the pair database on SQLite
// served three ways: in this process in memory, in this process on disk, and
// by a real blr-anchor over the TLS link (on disk).  Each is compared, in
// interleaved rounds (BenchRounds.h), with a baseline of the same number of
// bare round trips (property writes to the database, pings on two open
// control connections); the ratio reads 1 when the workflow costs no more
// than its round trips.
//
//   workflow_bench [rounds]
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include "BLR/BlrSvcWorkflow.h"
#include "BenchCerts.h"
#include "BenchRounds.h"
#include "support/ChildProcess.h"
#include "support/TestCerts.h"
#include "host/config/DWPlatformInfo.h"
#include "host/link/DwLinkPool.h"
#include "support/WorkflowEnv.h"
#include "host/clients/DWClient.h"
#include "support/ManualClock.h"

namespace {

using W = BlrSvcWorkflow;

struct Counts {
  int db = 0;
  int ctrl = 0;
  Counts operator+(const Counts& o) const { return Counts{db + o.db, ctrl + o.ctrl}; }
};

// blr-anchor serving the database files in `dbDir` on a free loopback port.
struct AnchorProcess {
  explicit AnchorProcess(const std::string& dbDir) {
    TlsConfig anchor = TestCerts::get().config("anchor");
    registry = dbDir + "/anchor.reg";
    std::ofstream(registry) << "[Security]\nsCAFile = " << anchor.caFile << "\nsCertFile = " << anchor.certFile
                            << "\nsKeyFile = " << anchor.keyFile
                            << "\nsOperatorNames = job1\n[Link]\nsListenAddress = 127.0.0.1\nnListenPort = 0\n"
                            << "[Database]\nsSqliteDir = " << dbDir << "\n"
                            << "[EventManager]\nsLogFile = /dev/null\n";
    process.reset(new ChildProcess({BLR_ANCHOR_PATH, "serve", "--registry", registry}));
    std::string line = process->readLine();
    size_t at = line.find("listening on 127.0.0.1:");
    if (at == std::string::npos) {
      std::fprintf(stderr, "blr-anchor: %s\n", line.c_str());
      std::exit(1);
    }
    port = std::atoi(line.c_str() + at + std::strlen("listening on 127.0.0.1:"));
  }
  std::string registry;
  std::unique_ptr<ChildProcess> process;
  int port = 0;
};

class Bench {
 public:
  explicit Bench(bool onDisk) : env_("/dev/null", onDisk) {
    must(env_.start());
    must(env_.addPair(&pairId));
    env_.tap->setObserver([this](const DwLinkSvc::Map&) {
      if (std::this_thread::get_id() == self_) ++db_;  // not the simulators' reports
    });
  }

  // From now on the database is served by a blr-anchor process over TLS.
  void serveRemotely() {
    anchor_.reset(new AnchorProcess(env_.dir->path()));
    env_.tap.reset();
    env_.service.reset();
    DWPlatformInfo::setValue("Link", "sServerHost", "127.0.0.1");
    DWPlatformInfo::setNumber("Link", "nServerPort", anchor_->port);
  }

  // What `call` sent: its own database requests and the control messages.
  Counts measure(const std::function<CZuError()>& call) {
    int db = db_, ctrl = env_.head->requests() + env_.tail->requests();
    must(call());
    return Counts{db_ - db, env_.head->requests() + env_.tail->requests() - ctrl};
  }

  // Undoes a failover, so that the next one starts from a running pair.
  void cancel() { must(W(pairId).cancelFailover(false)); }

  // A complete failover, as failback expects it.
  void failOver() {
    int id = pairId;
    must(W(id).failover(false, true, nullptr));
    must(BlrDB().setPairStatus(id, W::STATUS_FAILED_OVER, "", 0));
    must(env_.control(WorkflowEnv::kTailClient,
                      [id](BlrCtrl& c) { return c.powerOnOffTailVM(id, true, nullptr); }));
  }

  // `counts` round trips without a workflow around them.
  void roundTrips(const Counts& counts) {
    BlrCtrl head, tail;
    must(head.connect(host(WorkflowEnv::kHeadClient)));
    must(tail.connect(host(WorkflowEnv::kTailClient)));
    BlrDB db;
    for (int i = 0; i < counts.db; ++i) must(db.setPairProp(pairId, "benchProp", "1"));
    for (int i = 0; i < counts.ctrl; ++i) must((i % 2 ? tail : head).ping());
  }

  int pairId = 0;

 private:
  static std::string host(int clientId) {
    std::string mangled;
    must(DWClient(clientId).lookUp(&mangled));
    return mangled;
  }

  ManualClock clock_;
  ManualClock::Installer installer_{&clock_};
  WorkflowEnv env_;
  std::unique_ptr<AnchorProcess> anchor_;
  std::thread::id self_ = std::this_thread::get_id();
  int db_ = 0;
};

void compare(const char* where, bool onDisk, bool remote, int rounds) {
  Bench b(onDisk);
  const int id = b.pairId;
  // Each round starts and ends with the pair running.
  Counts failover = b.measure([&] { return W(id).failover(false, true, nullptr); });
  Counts cancel = b.measure([&] { return W(id).cancelFailover(false); });
  Counts failedOver = b.measure([&] {
    b.failOver();
    return CZuError();
  });
  Counts failback = b.measure([&] { return W(id).failback(true); });
  if (remote) b.serveRemotely();
  std::printf("%s: failover %d db + %d ctrl, cancel %d + %d, failback %d + %d\n", where, failover.db, failover.ctrl,
              cancel.db, cancel.ctrl, failback.db, failback.ctrl);
  benchInterleave(std::string("failover+cancel / round trips, ") + where, rounds, 1,
                  [&](int) { b.roundTrips(failover + cancel); },
                  [&](int) {
                    must(W(id).failover(false, true, nullptr));
                    must(W(id).cancelFailover(false));
                  });
  benchInterleave(std::string("failover+failback / round trips, ") + where, rounds, 1,
                  [&](int) { b.roundTrips(failedOver + failback); },
                  [&](int) {
                    b.failOver();
                    must(W(id).failback(true));
                  });
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
  compare("in-process, in memory", false, false, rounds);
  compare("in-process, on disk", true, false, rounds);
  compare("blr-anchor over TLS, on disk", true, true, rounds);
  return 0;
}

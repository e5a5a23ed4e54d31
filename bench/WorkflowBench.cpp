// Wall time of a whole failover and a whole failback: the pair database on
// SQLite in this process (argument 0: in memory, 1: on disk), Head and Tail
// simulators over TLS that answer at once, and the polls' sleeps taken by a
// manual clock.  Each is shown next to a baseline of the same number of bare
// round trips (property writes to the database, pings on two open control
// connections), and with its counts of database requests ("db") and control
// messages ("ctrl").  The ratio line reads above 1 when the workflow is
// faster than its round trips alone.
#include <benchmark/benchmark.h>

#include <functional>
#include <thread>

#include "BLR/BlrSvcWorkflow.h"
#include "BenchCerts.h"
#include "BenchRatio.h"
#include "support/WorkflowEnv.h"
#include "host/DWClient.h"
#include "support/ManualClock.h"

namespace {

using W = BlrSvcWorkflow;

struct Counts {
  int db = 0;
  int ctrl = 0;
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
  std::thread::id self_ = std::this_thread::get_id();
  int db_ = 0;
};

void report(benchmark::State& st, const Counts& c) {
  st.counters["db"] = c.db;
  st.counters["ctrl"] = c.ctrl;
}

void BM_Failover(benchmark::State& st) {
  Bench b(st.range(0) != 0);
  auto failover = [&] { return W(b.pairId).failover(false, true, nullptr); };
  Counts counts = b.measure(failover);
  b.cancel();
  for (auto _ : st) {
    must(failover());
    st.PauseTiming();
    b.cancel();
    st.ResumeTiming();
  }
  report(st, counts);
}

void BM_FailoverRoundTrips(benchmark::State& st) {
  Bench b(st.range(0) != 0);
  Counts counts = b.measure([&] { return W(b.pairId).failover(false, true, nullptr); });
  for (auto _ : st) b.roundTrips(counts);
  report(st, counts);
}

void BM_Failback(benchmark::State& st) {
  Bench b(st.range(0) != 0);
  auto failback = [&] { return W(b.pairId).failback(true); };
  b.failOver();
  Counts counts = b.measure(failback);
  for (auto _ : st) {
    st.PauseTiming();
    b.failOver();
    st.ResumeTiming();
    must(failback());
  }
  report(st, counts);
}

void BM_FailbackRoundTrips(benchmark::State& st) {
  Bench b(st.range(0) != 0);
  b.failOver();
  Counts counts = b.measure([&] { return W(b.pairId).failback(true); });
  for (auto _ : st) b.roundTrips(counts);
  report(st, counts);
}

#define WORKFLOW_BENCH(fn, name)                                                           \
  BENCHMARK(fn)->Name(name)->Arg(0)->Arg(1)->MeasureProcessCPUTime()->UseRealTime()->Unit( \
      benchmark::kMillisecond)

WORKFLOW_BENCH(BM_FailoverRoundTrips, "failover_roundtrips");
WORKFLOW_BENCH(BM_Failover, "failover");
WORKFLOW_BENCH(BM_FailbackRoundTrips, "failback_roundtrips");
WORKFLOW_BENCH(BM_Failback, "failback");

}  // namespace

int main(int argc, char** argv) {
  return runWithRatios(argc, argv,
                       {{"failover_roundtrips", "failover"}, {"failback_roundtrips", "failback"}});
}

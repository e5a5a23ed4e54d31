// Cost of one request over the link: in-process (the baseline), over TLS on
// loopback with pooled connections, and with a new TLS connection per request.
// Each TLS case reports its time per request as a multiple of the baseline
// measured in the same run ("x_in_process").
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "host/DwLink.h"
#include "host/DwLinkPool.h"
#include "host/DwLinkServer.h"
#include "host/DwLinkSvc.h"
#include "host/KrpCertAuthority.h"
#include "host/KrpSocket.h"
#include "host/TlsContext.h"

namespace {

using Map = std::map<std::string, std::string>;
using Clock = std::chrono::steady_clock;

class EchoSvc : public DwLinkSvc {
 public:
  EchoSvc() : DwLinkSvc("BENCH") { acceptsRemote = true; }
  CZuError dispatch(const Map& req, Map* resp, const std::string&, const KRP_Cert&) override {
    *resp = req;
    return CZuError();
  }
};

struct Env {
  std::string dir;
  EchoSvc svc;
  DwLinkServer server;
  DwLinkClientConfig client;
  Map request{{"req", "get_pairs"}, {"blob", std::string(2048, 'a')}};
  double inProcessNs = 0;

  Env() {
    char tmpl[] = "/tmp/blr-link-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    KrpCertAuthority ca;
    must(KrpCertAuthority::create(dir, "Bench CA", 30, &ca));
    must(ca.issue("anchor", KRP_CERT_KIND_CLIENT, 30, dir));
    must(ca.issue("client", KRP_CERT_KIND_CLIENT, 30, dir));
    DwLinkServerConfig sc;
    sc.address = "127.0.0.1";
    sc.port = 0;
    must(TlsContext::create(tls("anchor"), &sc.tls));
    must(server.start(sc));
    client.host = "127.0.0.1";
    client.port = server.port();
    must(TlsContext::create(tls("client"), &client.tls));
    inProcessNs = timePerCall(20000, [this] {
      Map resp;
      DwLink("BENCH").makeReqToAnchor(request, &resp, nullptr);
    });
  }
  ~Env() {
    server.stop();
    DwLinkPool::instance().clear();
    std::filesystem::remove_all(dir);
  }

  TlsConfig tls(const std::string& name) const {
    return TlsConfig{dir + "/ca.crt", KrpCertAuthority::certPath(dir, name),
                     KrpCertAuthority::keyPath(dir, name)};
  }

  template <typename F>
  static double timePerCall(int n, F f) {
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) f();
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / n;
  }

  static void must(const CZuError& err) {
    if (!err.IsError()) return;
    std::fprintf(stderr, "%s\n", err.AsString().c_str());
    std::abort();
  }
};

Env& env() {
  static Env e;
  return e;
}

void runRemote(benchmark::State& state, int poolSize) {
  Env& e = env();
  DwLinkClientConfig c = e.client;
  c.poolSize = poolSize;
  DwLinkPool::instance().clear();
  DwLink link("BENCH");
  auto start = Clock::now();
  for (auto _ : state) {
    Map resp;
    CZuError err = link.makeRemoteReq(c, e.request, &resp);
    if (err.IsError()) state.SkipWithError(err.Summary().c_str());
    benchmark::DoNotOptimize(resp);
  }
  double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  state.counters["x_in_process"] = ns / static_cast<double>(state.iterations()) / e.inProcessNs;
}

void BM_LinkInProcess(benchmark::State& state) {
  Env& e = env();
  DwLink link("BENCH");
  for (auto _ : state) {
    Map resp;
    link.makeReqToAnchor(e.request, &resp, nullptr);
    benchmark::DoNotOptimize(resp);
  }
}

void BM_LinkTlsPooled(benchmark::State& state) { runRemote(state, 4); }
void BM_LinkTlsNewConnection(benchmark::State& state) { runRemote(state, 0); }

BENCHMARK(BM_LinkInProcess);
BENCHMARK(BM_LinkTlsPooled)->UseRealTime();
BENCHMARK(BM_LinkTlsNewConnection)->UseRealTime();

}  // namespace

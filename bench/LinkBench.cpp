// Cost of one request over the link: over TLS on loopback with a new
// connection per request, with pooled connections, and in-process.  Times are
// the whole process's CPU time (client and server threads), and the ratio
// lines compare each with the next slower way.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "BenchCerts.h"
#include "BenchRatio.h"
#include "host/link/DwLink.h"
#include "host/link/DwLinkPool.h"
#include "host/link/DwLinkServer.h"
#include "host/link/DwLinkSvc.h"
#include "host/tls/KrpSocket.h"
#include "host/tls/TlsContext.h"

namespace {

using Map = std::map<std::string, std::string>;

class EchoSvc : public DwLinkSvc {
 public:
  EchoSvc() : DwLinkSvc("BENCH") { acceptsRemote = true; }
  CZuError dispatch(const Map& req, Map* resp, const std::string&, const KRP_Cert&) override {
    *resp = req;
    return CZuError();
  }
};

// A server with the echo service on loopback, and a client configuration for it.
struct Env {
  BenchCerts certs;
  EchoSvc svc;
  DwLinkServer server;
  DwLinkClientConfig client;

  Env() {
    DwLinkServerConfig sc;
    sc.address = "127.0.0.1";
    sc.port = 0;
    sc.tls = certs.context("anchor");
    must(server.start(sc));
    client.servers = {{"127.0.0.1", server.port()}};
    client.tls = certs.context("client");
  }
  ~Env() {
    server.stop();
    DwLinkPool::instance().clear();
  }
};

Env& env() {
  static Env e;
  return e;
}

Map request(const benchmark::State& state) {
  return Map{{"req", "get_pairs"}, {"blob", std::string(state.range(0), 'a')}};
}

void runRemote(benchmark::State& state, int poolSize) {
  DwLinkClientConfig c = env().client;
  c.poolSize = poolSize;
  DwLinkPool::instance().clear();
  Map req = request(state);
  DwLink link("BENCH");
  for (auto _ : state) {
    Map resp;
    CZuError err = link.makeRemoteReq(c, req, &resp);
    if (err.IsError()) state.SkipWithError(err.Summary().c_str());
    benchmark::DoNotOptimize(resp);
  }
}

void BM_LinkTlsNewConnection(benchmark::State& state) { runRemote(state, 0); }
void BM_LinkTlsPooled(benchmark::State& state) { runRemote(state, 4); }

void BM_LinkInProcess(benchmark::State& state) {
  env();
  Map req = request(state);
  DwLink link("BENCH");
  for (auto _ : state) {
    Map resp;
    link.makeReqToAnchor(req, &resp, nullptr);
    benchmark::DoNotOptimize(resp);
  }
}

// The argument is the size of the "blob" text, a hex-encoded request.  An
// echo of 256 KiB spans many TLS records: it shows any wait for the peer's
// acknowledgements.
BENCHMARK(BM_LinkTlsNewConnection)->Arg(2048)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_LinkTlsPooled)->Arg(2048)->Arg(256 << 10)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_LinkInProcess)->Arg(2048)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return runWithRatios(argc, argv, {{"BM_LinkTlsNewConnection", "BM_LinkTlsPooled"},
                                    {"BM_LinkTlsPooled", "BM_LinkInProcess"}});
}

// Cost of one request over the link: over TLS on loopback with a new
// connection per request, with pooled connections, and in-process.  Times are
// the whole process's CPU time (client and server threads), and the ratio
// lines compare each with the next slower way.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "BenchRatio.h"
#include "host/DwLink.h"
#include "host/DwLinkPool.h"
#include "host/DwLinkServer.h"
#include "host/DwLinkSvc.h"
#include "host/KrpCertAuthority.h"
#include "host/KrpSocket.h"
#include "host/TlsContext.h"

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

void must(const CZuError& err) {
  if (!err.IsError()) return;
  std::fprintf(stderr, "%s\n", err.AsString().c_str());
  std::abort();
}

// A server with the echo service on loopback, and a client configuration for it.
struct Env {
  std::string dir;
  EchoSvc svc;
  DwLinkServer server;
  DwLinkClientConfig client;

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

// The argument is the size of the "blob" text, a hex-encoded request.
BENCHMARK(BM_LinkTlsNewConnection)->Arg(2048)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_LinkTlsPooled)->Arg(2048)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_LinkInProcess)->Arg(2048)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return runWithRatios(argc, argv, {{"BM_LinkTlsNewConnection", "BM_LinkTlsPooled"},
                                    {"BM_LinkTlsPooled", "BM_LinkInProcess"}});
}

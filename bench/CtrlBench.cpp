// Round trips of the control channel over TLS on loopback: BlrCtrl::ping
// against the simulator, next to a plain echo of 8 bytes over the same kind
// of connection.  Times are the whole process's CPU time (client and server
// threads); the ratio line reads above 1 when ping is faster than the echo.
#include <poll.h>
#include <sys/socket.h>

#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "BLR/BlrCtrl.h"
#include "BenchCerts.h"
#include "BenchRatio.h"
#include "ProxyServer.h"
#include "host/DWPlatformInfo.h"
#include "host/DwHostName.h"
#include "host/DwTcp.h"
#include "host/KrpSocket.h"
#include "host/TlsContext.h"

namespace {

// Certificates, a simulated proxy "anchor", and this process as "client".
struct Env {
  BenchCerts certs;
  ProxyControl control{ProxySettings(), ProxyFaults(), ""};
  ProxyState state{nullptr};
  ProxyServer server{&control, &state};

  Env() {
    TlsConfig mine = certs.tls("client");
    DWPlatformInfo::setValue("Security", "sCAFile", mine.caFile);
    DWPlatformInfo::setValue("Security", "sCertFile", mine.certFile);
    DWPlatformInfo::setValue("Security", "sKeyFile", mine.keyFile);
    DWPlatformInfo::setValue("EventManager", "sLogFile", "/dev/null");
    ProxyServerConfig config;
    config.address = "127.0.0.1";
    config.tls = certs.context("anchor");
    must(server.start(config));
  }
  ~Env() { server.stop(); }
  std::string mangled() const { return MangleHostName("127.0.0.1", "anchor", server.dwdPort(), 0); }
};

Env& env() {
  static Env e;
  return e;
}

void BM_Echo8(benchmark::State& st) {
  Env& e = env();
  CZuSocket listener;
  int port = 0;
  must(dwTcpListen("127.0.0.1", 0, 1, &listener, &port));
  std::shared_ptr<TlsContext> serverTls = e.certs.context("anchor");
  std::shared_ptr<TlsContext> clientTls = e.certs.context("client");
  std::thread echo([&] {
    DwWait w;
    must(dwWaitFd(listener.GetDescriptor(), POLLIN, 10000, -1, &w));
    KrpSocket* s = nullptr;
    must(krpInitSocketWithContext(CZuSocket(::accept(listener.GetDescriptor(), nullptr, nullptr)),
                                  KRP_INIT_DEFAULT, serverTls, &s));
    must(krpAuthSocketMs(s, KRP_ROLE_SERVER, nullptr, 10000));
    char buf[8];
    CZuError err;
    while (krpRecv(s, buf, 8, 10, &err) == 8 && krpSend(s, buf, 8, 10, &err) == 8) {
    }
    krpDestroySocket(s);
  });
  CZuSocket sock;
  must(dwTcpConnect("127.0.0.1", port, 10000, &sock));
  KrpSocket* c = nullptr;
  must(krpInitSocketWithContext(sock, KRP_INIT_DEFAULT, clientTls, &c));
  must(krpAuthSocketMs(c, KRP_ROLE_CLIENT, nullptr, 10000));
  char msg[8] = {0, 0, 0, 10, 0, 0, 0, 8}, back[8];
  CZuError err;
  for (auto _ : st) {
    krpSend(c, msg, 8, 10, &err);
    krpRecv(c, back, 8, 10, &err);
    must(err);
  }
  krpDestroySocket(c);
  echo.join();
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_Echo8)->Name("echo8")->MeasureProcessCPUTime()->UseRealTime();

void BM_Ping(benchmark::State& st) {
  BlrCtrl ctrl;
  must(ctrl.connect(env().mangled()));
  for (auto _ : st) must(ctrl.ping());
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_Ping)->Name("ping")->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return runWithRatios(argc, argv, {{"echo8", "ping"}}); }

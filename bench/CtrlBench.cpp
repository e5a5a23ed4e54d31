// Round trips of the control channel over TLS on loopback: BlrCtrl::ping
// against the simulator, next to a plain echo of 8 bytes over the same kind
// of connection.  Wall time, interleaved rounds, median of the per-round
// ratios (BenchRounds.h); the ratio reads 1 when ping is as fast as the echo.
#include <cstdlib>
#include <string>
#include <thread>


#include "BLR/BlrCtrl.h"
#include "BenchCerts.h"
#include "BenchRounds.h"
#include "BenchTlsEcho.h"
#include "ProxyServer.h"
#include "host/config/DWPlatformInfo.h"
#include "host/net/DwHostName.h"
#include "host/net/DwTcp.h"
#include "host/tls/KrpSocket.h"
#include "host/tls/TlsContext.h"

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

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 9;
  BenchTlsEcho echo(env().certs.context("anchor"), env().certs.context("client"));
  BlrCtrl ctrl;
  must(ctrl.connect(env().mangled()));
  benchInterleave("ping round trip / raw 8-byte TLS echo", rounds, 2000, [&](int n) { echo.roundTrips(n); },
                  [&](int n) {
                    for (int i = 0; i < n; ++i) must(ctrl.ping());
                  });
  return 0;
}

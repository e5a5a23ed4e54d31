// Round trips of the control channel over TLS on loopback: BlrCtrl::ping
// against the simulator, next to a plain echo of 8 bytes over the same kind
// of connection.  Wall time, interleaved rounds, median of the per-round
// ratios (BenchRounds.h); the ratio reads 1 when ping is as fast as the echo.
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string>
#include <thread>


#include "BLR/BlrCtrl.h"
#include "BenchCerts.h"
#include "BenchRounds.h"
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

// An authenticated TLS connection whose peer sends back every 8 bytes.
struct Echo8 {
  CZuSocket listener;
  std::thread server;
  KrpSocket* client = nullptr;

  explicit Echo8(Env& e) {
    int port = 0;
    must(dwTcpListen("127.0.0.1", 0, 1, &listener, &port));
    std::shared_ptr<TlsContext> serverTls = e.certs.context("anchor");
    server = std::thread([this, serverTls] {
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
    must(krpInitSocketWithContext(sock, KRP_INIT_DEFAULT, e.certs.context("client"), &client));
    must(krpAuthSocketMs(client, KRP_ROLE_CLIENT, nullptr, 10000));
  }
  ~Echo8() {
    krpDestroySocket(client);
    server.join();
  }
  void roundTrips(int n) {
    char msg[8] = {0, 0, 0, 10, 0, 0, 0, 8}, back[8];
    CZuError err;
    for (int i = 0; i < n; ++i) {
      krpSend(client, msg, 8, 10, &err);
      krpRecv(client, back, 8, 10, &err);
      must(err);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 9;
  Echo8 echo(env());
  BlrCtrl ctrl;
  must(ctrl.connect(env().mangled()));
  benchInterleave("ping round trip / raw 8-byte TLS echo", rounds, 2000, [&](int n) { echo.roundTrips(n); },
                  [&](int n) {
                    for (int i = 0; i < n; ++i) must(ctrl.ping());
                  });
  return 0;
}

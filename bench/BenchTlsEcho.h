// The floor under any request over TLS on loopback: authenticated
// connections whose peer sends back every 8 bytes, one server thread per
// connection, as the link and control servers serve theirs.
#ifndef BENCH_BENCHTLSECHO_H
#define BENCH_BENCHTLSECHO_H

#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "host/net/DwTcp.h"
#include "host/tls/KrpSocket.h"
#include "host/tls/TlsContext.h"

class BenchTlsEcho {
 public:
  // `connections` connections, the server's side with `serverTls`.
  BenchTlsEcho(const std::shared_ptr<TlsContext>& serverTls,
               const std::shared_ptr<TlsContext>& clientTls, int connections = 1) {
    int port = 0;
    check(dwTcpListen("127.0.0.1", 0, connections, &listener_, &port));
    for (int i = 0; i < connections; ++i) {
      servers_.emplace_back([this, serverTls] { serve(serverTls); });
      CZuSocket sock;
      check(dwTcpConnect("127.0.0.1", port, 10000, &sock));
      KrpSocket* client = nullptr;
      check(krpInitSocketWithContext(sock, KRP_INIT_DEFAULT, clientTls, &client));
      check(krpAuthSocketMs(client, KRP_ROLE_CLIENT, nullptr, 10000));
      clients_.push_back(client);
    }
  }
  ~BenchTlsEcho() {
    for (KrpSocket* c : clients_) krpDestroySocket(c);
    for (std::thread& t : servers_) t.join();
  }
  BenchTlsEcho(const BenchTlsEcho&) = delete;
  BenchTlsEcho& operator=(const BenchTlsEcho&) = delete;

  // `n` round trips on connection `c`.
  void roundTrips(int n, int c = 0) {
    char msg[8] = {0, 0, 0, 10, 0, 0, 0, 8}, back[8];
    CZuError err;
    for (int i = 0; i < n; ++i) {
      krpSend(clients_[c], msg, 8, 10, &err);
      krpRecv(clients_[c], back, 8, 10, &err);
      check(err);
    }
  }

 private:
  static void check(const CZuError& err) {
    if (!err.IsError()) return;
    std::fprintf(stderr, "%s\n", err.AsString().c_str());
    std::abort();
  }

  void serve(const std::shared_ptr<TlsContext>& tls) {
    DwWait w;
    check(dwWaitFd(listener_.GetDescriptor(), POLLIN, 10000, -1, &w));
    KrpSocket* s = nullptr;
    check(krpInitSocketWithContext(CZuSocket(::accept(listener_.GetDescriptor(), nullptr, nullptr)),
                                   KRP_INIT_DEFAULT, tls, &s));
    check(krpAuthSocketMs(s, KRP_ROLE_SERVER, nullptr, 10000));
    char buf[8];
    CZuError err;
    while (krpRecv(s, buf, 8, 10, &err) == 8 && krpSend(s, buf, 8, 10, &err) == 8) {
    }
    krpDestroySocket(s);
  }

  CZuSocket listener_;
  std::vector<std::thread> servers_;
  std::vector<KrpSocket*> clients_;
};

#endif  // BENCH_BENCHTLSECHO_H

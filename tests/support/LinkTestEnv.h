// TLS contexts of the link tests, made once per program from TestCerts, and
// both ends of a connected socket pair in the TLS layer.
#ifndef TESTS_LINKTESTENV_H
#define TESTS_LINKTESTENV_H

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "support/Check.h"
#include "support/TestCerts.h"

struct LinkTestEnv {
  std::shared_ptr<TlsContext> server = ctx("anchor");    // per-client
  std::shared_ptr<TlsContext> client = ctx("client1");   // per-client
  std::shared_ptr<TlsContext> product = ctx("product");  // built-in product certificate
  std::shared_ptr<TlsContext> noCert = ctx("");          // trusts the CA, presents nothing
  std::shared_ptr<TlsContext> otherCa = ctx("intruder"); // a certificate of another CA

  static LinkTestEnv& get() {
    static LinkTestEnv env;
    return env;
  }
  static std::string dir() { return TestCerts::get().dir(); }

 private:
  static std::shared_ptr<TlsContext> ctx(const char* name) {
    return TestCerts::get().context(name);
  }
};

struct KrpPair {
  KrpSocket* client = nullptr;
  KrpSocket* server = nullptr;

  KrpPair(std::shared_ptr<TlsContext> clientTls, std::shared_ptr<TlsContext> serverTls) {
    CZuSocket a, b;
    EXPECT_OK(CZuSocket::CreateSocketPair(a, b));
    EXPECT_OK(krpInitSocketWithContext(a, KRP_INIT_DEFAULT, clientTls, &client));
    EXPECT_OK(krpInitSocketWithContext(b, KRP_INIT_DEFAULT, serverTls, &server));
  }
  ~KrpPair() {
    krpDestroySocket(client);
    krpDestroySocket(server);
  }

  // Runs both handshakes at once; true when both succeeded.
  bool handshake() {
    std::thread t([&] { serverErr = krpAuthSocketMs(server, KRP_ROLE_SERVER, &clientCert, 5000); });
    clientErr = krpAuthSocketMs(client, KRP_ROLE_CLIENT, &serverCert, 5000);
    t.join();
    return !clientErr.IsError() && !serverErr.IsError();
  }

  CZuError clientErr, serverErr;
  std::shared_ptr<KRP_Cert> serverCert;  // as the client saw it
  std::shared_ptr<KRP_Cert> clientCert;  // as the server saw it
};

#endif  // TESTS_LINKTESTENV_H

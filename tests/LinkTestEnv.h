// Certificates and TLS contexts shared by the link tests: made once per
// program in a temporary directory.
#ifndef TESTS_LINKTESTENV_H
#define TESTS_LINKTESTENV_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "host/KrpCertAuthority.h"
#include "host/KrpSocket.h"
#include "host/TlsContext.h"

struct LinkTestEnv {
  std::string dir;                      // holds ca.crt and the certificates of "Test CA"
  std::string otherDir;                 // another authority, "Other CA"
  std::shared_ptr<TlsContext> server;   // "anchor", per-client
  std::shared_ptr<TlsContext> client;   // "client1", per-client
  std::shared_ptr<TlsContext> product;  // "product", built-in product certificate
  std::shared_ptr<TlsContext> noCert;   // trusts the CA, presents nothing
  std::shared_ptr<TlsContext> otherCa;  // trusts the CA, presents a cert of another CA

  static LinkTestEnv& get() {
    static LinkTestEnv* env = make();
    return *env;
  }

  TlsConfig config(const std::string& name) const {
    return TlsConfig{dir + "/ca.crt", KrpCertAuthority::certPath(dir, name),
                     KrpCertAuthority::keyPath(dir, name)};
  }

 private:
  static std::shared_ptr<TlsContext> context(const TlsConfig& c) {
    std::shared_ptr<TlsContext> tls;
    CZuError err = TlsContext::create(c, &tls);
    if (err.IsError()) {
      ADD_FAILURE() << err.AsString();
      std::abort();
    }
    return tls;
  }

  static void check(const CZuError& err) {
    if (err.IsError()) {
      ADD_FAILURE() << err.AsString();
      std::abort();
    }
  }

  static LinkTestEnv* make() {
    auto* env = new LinkTestEnv;
    char tmpl[] = "/tmp/blr-link-test-XXXXXX";
    env->dir = mkdtemp(tmpl);
    static struct Cleanup {
      std::string dir;
      ~Cleanup() { std::filesystem::remove_all(dir); }
    } cleanup{env->dir};
    env->otherDir = env->dir + "/other";
    KrpCertAuthority ca, other;
    check(KrpCertAuthority::create(env->dir, "Test CA", KrpCertAuthority::kCaValidDays, &ca));
    check(KrpCertAuthority::create(env->otherDir, "Other CA", 30, &other));
    int days = KrpCertAuthority::kCertValidDays;
    check(ca.issue("anchor", KRP_CERT_KIND_CLIENT, days, env->dir));
    check(ca.issue("client1", KRP_CERT_KIND_CLIENT, days, env->dir));
    check(ca.issue("product", KRP_CERT_KIND_PRODUCT, days, env->dir));
    check(other.issue("intruder", KRP_CERT_KIND_CLIENT, days, env->otherDir));
    env->server = context(env->config("anchor"));
    env->client = context(env->config("client1"));
    env->product = context(env->config("product"));
    env->noCert = context(TlsConfig{env->dir + "/ca.crt", "", ""});
    env->otherCa = context(TlsConfig{env->dir + "/ca.crt",
                                     KrpCertAuthority::certPath(env->otherDir, "intruder"),
                                     KrpCertAuthority::keyPath(env->otherDir, "intruder")});
    return env;
  }
};

// Both ends of a connected stream pair wrapped in the TLS layer.
struct KrpPair {
  KrpSocket* client = nullptr;
  KrpSocket* server = nullptr;

  KrpPair(std::shared_ptr<TlsContext> clientTls, std::shared_ptr<TlsContext> serverTls) {
    CZuSocket a, b;
    EXPECT_FALSE(CZuSocket::CreateSocketPair(a, b).IsError());
    EXPECT_FALSE(krpInitSocketWithContext(a, KRP_INIT_DEFAULT, clientTls, &client).IsError());
    EXPECT_FALSE(krpInitSocketWithContext(b, KRP_INIT_DEFAULT, serverTls, &server).IsError());
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

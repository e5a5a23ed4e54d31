#include <openssl/ssl.h>

#include <functional>

#include "support/EvDebugRecorder.h"
#include "support/LinkTestEnv.h"
#include "host/config/DWPlatformInfo.h"

namespace {

// A context of `name` narrowed by `narrow`, as an old peer would offer.
std::shared_ptr<TlsContext> narrowed(const std::string& name, std::function<int(SSL_CTX*)> narrow) {
  std::shared_ptr<TlsContext> tls = TestCerts::get().context(name);
  EXPECT_EQ(narrow(tls->native()), 1);
  return tls;
}

int tls12Only(SSL_CTX* ctx, const char* suites) {
  return SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) & SSL_CTX_set_cipher_list(ctx, suites);
}

// Old peers are told which side refused and why; of the suites both offer,
// the server's order wins.
TEST(KrpSocketTest, PeersOfferingOnlyRefusedSuitesAreToldWhyAndTheServersOrderWins) {
  LinkTestEnv& env = LinkTestEnv::get();
  auto cbc = [](SSL_CTX* c) { return tls12Only(c, "ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA"); };
  auto tls11 = [](SSL_CTX* c) {
    return SSL_CTX_set_min_proto_version(c, TLS1_1_VERSION) &
           SSL_CTX_set_max_proto_version(c, TLS1_1_VERSION) &
           SSL_CTX_set_cipher_list(c, "ECDHE-ECDSA-AES128-SHA:@SECLEVEL=0");
  };
  auto chacha12 = [](SSL_CTX* c) {
    return tls12Only(c, "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256");
  };
  const char* noSuite = "offers no TLS 1.2 AEAD suite with ECDHE key exchange, or TLS 1.3";
  const char* oldProtocol = "offers neither TLS 1.2 nor TLS 1.3";
  struct Case {
    const char* what;
    std::shared_ptr<TlsContext> clientTls, serverTls;
    const char* refusingSide;  // "server", "client", or null: agreed
    const char* outcome;       // the refusal's reason, or the suite agreed
  } cases[] = {
      {"client with CBC suites only", narrowed("client1", cbc), env.server, "server", noSuite},
      {"client with TLS 1.1 only", narrowed("client1", tls11), env.server, "server", oldProtocol},
      {"server with CBC suites only", env.client, narrowed("anchor", cbc), "client",
       "the peer refused the handshake; it may offer no TLS 1.2 AEAD suite"},
      {"TLS 1.2, ChaCha20 first", narrowed("client1", chacha12), env.server, nullptr,
       "TLSv1.2 ECDHE-ECDSA-AES128-GCM-SHA256"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KrpPair pair(c.clientTls, c.serverTls);
    const bool agreed = pair.handshake();
    EXPECT_EQ(agreed, c.refusingSide == nullptr);
    if (agreed) {
      EXPECT_EQ(krpCipher(pair.client), c.outcome);
      EXPECT_EQ(krpCipher(pair.server), c.outcome);
    } else if (c.refusingSide != nullptr) {
      const bool byServer = std::string(c.refusingSide) == "server";
      EXPECT_THAT((byServer ? pair.serverErr : pair.clientErr).AsString(), HasSubstr(c.outcome));
    }
  }
}

// The server "named" lists a DNS name and an address; "legacy" lists none.
TEST(KrpSocketTest, ClientsCheckTheDialledHostAgainstTheServersAltNames) {
  const std::string dir = LinkTestEnv::dir();
  KrpCertAuthority ca;
  ASSERT_OK(KrpCertAuthority::open(dir, &ca));
  ASSERT_OK(ca.issue("named", KRP_CERT_KIND_CLIENT, 30, dir, {"srv.example", "10.1.2.3"}));
  ASSERT_OK(ca.issue("legacy", KRP_CERT_KIND_CLIENT, 30, dir));
  EXPECT_TRUE(ca.issue("bad", KRP_CERT_KIND_CLIENT, 30, dir, {"a,DNS:b"}).IsError());
  std::shared_ptr<TlsContext> named = TestCerts::get().context("named");
  std::shared_ptr<TlsContext> legacy = TestCerts::get().context("legacy");
  struct Case {
    std::shared_ptr<TlsContext> server;
    const char* dialled;
    const char* refusal;  // null: accepted
  } cases[] = {
      {named, "srv.example", nullptr},
      {named, "SRV.example", nullptr},
      {named, "10.1.2.3", nullptr},
      {named, "other.example",
       "dialled other.example, but the certificate of named holds only srv.example, 10.1.2.3"},
      {legacy, "anything.example", nullptr},
  };
  EvDebugRecorder log;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dialled);
    KrpPair pair(LinkTestEnv::get().client, c.server);
    ASSERT_OK(krpSetDialledHost(pair.client, c.dialled));
    pair.handshake();
    if (c.refusal == nullptr) {
      EXPECT_OK(pair.clientErr);
    } else {
      EXPECT_THAT(pair.clientErr.AsString(), HasSubstr(c.refusal));
      EXPECT_EQ(pair.serverCert, nullptr);
    }
  }
  // Only the certificate without names is accepted on its client name alone.
  EXPECT_THAT(log.messages(), testing::Contains(AllOf(HasSubstr("certificate of legacy"),
                                                      HasSubstr("has no subjectAltName")))
                                  .Times(1));
  EXPECT_THAT(log.messages(), testing::Each(testing::Not(HasSubstr("certificate of named"))));
}

// Data over the handshaken socket, many TLS records each way, and what each
// side learns of its peer (name, kind, a name other than expected) are
// covered by the request link's and the control channel's tests (DwLinkTest,
// CtrlTest); here what only the socket shows.
TEST(KrpSocketTest, PeersWithoutAValidCertificateAreRefusedInTheHandshake) {
  LinkTestEnv& env = LinkTestEnv::get();
  struct Case {
    const char* what;
    std::shared_ptr<TlsContext> clientTls;
  } cases[] = {{"no certificate", env.noCert}, {"another authority", env.otherCa}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KrpPair pair(c.clientTls, env.server);
    EXPECT_FALSE(pair.handshake());
    EXPECT_EQ(pair.clientCert, nullptr);
    EXPECT_THAT(pair.serverErr.AsString(), HasSubstr("Couldn't authenticate peer"));
    // The refused side can't use the socket; the client learns of the refusal
    // at the latest on its first read.
    char byte;
    CZuError err;
    EXPECT_EQ(krpSendMs(pair.server, "x", 1, 1000, &err), 0);
    EXPECT_TRUE(err.IsError());
    if (!pair.clientErr.IsError()) {
      EXPECT_EQ(krpRecvMs(pair.client, &byte, 1, 2000, &err), 0);
      EXPECT_TRUE(err.IsError());
    }
  }
  KrpPair otherServer(env.client, env.otherCa);  // the client refuses it
  EXPECT_FALSE(otherServer.handshake());
  EXPECT_THAT(otherServer.clientErr.AsString(), HasSubstr("certificate verify failed"));
}

}  // namespace

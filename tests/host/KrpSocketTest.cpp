#include <unistd.h>

#include <cerrno>

#include "support/LinkTestEnv.h"
#include "host/config/DWPlatformInfo.h"

namespace {

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

TEST(KrpSocketTest, CancelFdInterruptsAWaitAndMisuseIsRefused) {
  LinkTestEnv& env = LinkTestEnv::get();
  KrpPair pair(env.client, env.server);
  ASSERT_TRUE(pair.handshake());
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  krpSetCancelFd(pair.client, fds[0]);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  char buf[4];
  CZuError err;
  EXPECT_EQ(krpRecvMs(pair.client, buf, sizeof buf, 5000, &err), 0);
  EXPECT_EQ(err.Code(), ECANCELED);
  krpSetCancelFd(pair.client, -1);
  close(fds[0]);
  close(fds[1]);

  // Misuse is refused.
  KrpSocket* s = nullptr;
  EXPECT_TRUE(krpInitSocketWithContext(CZuSocket(), 0, env.client, &s).IsError());
  CZuSocket a, b;
  ASSERT_OK(CZuSocket::CreateSocketPair(a, b));
  EXPECT_TRUE(krpInitSocketWithContext(a, 8, env.client, &s).IsError());
  ASSERT_OK(krpInitSocketWithContext(a, KRP_INIT_DEFAULT, env.client, &s));
  err = CZuError();
  EXPECT_EQ(krpSend(s, "x", 1, 1, &err), 0);  // before the handshake
  EXPECT_TRUE(err.IsError());
  EXPECT_TRUE(krpAuthSocket(s, 7, nullptr, 1).IsError());
  krpDestroySocket(s);
  // The caller's copy keeps the socket open.
  EXPECT_EQ(write(a.GetDescriptor(), "x", 1), 1);
}

TEST(KrpSocketTest, InitFromRegistryUsesSecuritySection) {
  const std::string dir = LinkTestEnv::dir();
  DWPlatformInfo::reset();
  CZuSocket a, b;
  ASSERT_OK(CZuSocket::CreateSocketPair(a, b));
  KrpSocket* s = nullptr;
  EXPECT_TRUE(krpInitSocket(a, KRP_INIT_DEFAULT, &s).IsError());  // nothing configured
  TestCerts::get().useInRegistry("client1");
  ASSERT_OK(krpInitSocket(a, KRP_INIT_DEFAULT, &s));
  krpDestroySocket(s);

  // The context is kept while the files stay, and rebuilt when one is replaced.
  // (blr certs covers the authority's refusals and file modes end to end.)
  KrpCertAuthority ca;
  ASSERT_OK(KrpCertAuthority::open(dir, &ca));
  EXPECT_TRUE(ca.issue("", KRP_CERT_KIND_CLIENT, 10, dir).IsError());
  EXPECT_TRUE(ca.issue("ok", KRP_CERT_KIND_CLIENT, 0, dir).IsError());
  ASSERT_OK(ca.issue("renewed", KRP_CERT_KIND_CLIENT, 10, dir));
  DWPlatformInfo::setValue("Security", "sCertFile", KrpCertAuthority::certPath(dir, "renewed"));
  DWPlatformInfo::setValue("Security", "sKeyFile", KrpCertAuthority::keyPath(dir, "renewed"));
  std::shared_ptr<TlsContext> first, again, renewed;
  ASSERT_OK(TlsContext::fromRegistry(&first));
  ASSERT_OK(TlsContext::fromRegistry(&again));
  EXPECT_EQ(first, again);
  ASSERT_OK(ca.issue("renewed", KRP_CERT_KIND_CLIENT, 20, dir));
  ASSERT_OK(TlsContext::fromRegistry(&renewed));
  EXPECT_NE(first, renewed);
  DWPlatformInfo::reset();
}

}  // namespace

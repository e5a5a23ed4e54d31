#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "LinkTestEnv.h"
#include "host/DWPlatformInfo.h"

namespace {

TEST(KrpSocketTest, HandshakeDescribesBothPeersAndMovesData) {
  LinkTestEnv& env = LinkTestEnv::get();
  KrpPair pair(env.client, env.server);
  ASSERT_FALSE(krpSetRemoteClientName(pair.client, "anchor").IsError());
  ASSERT_FALSE(krpSetRemoteClientName(pair.server, "someone-else").IsError());
  ASSERT_TRUE(pair.handshake()) << pair.clientErr.AsString() << pair.serverErr.AsString();
  std::shared_ptr<KRP_Cert> serverCert = pair.serverCert, clientCert = pair.clientCert;

  EXPECT_EQ(serverCert->kind, KRP_CERT_KIND_CLIENT);
  EXPECT_EQ(serverCert->clientName, "anchor");
  EXPECT_EQ(serverCert->issuerName, "Test CA");
  EXPECT_TRUE(serverCert->nameMatches());
  EXPECT_EQ(serverCert->fingerprint.size(), 64u);
  EXPECT_EQ(serverCert->pem.rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
  EXPECT_LT(serverCert->notBefore, time(nullptr));
  EXPECT_GT(serverCert->notAfter, time(nullptr) + 2 * 365 * 86400);
  // A name other than the expected one is reported, not refused.
  EXPECT_EQ(clientCert->clientName, "client1");
  EXPECT_EQ(clientCert->expectedName, "someone-else");
  EXPECT_FALSE(clientCert->nameMatches());
  EXPECT_NE(clientCert->fingerprint, serverCert->fingerprint);

  // More than one TLS record each way.
  std::string out(100000, 'x'), in(out.size(), '\0');
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(i * 7);
  CZuError sendErr, recvErr;
  std::thread sender(
      [&] { krpSend(pair.client, out.data(), static_cast<int>(out.size()), 5, &sendErr); });
  int got = krpRecv(pair.server, &in[0], static_cast<int>(in.size()), 5, &recvErr);
  sender.join();
  EXPECT_FALSE(sendErr.IsError()) << sendErr.AsString();
  EXPECT_FALSE(recvErr.IsError()) << recvErr.AsString();
  EXPECT_EQ(got, static_cast<int>(out.size()));
  EXPECT_EQ(in, out);
}

TEST(KrpSocketTest, ProductCertificateIsAcceptedAndReportedAsSuch) {
  LinkTestEnv& env = LinkTestEnv::get();
  KrpPair pair(env.product, env.server);
  ASSERT_TRUE(pair.handshake()) << pair.serverErr.AsString();
  EXPECT_EQ(pair.clientCert->kind, KRP_CERT_KIND_PRODUCT);
  EXPECT_EQ(pair.clientCert->clientName, "product");
}

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
    const CZuError& se = pair.serverErr;
    ASSERT_TRUE(se.IsError());
    EXPECT_EQ(pair.clientCert, nullptr);
    EXPECT_NE(se.AsString().find("Couldn't authenticate peer"), std::string::npos) << se.AsString();
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
}

TEST(KrpSocketTest, ClientRefusesServerOfAnotherAuthority) {
  LinkTestEnv& env = LinkTestEnv::get();
  KrpPair pair(env.client, env.otherCa);
  EXPECT_FALSE(pair.handshake());
  const CZuError& ce = pair.clientErr;
  ASSERT_TRUE(ce.IsError());
  EXPECT_NE(ce.AsString().find("certificate verify failed"), std::string::npos) << ce.AsString();
}

TEST(KrpSocketTest, StalledPeerTimesOut) {
  LinkTestEnv& env = LinkTestEnv::get();
  KrpPair pair(env.client, env.server);
  // The server side never answers the handshake.
  CZuError err = krpAuthSocketMs(pair.client, KRP_ROLE_CLIENT, nullptr, 100);
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ(FXErrorUtil::GetInt(err), ETIMEDOUT);

  KrpPair idle(env.client, env.server);
  ASSERT_TRUE(idle.handshake());
  char buf[4];
  CZuError recvErr;
  EXPECT_EQ(krpRecvMs(idle.client, buf, sizeof buf, 100, &recvErr), 0);
  EXPECT_EQ(FXErrorUtil::GetInt(recvErr), ETIMEDOUT);
}

TEST(KrpSocketTest, CloseAndCancelAreTold) {
  LinkTestEnv& env = LinkTestEnv::get();
  KrpPair pair(env.client, env.server);
  ASSERT_TRUE(pair.handshake());
  EXPECT_TRUE(krpIsIdleAlive(pair.client));

  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  krpSetCancelFd(pair.client, pipeFds[0]);
  ASSERT_EQ(write(pipeFds[1], "x", 1), 1);
  char buf[4];
  CZuError err;
  EXPECT_EQ(krpRecvMs(pair.client, buf, sizeof buf, 5000, &err), 0);
  EXPECT_EQ(FXErrorUtil::GetInt(err), ECANCELED);
  krpSetCancelFd(pair.client, -1);
  close(pipeFds[0]);
  close(pipeFds[1]);

  krpDestroySocket(pair.server);  // sends the close notice and closes
  pair.server = nullptr;
  EXPECT_FALSE(krpIsIdleAlive(pair.client));
  err.Success();
  EXPECT_EQ(krpRecvMs(pair.client, buf, sizeof buf, 5000, &err), 0);
  EXPECT_EQ(FXErrorUtil::GetInt(err), ECONNRESET);
}

TEST(KrpSocketTest, MisuseIsRefused) {
  LinkTestEnv& env = LinkTestEnv::get();
  KrpSocket* s = nullptr;
  EXPECT_TRUE(krpInitSocketWithContext(CZuSocket(), 0, env.client, &s).IsError());
  CZuSocket a, b;
  ASSERT_FALSE(CZuSocket::CreateSocketPair(a, b).IsError());
  EXPECT_TRUE(krpInitSocketWithContext(a, 8, env.client, &s).IsError());
  ASSERT_FALSE(krpInitSocketWithContext(a, KRP_INIT_DEFAULT, env.client, &s).IsError());
  CZuError err;
  EXPECT_EQ(krpSend(s, "x", 1, 1, &err), 0);  // before the handshake
  EXPECT_TRUE(err.IsError());
  EXPECT_TRUE(krpAuthSocket(s, 7, nullptr, 1).IsError());
  krpDestroySocket(s);
  // The caller's copy keeps the socket open.
  EXPECT_EQ(write(a.GetDescriptor(), "x", 1), 1);
}

TEST(KrpSocketTest, InitFromRegistryUsesSecuritySection) {
  LinkTestEnv& env = LinkTestEnv::get();
  DWPlatformInfo::reset();
  CZuSocket a, b;
  ASSERT_FALSE(CZuSocket::CreateSocketPair(a, b).IsError());
  KrpSocket* s = nullptr;
  CZuError err = krpInitSocket(a, KRP_INIT_DEFAULT, &s);
  EXPECT_TRUE(err.IsError());  // nothing configured
  TlsConfig c = env.config("client1");
  DWPlatformInfo::setValue("Security", "sCAFile", c.caFile);
  DWPlatformInfo::setValue("Security", "sCertFile", c.certFile);
  DWPlatformInfo::setValue("Security", "sKeyFile", c.keyFile);
  ASSERT_FALSE(krpInitSocket(a, KRP_INIT_DEFAULT, &s).IsError());
  krpDestroySocket(s);

  // The context is kept while the files stay, and rebuilt when one is replaced.
  KrpCertAuthority ca;
  ASSERT_FALSE(KrpCertAuthority::open(env.dir, &ca).IsError());
  ASSERT_FALSE(ca.issue("renewed", KRP_CERT_KIND_CLIENT, 10, env.dir).IsError());
  DWPlatformInfo::setValue("Security", "sCertFile", KrpCertAuthority::certPath(env.dir, "renewed"));
  DWPlatformInfo::setValue("Security", "sKeyFile", KrpCertAuthority::keyPath(env.dir, "renewed"));
  std::shared_ptr<TlsContext> first, again, renewed;
  ASSERT_FALSE(TlsContext::fromRegistry(&first).IsError());
  ASSERT_FALSE(TlsContext::fromRegistry(&again).IsError());
  EXPECT_EQ(first, again);
  ASSERT_FALSE(ca.issue("renewed", KRP_CERT_KIND_CLIENT, 20, env.dir).IsError());
  ASSERT_FALSE(TlsContext::fromRegistry(&renewed).IsError());
  EXPECT_NE(first, renewed);
  DWPlatformInfo::reset();
}

TEST(KrpCertAuthorityTest, KeepsExistingAuthorityAndProtectsKeys) {
  LinkTestEnv& env = LinkTestEnv::get();
  KrpCertAuthority ca;
  EXPECT_TRUE(KrpCertAuthority::create(env.dir, "Again", 10, &ca).IsError());
  ASSERT_FALSE(KrpCertAuthority::open(env.dir, &ca).IsError());
  std::string out = env.dir + "/issued";
  EXPECT_TRUE(ca.issue("../escape", KRP_CERT_KIND_CLIENT, 10, out).IsError());
  EXPECT_TRUE(ca.issue("", KRP_CERT_KIND_CLIENT, 10, out).IsError());
  EXPECT_TRUE(ca.issue("ok", KRP_CERT_KIND_CLIENT, 0, out).IsError());
  ASSERT_FALSE(ca.issue("host-2.example", KRP_CERT_KIND_CLIENT, 10, out).IsError());
  struct stat st;
  ASSERT_EQ(stat(KrpCertAuthority::keyPath(out, "host-2.example").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((env.dir + "/ca.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  KrpCertAuthority missing;
  EXPECT_TRUE(KrpCertAuthority::open(out, &missing).IsError());
}

}  // namespace

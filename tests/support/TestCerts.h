// Certificates of the tests, made once per process in a temporary directory:
// the authority "Test CA" with per-client certificates for "anchor",
// "client1", "head1", "tail1" and "job1" and the built-in product certificate
// "product", each serving on the loopback addresses and "localhost"; and
// "Other CA" with "intruder".
#ifndef BLR_TESTS_SUPPORT_TESTCERTS_H
#define BLR_TESTS_SUPPORT_TESTCERTS_H

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "host/config/DWPlatformInfo.h"
#include "host/tls/KrpCertAuthority.h"
#include "host/tls/KrpSocket.h"
#include "host/tls/TlsContext.h"
#include "support/TempFile.h"

class TestCerts {
 public:
  static const TestCerts& get() {
    static TestCerts certs;
    return certs;
  }

  const std::string& dir() const { return dir_.path(); }
  std::string otherDir() const { return dir() + "/other"; }

  TlsConfig config(const std::string& name) const {
    std::string d = name == "intruder" ? otherDir() : dir();
    return TlsConfig{dir() + "/ca.crt", KrpCertAuthority::certPath(d, name),
                     KrpCertAuthority::keyPath(d, name), ""};
  }
  // A TLS context presenting `name`'s certificate; "" presents none.
  std::shared_ptr<TlsContext> context(const std::string& name) const {
    TlsConfig c = name.empty() ? TlsConfig{dir() + "/ca.crt", "", "", ""} : config(name);
    std::shared_ptr<TlsContext> tls;
    check(TlsContext::create(c, &tls));
    return tls;
  }
  // Points the registry's [Security] files at `name`'s certificate, as a
  // program of that client reads them.
  void useInRegistry(const std::string& name) const {
    TlsConfig c = config(name);
    DWPlatformInfo::setValue("Security", "sCAFile", c.caFile);
    DWPlatformInfo::setValue("Security", "sCertFile", c.certFile);
    DWPlatformInfo::setValue("Security", "sKeyFile", c.keyFile);
  }

 private:
  TestCerts() {
    KrpCertAuthority ca, other;
    check(KrpCertAuthority::create(dir(), "Test CA", KrpCertAuthority::kCaValidDays, &ca));
    check(KrpCertAuthority::create(otherDir(), "Other CA", 30, &other));
    int days = KrpCertAuthority::kCertValidDays;
    const std::vector<std::string> local = {"127.0.0.1", "::1", "localhost"};
    for (const char* name : {"anchor", "client1", "head1", "tail1", "job1"})
      check(ca.issue(name, KRP_CERT_KIND_CLIENT, days, dir(), local));
    check(ca.issue("product", KRP_CERT_KIND_PRODUCT, days, dir(), local));
    check(other.issue("intruder", KRP_CERT_KIND_CLIENT, days, otherDir()));
  }

  static void check(const CZuError& err) {
    if (!err.IsError()) return;
    std::fprintf(stderr, "Test certificates: %s\n", err.AsString().c_str());
    std::abort();
  }

  TempDir dir_;
};

#endif  // BLR_TESTS_SUPPORT_TESTCERTS_H

// Certificates for benchmarks over TLS: an authority and per-client
// certificates "anchor" (the server) and "client", and any others issued, in
// a temporary directory that goes with the object.
#ifndef BENCH_BENCHCERTS_H
#define BENCH_BENCHCERTS_H

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BenchSetup.h"
#include "host/tls/KrpCertAuthority.h"
#include "host/tls/KrpSocket.h"
#include "host/tls/TlsContext.h"

struct BenchCerts {
  std::string dir;
  KrpCertAuthority ca;

  BenchCerts() {
    char tmpl[] = "/tmp/blr-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    must(KrpCertAuthority::create(dir, "Bench CA", 30, &ca));
    issue("anchor");
    issue("client");
  }
  ~BenchCerts() { std::filesystem::remove_all(dir); }

  void issue(const std::string& name) {
    must(ca.issue(name, KRP_CERT_KIND_CLIENT, 30, dir, {"127.0.0.1", "localhost"}));
  }

  TlsConfig tls(const std::string& name) const {
    return TlsConfig{dir + "/ca.crt", KrpCertAuthority::certPath(dir, name),
                     KrpCertAuthority::keyPath(dir, name), ""};
  }
  std::shared_ptr<TlsContext> context(const std::string& name) const {
    std::shared_ptr<TlsContext> out;
    must(TlsContext::create(tls(name), &out));
    return out;
  }
};

#endif  // BENCH_BENCHCERTS_H

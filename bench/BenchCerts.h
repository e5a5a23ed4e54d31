// Certificates for benchmarks over TLS: an authority and per-client
// certificates "anchor" (the server) and "client", in a temporary directory
// that goes with the object.
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

  BenchCerts() {
    char tmpl[] = "/tmp/blr-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    KrpCertAuthority ca;
    must(KrpCertAuthority::create(dir, "Bench CA", 30, &ca));
    const std::vector<std::string> local = {"127.0.0.1", "localhost"};
    must(ca.issue("anchor", KRP_CERT_KIND_CLIENT, 30, dir, local));
    must(ca.issue("client", KRP_CERT_KIND_CLIENT, 30, dir, local));
  }
  ~BenchCerts() { std::filesystem::remove_all(dir); }

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

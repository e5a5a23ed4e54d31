// Makes the certificates of the authenticated socket layer: a certificate
// authority, and certificates it signs for clients.
//
// Every issued certificate has the subject "O=BLR, OU=kind=<kind>, CN=<name>":
// the common name is the client name the holder authenticates as, and the
// organizational unit carries the kind (KRP_CERT_KIND_CLIENT for a per-client
// certificate, KRP_CERT_KIND_PRODUCT for the built-in product certificate).
// Keys are EC P-256; certificates are signed with SHA-256 and usable for both
// TLS client and server authentication.  An issued certificate lists the DNS
// names and addresses its holder serves on as subjectAltName, which clients
// check against the host they dialled (KrpSocket.h).
//
// Validity: an authority at most kCaValidDays, an issued certificate at most
// kCertValidDays and never beyond its authority.
//
// Files, all PEM: <dir>/ca.crt and <dir>/ca.key for the authority;
// <dir>/<name>.crt and <dir>/<name>.key for an issued certificate.  Key files
// are created with mode 0600.  Every file is written whole or not at all.
// <dir>/ca.crl is the authority's revocation list (TlsContext's sCRLFile).
#ifndef HOST_KRPCERTAUTHORITY_H
#define HOST_KRPCERTAUTHORITY_H

#include <memory>
#include <ctime>
#include <string>
#include <vector>

#include "host/base/CZuError.h"

// An issued certificate as `KrpCertAuthority::list` finds it.
struct KrpCertEntry {
  std::string name;
  time_t notAfter = 0;
  bool revoked = false;
};

class KrpCertAuthority {
 public:
  static constexpr int kCaValidDays = 10 * 365;  // also the longest allowed
  static constexpr int kCertValidDays = 397;      // also the longest allowed
  // Certificates closer to their end than this are reported (blr doctor).
  static constexpr int kExpiryWarnDays = 30;

  KrpCertAuthority() = default;

  // Creates a new authority named `name` in `dir` (created if missing).  Fails,
  // touching nothing, when the directory already holds one.
  static CZuError create(const std::string& dir, const std::string& name, int validDays,
                         KrpCertAuthority* out);
  // Loads the authority kept in `dir`.
  static CZuError open(const std::string& dir, KrpCertAuthority* out);

  // Issues a certificate for `name` of `kind` into `outDir`, with a new key,
  // replacing an earlier one of the same name.  Names are 1 to 64 characters
  // of letters, digits, '.', '_' and '-', not starting with '.'.  `hosts`
  // (DNS names or IPv4/IPv6 addresses) become its subjectAltName; none gives
  // a certificate without one.
  CZuError issue(const std::string& name, int kind, int validDays, const std::string& outDir,
                 const std::vector<std::string>& hosts = {}) const;
  // Issues the certificate of `name` in `dir` anew, valid `validDays` from
  // now, with the same subject, subjectAltName and key.  Only the certificate
  // file is replaced (atomically); the old one must be this authority's.
  CZuError renew(const std::string& dir, const std::string& name, int validDays) const;

  // Writes an empty signed revocation list to `dir` unless it has one.
  CZuError startRevocationList(const std::string& dir) const;
  // Adds the certificate issued for `name` in `dir` to the revocation list
  // (created when missing) and signs the list anew.  Revoking twice is no error.
  CZuError revoke(const std::string& dir, const std::string& name) const;
  // The certificates issued in `dir`, by name, with their state in its list.
  static CZuError list(const std::string& dir, std::vector<KrpCertEntry>* out);

  // Writes `data` to `path` through a temporary file and a rename, with
  // `mode` whatever the umask.
  static CZuError writeFile(const std::string& path, const std::string& data, int mode);
  // Whether the private key in `keyFile` belongs to the certificate in
  // `certFile`; fails with the reason when it does not or a file is unusable.
  static CZuError checkKeyMatches(const std::string& certFile, const std::string& keyFile);
  // Whether the certificate in `certFile` carries a valid signature of the
  // authority whose certificate is in `caFile` (validity dates not checked).
  static CZuError checkIssuedBy(const std::string& certFile, const std::string& caFile);

  const std::string& caFile() const { return caFile_; }
  static std::string crlPath(const std::string& dir);
  static std::string certPath(const std::string& dir, const std::string& name);
  static std::string keyPath(const std::string& dir, const std::string& name);

 private:
  struct Keys;

  std::string caFile_;
  std::shared_ptr<Keys> keys_;
};

#endif  // HOST_KRPCERTAUTHORITY_H

#include "host/tls/KrpCertAuthority.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "host/tls/KrpPeerPolicy.h"
#include "host/tls/KrpSocket.h"
#include "host/tls/TlsContext.h"

struct KrpCertAuthority::Keys {
  ~Keys() {
    EVP_PKEY_free(key);
    X509_free(cert);
  }
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
};

namespace {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct CrlFree {
  void operator()(X509_CRL* c) const { X509_CRL_free(c); }
};
using CrlPtr = std::unique_ptr<X509_CRL, CrlFree>;

bool validName(const std::string& name) { return KrpPeerPolicy::wellFormed(name); }

// An authority's name is only a common name: any printable text.
bool validCommonName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

CZuError makeDir(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) return CZuError();
  return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't create directory %s", dir.c_str());
}

// Writes through a temporary file and a rename, so a reader never sees a part.
CZuError writeWhole(const std::string& path, const std::string& data, mode_t mode) {
  std::string tmp = path + ".tmpXXXXXX";
  int fd = ::mkstemp(&tmp[0]);
  if (fd < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't create %s", tmp.c_str());
  bool ok = ::fchmod(fd, mode) == 0;
  for (size_t done = 0; ok && done < data.size();) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  int e = errno;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) return CZuError();
  e = errno ? errno : e;
  ::unlink(tmp.c_str());
  return FXErrorUtil::ErrorErrNo(FXLOC, e, "Couldn't write %s", path.c_str());
}

std::string bioText(BIO* mem) {
  char* data = nullptr;
  long len = BIO_get_mem_data(mem, &data);
  return std::string(data, static_cast<size_t>(len));
}

CZuError writePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  BioPtr mem(BIO_new(BIO_s_mem()));
  bool ok = mem && (cert ? PEM_write_bio_X509(mem.get(), cert)
                         : PEM_write_bio_PrivateKey(mem.get(), key, nullptr, nullptr, 0, nullptr,
                                                    nullptr)) == 1;
  if (!ok)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't encode %s: %s", path.c_str(),
                                 tlsErrorText().c_str());
  return writeWhole(path, bioText(mem.get()), cert ? 0644 : 0600);
}

CZuError addEntry(X509_NAME* name, const char* field, const std::string& value) {
  if (X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                 0) == 1)
    return CZuError();
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't set %s=%s: %s", field, value.c_str(),
                               tlsErrorText().c_str());
}

CZuError addExt(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  bool ok = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  if (ok) return CZuError();
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't add extension %s: %s", value,
                               tlsErrorText().c_str());
}

CZuError randomSerial(X509* cert) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't make serial number: %s",
                                 tlsErrorText().c_str());
  bytes[0] &= 0x7f;  // positive
  BIGNUM* bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
  bool ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
  BN_free(bn);
  if (ok) return CZuError();
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't set serial number: %s", tlsErrorText().c_str());
}

// The certificate's fields before extensions and signing.  `issuer` null
// makes it self-issued.
CZuError newCert(EVP_PKEY* key, const std::string& unit, const std::string& commonName,
                 int validDays, X509* issuer, X509Ptr* out) {
  X509Ptr cert(X509_new());
  if (!cert) return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't allocate certificate");
  CZuError err = randomSerial(cert.get());
  if (err.IsError()) return err;
  X509_NAME* subject = X509_get_subject_name(cert.get());
  err = addEntry(subject, "O", "BLR");
  if (!err.IsError() && !unit.empty()) err = addEntry(subject, "OU", unit);
  if (!err.IsError()) err = addEntry(subject, "CN", commonName);
  if (err.IsError()) return err;
  // Backdated an hour to tolerate clocks that differ a little.
  bool ok =
      X509_set_version(cert.get(), 2) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * validDays) != nullptr &&
      X509_set_pubkey(cert.get(), key) == 1 &&
      X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer ? issuer : cert.get())) == 1;
  if (!ok)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't fill certificate: %s", tlsErrorText().c_str());
  *out = std::move(cert);
  return CZuError();
}

CZuError sign(X509* cert, EVP_PKEY* key) {
  if (X509_sign(cert, key, EVP_sha256()) > 0) return CZuError();
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't sign certificate: %s", tlsErrorText().c_str());
}

CZuError newKey(PkeyPtr* out) {
  out->reset(EVP_EC_gen("P-256"));
  if (*out) return CZuError();
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't generate key: %s", tlsErrorText().c_str());
}

CZuError checkDays(int validDays, int maxDays) {
  if (validDays >= 1 && validDays <= maxDays) return CZuError();
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid validity of %d days (1 to %d)", validDays,
                               maxDays);
}

// A DNS name as a certificate may list it: letters, digits, '-', '_' and
// dots between labels.
bool validDnsName(const std::string& host) {
  if (host.empty() || host.size() > 253 || host.front() == '.' ||
      host.find("..") != std::string::npos)
    return false;
  for (char c : host)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
      return false;
  return true;
}

// subjectAltName from `hosts`: an address as an IP entry, anything else as a
// DNS name.
CZuError addAltNames(X509* cert, const std::vector<std::string>& hosts) {
  if (hosts.empty()) return CZuError();
  GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
  CZuError err;
  for (size_t i = 0; names != nullptr && i < hosts.size() && !err.IsError(); ++i) {
    GENERAL_NAME* name = GENERAL_NAME_new();
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(hosts[i].c_str());
    ERR_clear_error();  // not an address leaves its reason queued
    if (ip != nullptr) {
      GENERAL_NAME_set0_value(name, GEN_IPADD, ip);
    } else if (validDnsName(hosts[i])) {
      ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
      ASN1_STRING_set(dns, hosts[i].data(), static_cast<int>(hosts[i].size()));
      GENERAL_NAME_set0_value(name, GEN_DNS, dns);
    } else {
      err = FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid host name or address \"%s\"",
                                  hosts[i].c_str());
    }
    if (err.IsError() || sk_GENERAL_NAME_push(names, name) <= 0) GENERAL_NAME_free(name);
  }
  if (!err.IsError() &&
      (names == nullptr || X509_add1_ext_i2d(cert, NID_subject_alt_name, names, 0,
                                                X509V3_ADD_DEFAULT) != 1))
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't add subjectAltName: %s", tlsErrorText().c_str());
  GENERAL_NAMES_free(names);
  return err;
}

// A certificate never outlives the authority that signs it.
void clampToIssuer(X509* cert, X509* issuer) {
  if (ASN1_TIME_compare(X509_get0_notAfter(cert), X509_get0_notAfter(issuer)) > 0)
    X509_set1_notAfter(cert, X509_get0_notAfter(issuer));
}

template <typename T, typename Read>
CZuError readPem(const std::string& path, Read read, T** out) {
  BioPtr file(BIO_new_file(path.c_str(), "r"));
  *out = file ? read(file.get(), nullptr, nullptr, nullptr) : nullptr;
  if (*out != nullptr) return CZuError();
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't read %s: %s", path.c_str(),
                               tlsErrorText().c_str());
}

}  // namespace

std::string KrpCertAuthority::certPath(const std::string& dir, const std::string& name) {
  return dir + "/" + name + ".crt";
}

std::string KrpCertAuthority::keyPath(const std::string& dir, const std::string& name) {
  return dir + "/" + name + ".key";
}

CZuError KrpCertAuthority::create(const std::string& dir, const std::string& name, int validDays,
                                  KrpCertAuthority* out) {
  CZuError err = checkDays(validDays, kCaValidDays);
  if (!err.IsError() && !validCommonName(name))
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid authority name \"%s\"", name.c_str());
  if (!err.IsError() && (exists(certPath(dir, "ca")) || exists(keyPath(dir, "ca"))))
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "%s already holds a certificate authority", dir.c_str());
  if (!err.IsError()) err = makeDir(dir);
  auto keys = std::make_shared<Keys>();
  PkeyPtr key;
  X509Ptr cert;
  if (!err.IsError()) err = newKey(&key);
  if (!err.IsError()) err = newCert(key.get(), std::string(), name, validDays, nullptr, &cert);
  if (!err.IsError())
    err = addExt(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  if (!err.IsError())
    err = addExt(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  if (!err.IsError()) err = addExt(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
  if (!err.IsError()) err = sign(cert.get(), key.get());
  if (!err.IsError()) err = writePem(keyPath(dir, "ca"), nullptr, key.get());
  if (!err.IsError()) err = writePem(certPath(dir, "ca"), cert.get(), nullptr);
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't create certificate authority in %s", dir.c_str());
  keys->key = key.release();
  keys->cert = cert.release();
  out->caFile_ = certPath(dir, "ca");
  out->keys_ = std::move(keys);
  return CZuError();
}

CZuError KrpCertAuthority::open(const std::string& dir, KrpCertAuthority* out) {
  auto keys = std::make_shared<Keys>();
  CZuError err = readPem(certPath(dir, "ca"), PEM_read_bio_X509, &keys->cert);
  if (!err.IsError()) err = readPem(keyPath(dir, "ca"), PEM_read_bio_PrivateKey, &keys->key);
  if (!err.IsError() && X509_check_private_key(keys->cert, keys->key) != 1)
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "Key does not match the certificate: %s",
                                tlsErrorText().c_str());
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't open certificate authority in %s", dir.c_str());
  out->caFile_ = certPath(dir, "ca");
  out->keys_ = std::move(keys);
  return CZuError();
}

CZuError KrpCertAuthority::checkKeyMatches(const std::string& certFile, const std::string& keyFile) {
  Keys pair;
  CZuError err = readPem(certFile, PEM_read_bio_X509, &pair.cert);
  if (!err.IsError()) err = readPem(keyFile, PEM_read_bio_PrivateKey, &pair.key);
  if (!err.IsError() && X509_check_private_key(pair.cert, pair.key) != 1)
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "The key in %s does not belong to the certificate in %s",
                                keyFile.c_str(), certFile.c_str());
  tlsErrorText();  // a mismatch leaves its reason queued
  return err;
}

CZuError KrpCertAuthority::checkIssuedBy(const std::string& certFile, const std::string& caFile) {
  Keys cert, ca;
  CZuError err = readPem(certFile, PEM_read_bio_X509, &cert.cert);
  if (!err.IsError()) err = readPem(caFile, PEM_read_bio_X509, &ca.cert);
  EVP_PKEY* caKey = err.IsError() ? nullptr : X509_get0_pubkey(ca.cert);
  if (!err.IsError() && (caKey == nullptr || X509_verify(cert.cert, caKey) != 1))
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "%s is not signed by the authority of %s",
                                certFile.c_str(), caFile.c_str());
  tlsErrorText();
  return err;
}

namespace {

// A leaf certificate for `name` over the public `key`, signed by `ca`.
CZuError signLeaf(const std::string& name, int kind, int validDays,
                  const std::vector<std::string>& hosts, EVP_PKEY* key, X509* ca, EVP_PKEY* caKey,
                  X509Ptr* out) {
  CZuError err = checkDays(validDays, KrpCertAuthority::kCertValidDays);
  if (!err.IsError() && ca == nullptr)
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "No certificate authority");
  if (!err.IsError() && (!validName(name) || name == "ca"))
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid client name \"%s\"", name.c_str());
  if (!err.IsError() && kind < 0) err = FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid kind %d", kind);
  X509Ptr cert;
  if (!err.IsError())
    err = newCert(key, "kind=" + std::to_string(kind), name, validDays, ca, &cert);
  if (!err.IsError()) clampToIssuer(cert.get(), ca);
  if (!err.IsError()) err = addExt(cert.get(), ca, NID_basic_constraints, "critical,CA:FALSE");
  if (!err.IsError()) err = addExt(cert.get(), ca, NID_key_usage, "critical,digitalSignature");
  if (!err.IsError()) err = addExt(cert.get(), ca, NID_ext_key_usage, "serverAuth,clientAuth");
  if (!err.IsError()) err = addExt(cert.get(), ca, NID_authority_key_identifier, "keyid");
  if (!err.IsError()) err = addAltNames(cert.get(), hosts);
  if (!err.IsError()) err = sign(cert.get(), caKey);
  if (!err.IsError()) *out = std::move(cert);
  return err;
}

}  // namespace

CZuError KrpCertAuthority::issue(const std::string& name, int kind, int validDays,
                                 const std::string& outDir,
                                 const std::vector<std::string>& hosts) const {
  X509* ca = keys_ ? keys_->cert : nullptr;
  EVP_PKEY* caKey = keys_ ? keys_->key : nullptr;
  PkeyPtr key;
  X509Ptr cert;
  CZuError err = newKey(&key);
  if (!err.IsError()) err = signLeaf(name, kind, validDays, hosts, key.get(), ca, caKey, &cert);
  if (!err.IsError()) err = makeDir(outDir);
  if (!err.IsError()) err = writePem(keyPath(outDir, name), nullptr, key.get());
  if (!err.IsError()) err = writePem(certPath(outDir, name), cert.get(), nullptr);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't issue certificate for %s", name.c_str());
  return CZuError();
}

CZuError KrpCertAuthority::renew(const std::string& dir, const std::string& name,
                                 int validDays) const {
  const std::string path = certPath(dir, name);
  KRP_Cert old;
  CZuError err = krpReadCertFile(path, &old);
  if (!err.IsError() && old.clientName != name)
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "%s names client \"%s\"", path.c_str(),
                                old.clientName.c_str());
  if (!err.IsError()) err = checkIssuedBy(path, caFile_);
  X509* raw = nullptr;
  if (!err.IsError()) err = readPem(path, PEM_read_bio_X509, &raw);
  X509Ptr oldCert(raw), cert;
  // The key stays: only the certificate file changes, in one rename, so a
  // process reloading meanwhile never pairs a key with another certificate.
  if (!err.IsError())
    err = signLeaf(name, old.kind, validDays, old.altNames, X509_get0_pubkey(oldCert.get()),
                   keys_ ? keys_->cert : nullptr, keys_ ? keys_->key : nullptr, &cert);
  if (!err.IsError()) err = writePem(path, cert.get(), nullptr);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't renew certificate of %s", name.c_str());
  return CZuError();
}

std::string KrpCertAuthority::crlPath(const std::string& dir) { return dir + "/ca.crl"; }

CZuError KrpCertAuthority::writeFile(const std::string& path, const std::string& data, int mode) {
  return writeWhole(path, data, static_cast<mode_t>(mode));
}

namespace {

// The list kept in `dir`, or a new empty one of the authority `ca`.
CZuError loadOrNewCrl(const std::string& dir, X509* ca, CrlPtr* out) {
  std::string path = KrpCertAuthority::crlPath(dir);
  if (exists(path)) {
    X509_CRL* crl = nullptr;
    CZuError err = readPem(path, PEM_read_bio_X509_CRL, &crl);
    out->reset(crl);
    return err;
  }
  out->reset(X509_CRL_new());
  if (*out && X509_CRL_set_version(out->get(), 1) == 1 &&
      X509_CRL_set_issuer_name(out->get(), X509_get_subject_name(ca)) == 1)
    return CZuError();
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't create revocation list: %s",
                               tlsErrorText().c_str());
}

bool listed(X509_CRL* crl, X509* cert) {
  X509_REVOKED* entry = nullptr;
  return crl != nullptr && X509_CRL_get0_by_cert(crl, &entry, cert) == 1;
}

CZuError addRevoked(X509_CRL* crl, X509* cert) {
  X509_REVOKED* entry = X509_REVOKED_new();
  ASN1_TIME* now = X509_gmtime_adj(nullptr, 0);
  bool ok = entry != nullptr && now != nullptr &&
            X509_REVOKED_set_serialNumber(entry, X509_get_serialNumber(cert)) == 1 &&
            X509_REVOKED_set_revocationDate(entry, now) == 1 && X509_CRL_add0_revoked(crl, entry) == 1;
  ASN1_TIME_free(now);
  if (ok) return CZuError();
  X509_REVOKED_free(entry);
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't add to revocation list: %s",
                               tlsErrorText().c_str());
}

// Dates and signs the list, valid as long as the authority so that it never
// goes stale unattended, and writes it to `dir`.
CZuError signCrl(X509_CRL* crl, EVP_PKEY* key, const std::string& dir) {
  ASN1_TIME* now = X509_gmtime_adj(nullptr, 0);
  ASN1_TIME* next = X509_gmtime_adj(nullptr, 86400L * KrpCertAuthority::kCaValidDays);
  bool ok = now && next && X509_CRL_set1_lastUpdate(crl, now) == 1 &&
            X509_CRL_set1_nextUpdate(crl, next) == 1 && X509_CRL_sort(crl) == 1 &&
            X509_CRL_sign(crl, key, EVP_sha256()) > 0;
  ASN1_TIME_free(now);
  ASN1_TIME_free(next);
  BioPtr mem(ok ? BIO_new(BIO_s_mem()) : nullptr);
  ok = mem && PEM_write_bio_X509_CRL(mem.get(), crl) == 1;
  if (!ok)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't sign revocation list: %s",
                                 tlsErrorText().c_str());
  return writeWhole(KrpCertAuthority::crlPath(dir), bioText(mem.get()), 0644);
}

}  // namespace

CZuError KrpCertAuthority::startRevocationList(const std::string& dir) const {
  if (!keys_) return FXErrorUtil::ErrorInt(FXLOC, 1, "No certificate authority");
  if (exists(crlPath(dir))) return CZuError();
  CrlPtr crl;
  CZuError err = loadOrNewCrl(dir, keys_->cert, &crl);
  if (!err.IsError()) err = signCrl(crl.get(), keys_->key, dir);
  return err;
}

CZuError KrpCertAuthority::revoke(const std::string& dir, const std::string& name) const {
  CZuError err;
  if (!keys_) err = FXErrorUtil::ErrorInt(FXLOC, 1, "No certificate authority");
  if (!err.IsError() && (!validName(name) || name == "ca"))
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid client name \"%s\"", name.c_str());
  X509* raw = nullptr;
  if (!err.IsError()) err = readPem(certPath(dir, name), PEM_read_bio_X509, &raw);
  X509Ptr cert(raw);
  CrlPtr crl;
  if (!err.IsError()) err = loadOrNewCrl(dir, keys_->cert, &crl);
  if (!err.IsError() && !listed(crl.get(), cert.get())) err = addRevoked(crl.get(), cert.get());
  if (!err.IsError()) err = signCrl(crl.get(), keys_->key, dir);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't revoke certificate of %s", name.c_str());
  return CZuError();
}

CZuError KrpCertAuthority::list(const std::string& dir, std::vector<KrpCertEntry>* out) {
  out->clear();
  CrlPtr crl;
  if (exists(crlPath(dir))) {
    X509_CRL* raw = nullptr;
    CZuError err = readPem(crlPath(dir), PEM_read_bio_X509_CRL, &raw);
    crl.reset(raw);
    if (err.IsError()) return err.Push(FXLOC, "Couldn't list certificates in %s", dir.c_str());
  }
  std::error_code ec;
  for (const auto& file : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = file.path().stem().string();
    if (file.path().extension() != ".crt" || name == "ca") continue;
    X509* raw = nullptr;
    CZuError err = readPem(file.path().string(), PEM_read_bio_X509, &raw);
    X509Ptr cert(raw);
    if (err.IsError()) return err.Push(FXLOC, "Couldn't list certificates in %s", dir.c_str());
    KrpCertEntry entry;
    entry.name = name;
    struct tm tm {};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(cert.get()), &tm) == 1) entry.notAfter = timegm(&tm);
    entry.revoked = listed(crl.get(), cert.get());
    out->push_back(entry);
  }
  if (ec)
    return FXErrorUtil::ErrorErrNo(FXLOC, ec.value(), "Couldn't list certificates in %s",
                                   dir.c_str());
  std::sort(out->begin(), out->end(),
            [](const KrpCertEntry& a, const KrpCertEntry& b) { return a.name < b.name; });
  return CZuError();
}

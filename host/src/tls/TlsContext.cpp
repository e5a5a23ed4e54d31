#include "host/tls/TlsContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>

#include "host/config/DWPlatformInfo.h"

namespace {
std::string fileStamp(const std::string& path);
}  // namespace

std::string tlsErrorText() {
  std::string out;
  while (unsigned long code = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    if (!out.empty()) out += "; ";
    out += buf;
  }
  return out;
}

namespace {

// TLS 1.2: ECDHE with AES-GCM or ChaCha20-Poly1305, strongest first; RSA
// signatures stay allowed for listeners given a certificate of another
// authority.  TLS 1.3 suites are all AEAD.
const char kTls12Suites[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
const char kTls13Suites[] =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

}  // namespace

bool tlsApplyPolicy(ssl_ctx_st* ctx) {
  SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION |
                               SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_clear_options(ctx, SSL_OP_ALLOW_CLIENT_RENEGOTIATION);
  return SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
         SSL_CTX_set_cipher_list(ctx, kTls12Suites) == 1 &&
         SSL_CTX_set_ciphersuites(ctx, kTls13Suites) == 1 &&
         SSL_CTX_set1_groups_list(ctx, "X25519:P-256:P-384") == 1;
}

std::string tlsPolicyRefusal() {
  unsigned long code = ERR_peek_error();
  if (ERR_GET_LIB(code) != ERR_LIB_SSL) return std::string();
  switch (ERR_GET_REASON(code)) {
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_WRONG_CIPHER_RETURNED:
      return "the peer offers no TLS 1.2 AEAD suite with ECDHE key exchange, or TLS 1.3 "
             "(CBC suites and RSA key exchange are refused)";
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_VERSION_TOO_LOW:
      return "the peer offers neither TLS 1.2 nor TLS 1.3 (older protocols are refused)";
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
      return "the peer refused the handshake; it may offer no TLS 1.2 AEAD suite with ECDHE "
             "key exchange, or TLS 1.3";
    default:
      return std::string();
  }
}

TlsContext::~TlsContext() {
  X509_STORE_free(crlStore_);
  SSL_CTX_free(ctx_);
}

CZuError TlsContext::create(const TlsConfig& config, std::shared_ptr<TlsContext>* out) {
  if (config.caFile.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't set up TLS: no certificate authority file");
  if (!config.certFile.empty() && config.keyFile.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't set up TLS: certificate %s has no key file",
                                 config.certFile.c_str());
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_method());
  if (ctx == nullptr)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't create TLS context: %s",
                                 tlsErrorText().c_str());
  std::shared_ptr<TlsContext> tls(new TlsContext(config, ctx));
  if (!tlsApplyPolicy(ctx))
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't apply the TLS policy: %s",
                                 tlsErrorText().c_str());
  SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Frames carry their length, so a bare TCP close is reported as a close.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Connections are long-lived and pooled; sessions are never resumed.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx, 0);
  // Peers are trusted only through this authority, never the system's store.
  if (SSL_CTX_load_verify_locations(ctx, config.caFile.c_str(), nullptr) != 1)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't load certificate authority %s: %s",
                                 config.caFile.c_str(), tlsErrorText().c_str());
  if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(config.caFile.c_str()))
    SSL_CTX_set_client_CA_list(ctx, names);
  if (!config.certFile.empty()) {
    if (SSL_CTX_use_certificate_chain_file(ctx, config.certFile.c_str()) != 1)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't load certificate %s: %s",
                                   config.certFile.c_str(), tlsErrorText().c_str());
    if (SSL_CTX_use_PrivateKey_file(ctx, config.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't load private key %s: %s",
                                   config.keyFile.c_str(), tlsErrorText().c_str());
  }
  if (!config.crlFile.empty()) {
    CZuError err = tls->applyRevocation(nullptr);
    if (err.IsError()) return err;
  }
  *out = std::move(tls);
  return CZuError();
}

namespace {

using Clock = std::chrono::steady_clock;

// How often the files are looked at, and the moment before which every look
// counts as stale (recheckFiles).
const Clock::duration kLookEvery = std::chrono::seconds(1);
std::atomic<Clock::rep> gStaleBefore{0};

// Whether a look at the files at `lookedAt` is too old to rely on now.
bool lookIsStale(Clock::time_point lookedAt, Clock::time_point now) {
  return now - lookedAt >= kLookEvery || lookedAt.time_since_epoch().count() < gStaleBefore.load();
}

// What identifies the registry's context: the paths and the state of the
// files, so that a renewed certificate is picked up.
std::string fileStamp(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return path + "|-";
  return path + "|" + std::to_string(st.st_ino) + "|" + std::to_string(st.st_size) + "|" +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

}  // namespace

CZuError TlsContext::loadRevocation(const std::string& stamp) {
  X509_STORE* store = X509_STORE_new();
  bool ok = store != nullptr &&
            X509_STORE_load_file(store, config_.caFile.c_str()) == 1;
  BIO* file = ok ? BIO_new_file(config_.crlFile.c_str(), "r") : nullptr;
  int crls = 0;
  while (file != nullptr) {
    X509_CRL* crl = PEM_read_bio_X509_CRL(file, nullptr, nullptr, nullptr);
    if (crl == nullptr) break;
    ok = ok && X509_STORE_add_crl(store, crl) == 1;
    X509_CRL_free(crl);
    ++crls;
  }
  BIO_free(file);
  ERR_clear_error();  // the end of the file reads as an error
  if (!ok || crls == 0) {
    X509_STORE_free(store);
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't read revocation list %s%s",
                                 config_.crlFile.c_str(), ok ? ": no list in it" : "");
  }
  // Only leaf certificates are ever revoked; the authority is the root.
  X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
  X509_STORE_free(crlStore_);
  crlStore_ = store;
  crlStamp_ = stamp;
  return CZuError();
}

CZuError TlsContext::applyRevocation(ssl_st* ssl) {
  if (config_.crlFile.empty()) return CZuError();
  std::lock_guard<std::mutex> lock(crlMu_);
  const Clock::time_point now = Clock::now();
  if (crlStore_ == nullptr || lookIsStale(crlLookedAt_, now)) {
    std::string stamp = fileStamp(config_.crlFile);
    if (crlStore_ == nullptr || stamp != crlStamp_) {
      CZuError err = loadRevocation(stamp);
      if (err.IsError()) return err;
    }
    crlLookedAt_ = now;
  }
  if (ssl != nullptr && SSL_set1_verify_cert_store(ssl, crlStore_) != 1)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't apply revocation list: %s",
                                 tlsErrorText().c_str());
  return CZuError();
}

CZuError TlsContext::reloadRevocation() {
  if (config_.crlFile.empty()) return CZuError();
  std::lock_guard<std::mutex> lock(crlMu_);
  return loadRevocation(fileStamp(config_.crlFile));
}

void TlsContext::recheckFiles() { gStaleBefore = Clock::now().time_since_epoch().count() + 1; }

CZuError TlsContext::fromRegistry(std::shared_ptr<TlsContext>* out) {
  static std::mutex mu;
  static std::shared_ptr<TlsContext> cached;
  static std::string cachedStamp;
  static Clock::time_point lookedAt;
  static uint64_t generation = 0;
  // Every connection comes here: within a second of the last look, and with
  // the registry unchanged, the context in force is the answer.
  const uint64_t registry = DWPlatformInfo::generation();
  const Clock::time_point now = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mu);
    if (cached && registry == generation && !lookIsStale(lookedAt, now)) {
      *out = cached;
      return CZuError();
    }
  }
  DWPlatformInfo info;
  TlsConfig config;
  info.getString("Security", "sCAFile", &config.caFile);
  info.getString("Security", "sCertFile", &config.certFile);
  info.getString("Security", "sKeyFile", &config.keyFile);
  info.getString("Security", "sCRLFile", &config.crlFile);
  // The list's content is followed by the context itself (applyRevocation).
  std::string stamp = fileStamp(config.caFile) + "\n" + fileStamp(config.certFile) + "\n" +
                      fileStamp(config.keyFile) + "\n" + config.crlFile;
  std::lock_guard<std::mutex> lock(mu);
  if (cached && stamp == cachedStamp) {
    lookedAt = now;
    generation = registry;
    *out = cached;
    return CZuError();
  }
  std::shared_ptr<TlsContext> fresh;
  CZuError err = create(config, &fresh);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't set up TLS from registry section Security");
  cached = fresh;
  cachedStamp = stamp;
  lookedAt = now;
  generation = registry;
  *out = std::move(fresh);
  return CZuError();
}

// TLS settings shared by every authenticated connection of a process: the
// protocol policy (tlsApplyPolicy), the one certificate authority that peers
// must be signed by, and this process's own certificate and key.
//
// Registry, section "Security":
//   sCAFile    text  (none)  PEM file of the certificate authority
//   sCertFile  text  (none)  PEM file of this process's certificate (+ chain)
//   sKeyFile   text  (none)  PEM file of its private key
//   sCRLFile   text  (none)  PEM revocation list of the authority; when set,
//                            every peer certificate is checked against it and
//                            the file is read again whenever it changes
// The files are looked at at most once a second, so a replaced file is in
// force within a second (at once after recheckFiles, as a reload does).
#ifndef HOST_TLSCONTEXT_H
#define HOST_TLSCONTEXT_H

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "host/base/CZuError.h"

struct ssl_ctx_st;
struct ssl_st;
struct x509_store_st;

struct TlsConfig {
  std::string caFile;    // required
  std::string certFile;  // optional: without it this side presents no certificate
  std::string keyFile;   // required with certFile
  std::string crlFile;   // optional: revoked certificates
};

class TlsContext {
 public:
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  static CZuError create(const TlsConfig& config, std::shared_ptr<TlsContext>* out);

  // The context built from the registry's "Security" section.  Built on first
  // use and rebuilt when a path changes or a file is replaced (renewal).
  static CZuError fromRegistry(std::shared_ptr<TlsContext>* out);
  // The next fromRegistry and applyRevocation look at the files, however
  // recently they were looked at.
  static void recheckFiles();

  const TlsConfig& config() const { return config_; }
  ssl_ctx_st* native() const { return ctx_; }

  // Gives `ssl` the authority and the current revocation list, reading the
  // list again first when its file changed.  Fails (refusing the connection)
  // when the list can't be read: a revoked peer must not slip through.
  CZuError applyRevocation(ssl_st* ssl);
  // Reads the revocation list again now, whether or not its file looks
  // changed (a reload asked for by the operator).  On failure the list read
  // before stays in force.
  CZuError reloadRevocation();

 private:
  TlsContext(const TlsConfig& config, ssl_ctx_st* ctx) : config_(config), ctx_(ctx) {}
  CZuError loadRevocation(const std::string& stamp);

  TlsConfig config_;
  ssl_ctx_st* ctx_;
  std::mutex crlMu_;
  x509_store_st* crlStore_ = nullptr;  // authority + list; null without sCRLFile
  std::string crlStamp_;
  std::chrono::steady_clock::time_point crlLookedAt_;
};

// The protocol policy of every TLS context the project makes (request link,
// control channel, HTTPS listener): TLS 1.3, or TLS 1.2 with ECDHE key
// exchange and AEAD suites only (no CBC, no RSA key exchange); the server's
// order of suites wins; no compression; no renegotiation.  False when OpenSSL
// refuses a setting.
bool tlsApplyPolicy(ssl_ctx_st* ctx);

// Why a handshake failed in terms of that policy, when the error at the head
// of OpenSSL's queue says the peer offers only what it refuses (an old
// protocol, only CBC suites); empty otherwise.  Does not clear the queue.
std::string tlsPolicyRefusal();

// The text of OpenSSL's pending errors, oldest first, joined by "; " (empty
// when there are none).  Clears the thread's error queue.
std::string tlsErrorText();

#endif  // HOST_TLSCONTEXT_H

#include "host/tls/KrpSocket.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "host/log/EvDebug.h"
#include "host/tls/TlsContext.h"

struct KrpSocket {
  CZuSocket socket;
  std::shared_ptr<TlsContext> tls;
  SSL* ssl = nullptr;
  std::string expectedName;
  std::string dialledHost;
  int cancelFd = -1;
  bool authenticated = false;
  bool broken = false;  // a fatal error happened; no close notice may be sent
};

namespace {

using SteadyClock = std::chrono::steady_clock;

// A socket BIO that never raises SIGPIPE: writes go through send(MSG_NOSIGNAL).
struct BioState {
  int fd;
  bool eof;
};

BioState* bioState(BIO* b) { return static_cast<BioState*>(BIO_get_data(b)); }

bool wouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }

int bioWrite(BIO* b, const char* buf, int len) {
  BIO_clear_retry_flags(b);
  ssize_t n = ::send(bioState(b)->fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
  if (n < 0 && wouldBlock(errno)) BIO_set_retry_write(b);
  return static_cast<int>(n);
}

int bioRead(BIO* b, char* buf, int len) {
  BIO_clear_retry_flags(b);
  ssize_t n = ::recv(bioState(b)->fd, buf, static_cast<size_t>(len), 0);
  if (n == 0) bioState(b)->eof = true;
  if (n < 0 && wouldBlock(errno)) BIO_set_retry_read(b);
  return static_cast<int>(n);
}

long bioCtrl(BIO* b, int cmd, long, void*) {
  if (cmd == BIO_CTRL_FLUSH) return 1;
  if (cmd == BIO_CTRL_EOF) return bioState(b)->eof ? 1 : 0;
  return 0;
}

int bioDestroy(BIO* b) {
  delete bioState(b);
  BIO_set_data(b, nullptr);
  return 1;
}

BIO_METHOD* bioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "krp socket");
    BIO_meth_set_write(m, bioWrite);
    BIO_meth_set_read(m, bioRead);
    BIO_meth_set_ctrl(m, bioCtrl);
    BIO_meth_set_destroy(m, bioDestroy);
    return m;
  }();
  return method;
}

BIO* newSocketBio(int fd) {
  BIO* b = BIO_new(bioMethod());
  if (b == nullptr) return nullptr;
  BIO_set_data(b, new BioState{fd, false});
  BIO_set_init(b, 1);
  return b;
}

int remainingMs(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

int secsToMs(int secs) { return secs > INT_MAX / 1000 ? INT_MAX : secs * 1000; }

CZuError closedError(const FXCodeLocation& loc, const char* what) {
  return FXErrorUtil::ErrorInt(loc, ECONNRESET, "Couldn't %s: connection closed by peer", what);
}

// Runs one TLS call until it completes, waiting on the socket as OpenSSL asks,
// for at most `timeoutMs`.  Returns the call's positive result, or 0 with
// `err` set.
template <typename Op>
int runTls(KrpSocket* s, int timeoutMs, const char* what, Op op, CZuError* err) {
  auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    ERR_clear_error();
    errno = 0;
    int r = op();
    int sysErr = errno;
    if (r > 0) return r;
    int e = SSL_get_error(s->ssl, r);
    short events = 0;
    if (e == SSL_ERROR_WANT_READ) {
      events = POLLIN;
    } else if (e == SSL_ERROR_WANT_WRITE) {
      events = POLLOUT;
    } else if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && sysErr == 0)) {
      *err = closedError(FXLOC, what);
      s->broken = true;
      return 0;
    } else if (e == SSL_ERROR_SYSCALL) {
      *err = FXErrorUtil::ErrorErrNo(FXLOC, sysErr, "Couldn't %s", what);
      s->broken = true;
      return 0;
    } else {
      // A peer offering only what the policy refuses is told apart from
      // other failures: it needs upgrading, not new certificates.
      std::string why = tlsPolicyRefusal();
      std::string text = tlsErrorText();
      if (!why.empty()) text = why + " (" + text + ")";
      long verify = SSL_get_verify_result(s->ssl);
      if (!s->authenticated && verify != X509_V_OK)
        text += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
      *err = FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't %s: %s", what, text.c_str());
      s->broken = true;
      return 0;
    }
    DwWait w;
    CZuError werr =
        dwWaitFd(s->socket.GetDescriptor(), events, remainingMs(deadline), s->cancelFd, &w);
    if (werr.IsError()) {
      *err = werr.Push(FXLOC, "Couldn't %s", what);
      return 0;
    }
    if (w == DwWait::kTimeout) {
      *err = FXErrorUtil::ErrorInt(FXLOC, ETIMEDOUT, "Couldn't %s: timed out after %d ms", what,
                                   timeoutMs);
      return 0;
    }
    if (w == DwWait::kCancelled) {
      *err = FXErrorUtil::ErrorInt(FXLOC, ECANCELED, "Couldn't %s: cancelled", what);
      return 0;
    }
  }
}

std::string nameEntry(X509_NAME* name, int nid) {
  int idx = X509_NAME_get_index_by_NID(name, nid, -1);
  if (idx < 0) return std::string();
  ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, idx));
  unsigned char* utf8 = nullptr;
  int len = ASN1_STRING_to_UTF8(&utf8, data);
  if (len < 0) return std::string();
  std::string out(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
  OPENSSL_free(utf8);
  return out;
}

int kindOf(const std::string& unit) {
  static const char kPrefix[] = "kind=";
  if (unit.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return KRP_CERT_KIND_NONE;
  const char* digits = unit.c_str() + sizeof kPrefix - 1;
  char* end = nullptr;
  long kind = std::strtol(digits, &end, 10);
  if (end == digits || *end != '\0' || kind < 0 || kind > INT_MAX) return KRP_CERT_KIND_NONE;
  return static_cast<int>(kind);
}

time_t asnTime(const ASN1_TIME* t) {
  struct tm tm {};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
  return timegm(&tm);
}

std::string fingerprintOf(X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (X509_digest(cert, EVP_sha256(), md, &len) != 1) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out;
}

std::string pemOf(X509* cert) {
  BIO* mem = BIO_new(BIO_s_mem());
  std::string out;
  if (mem != nullptr && PEM_write_bio_X509(mem, cert) == 1) {
    char* data = nullptr;
    long len = BIO_get_mem_data(mem, &data);
    out.assign(data, static_cast<size_t>(len));
  }
  BIO_free(mem);
  return out;
}

std::string asnText(const ASN1_STRING* data) {
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                     static_cast<size_t>(ASN1_STRING_length(data)));
}

std::vector<std::string> altNamesOf(X509* cert) {
  std::vector<std::string> out;
  auto* names = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
    if (name->type == GEN_DNS) {
      out.push_back(asnText(name->d.dNSName));
    } else if (name->type == GEN_IPADD) {
      std::string bytes = asnText(name->d.iPAddress);
      char text[INET6_ADDRSTRLEN] = "";
      int family = bytes.size() == 4 ? AF_INET : AF_INET6;
      if ((bytes.size() == 4 || bytes.size() == 16) &&
          inet_ntop(family, bytes.data(), text, sizeof text) != nullptr)
        out.push_back(text);
    }
  }
  GENERAL_NAMES_free(names);
  return out;
}

// An address is matched against the address entries, a name against the DNS
// ones; the subject's common name is a client name, never a host name.
bool hostListed(X509* cert, const std::string& host) {
  if (X509_check_ip_asc(cert, host.c_str(), 0) == 1) return true;
  const unsigned flags = X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS;
  bool listed = X509_check_host(cert, host.c_str(), host.size(), flags, nullptr) == 1;
  ERR_clear_error();
  return listed;
}

// Logged at most once a minute per server certificate and dialled host, so
// that a pool reconnecting does not flood the log.
void warnNoAltNames(const KRP_Cert& peer, const std::string& host) {
  static std::mutex mu;
  static std::map<std::string, std::chrono::steady_clock::time_point> logged;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mu);
    if (logged.size() >= 4096) logged.clear();
    auto it = logged.find(peer.fingerprint + "|" + host);
    if (it != logged.end() && now - it->second < std::chrono::minutes(1)) return;
    logged[peer.fingerprint + "|" + host] = now;
  }
  EvDebug().handleMsgEventDebug(1, "krpAuthSocket", 0, nullptr,
                                "Warning: the certificate of %s (dialled as %s) has no "
                                "subjectAltName; only its client name identifies the server "
                                "(issue it anew: blr certs issue DIR NAME --host HOST)",
                                peer.clientName.c_str(), host.c_str());
}

CZuError checkDialledHost(X509* cert, const KRP_Cert& peer, const std::string& host) {
  if (peer.altNames.empty()) {
    warnNoAltNames(peer, host);
    return CZuError();
  }
  if (hostListed(cert, host)) return CZuError();
  std::string names;
  for (const std::string& n : peer.altNames) names += (names.empty() ? "" : ", ") + n;
  return FXErrorUtil::ErrorInt(FXLOC, 1,
                               "Couldn't authenticate to peer: dialled %s, but the certificate of "
                               "%s holds only %s",
                               host.c_str(), peer.clientName.c_str(), names.c_str());
}

std::mutex metMu;
std::vector<KRP_Cert> met;  // krpServerCertsMet

void rememberServerCert(const KRP_Cert& cert) {
  std::lock_guard<std::mutex> lock(metMu);
  for (auto it = met.begin(); it != met.end(); ++it)
    if (it->fingerprint == cert.fingerprint) {
      met.erase(it);
      break;
    }
  if (met.size() >= 64) met.pop_back();
  met.insert(met.begin(), cert);
}

std::shared_ptr<KRP_Cert> describe(X509* cert, const std::string& expectedName) {
  auto out = std::make_shared<KRP_Cert>();
  X509_NAME* subject = X509_get_subject_name(cert);
  out->kind = kindOf(nameEntry(subject, NID_organizationalUnitName));
  out->clientName = nameEntry(subject, NID_commonName);
  out->issuerName = nameEntry(X509_get_issuer_name(cert), NID_commonName);
  out->expectedName = expectedName;
  out->fingerprint = fingerprintOf(cert);
  out->pem = pemOf(cert);
  out->notBefore = asnTime(X509_get0_notBefore(cert));
  out->notAfter = asnTime(X509_get0_notAfter(cert));
  out->altNames = altNamesOf(cert);
  return out;
}

CZuError checkUsable(KrpSocket* s, const FXCodeLocation& loc, const char* what) {
  if (s == nullptr) return FXErrorUtil::ErrorInt(loc, 1, "Couldn't %s: no socket", what);
  if (!s->authenticated)
    return FXErrorUtil::ErrorInt(loc, 1, "Couldn't %s: socket is not authenticated", what);
  return CZuError();
}

// Repeats `step(done, left, &moved)`, one SSL_read_ex or SSL_write_ex, until
// `len` bytes have moved or a call fails; returns the bytes moved.
template <typename Step>
int moveAll(KrpSocket* s, int len, int timeoutMs, const char* what, CZuError* err, Step step) {
  CZuError e = checkUsable(s, FXLOC, what);
  if (!e.IsError() && len < 0)
    e = FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't %s: length %d", what, len);
  if (e.IsError()) *err = e;
  int done = 0;
  while (!e.IsError() && done < len) {
    int n = runTls(
        s, timeoutMs, what,
        [&] {
          size_t moved = 0;
          int r = step(done, static_cast<size_t>(len - done), &moved);
          return r == 1 ? static_cast<int>(moved) : r;
        },
        err);
    if (n <= 0) break;
    done += n;
  }
  return done;
}

}  // namespace

CZuError krpReadCertFile(const std::string& path, KRP_Cert* out) {
  BIO* file = BIO_new_file(path.c_str(), "r");
  X509* cert = file ? PEM_read_bio_X509(file, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(file);
  if (cert == nullptr)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't read a certificate from %s: %s", path.c_str(),
                                 tlsErrorText().c_str());
  *out = *describe(cert, std::string());
  X509_free(cert);
  return CZuError();
}

CZuError krpInitSocket(CZuSocket socket, int flags, KrpSocket** out) {
  std::shared_ptr<TlsContext> tls;
  CZuError err = TlsContext::fromRegistry(&tls);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't create authenticated socket");
  return krpInitSocketWithContext(socket, flags, std::move(tls), out);
}

CZuError krpInitSocketWithContext(CZuSocket socket, int flags, std::shared_ptr<TlsContext> tls,
                                  KrpSocket** out) {
  if (out == nullptr || !tls)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't create authenticated socket: bad arguments");
  if (flags != KRP_INIT_DEFAULT)
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "Couldn't create authenticated socket: unknown flags 0x%x",
                                 static_cast<unsigned>(flags));
  if (!socket.IsValid())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't create authenticated socket: invalid socket");
  CZuError err = socket.SetToNonBlocking();
  if (err.IsError()) return err.Push(FXLOC, "Couldn't create authenticated socket");
  ERR_clear_error();
  SSL* ssl = SSL_new(tls->native());
  if (ssl != nullptr) {
    err = tls->applyRevocation(ssl);
    if (err.IsError()) {
      SSL_free(ssl);
      return err.Push(FXLOC, "Couldn't create authenticated socket");
    }
  }
  BIO* bio = ssl ? newSocketBio(socket.GetDescriptor()) : nullptr;
  if (bio == nullptr) {
    SSL_free(ssl);
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't create authenticated socket: %s",
                                 tlsErrorText().c_str());
  }
  SSL_set_bio(ssl, bio, bio);
  // A record's header and body (and whatever follows) in one read: a frame
  // costs one receive call instead of two.  Waits must then look at what the
  // layer holds (krpWaitReadable) before polling the descriptor.
  SSL_set_read_ahead(ssl, 1);
  KrpSocket* s = new KrpSocket;
  s->socket = socket;
  s->tls = std::move(tls);
  s->ssl = ssl;
  *out = s;
  return CZuError();
}

CZuError krpSetRemoteClientName(KrpSocket* s, const std::string& clientName) {
  if (s == nullptr)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't set remote client name: no socket");
  s->expectedName = clientName;
  return CZuError();
}

std::vector<KRP_Cert> krpServerCertsMet() {
  std::lock_guard<std::mutex> lock(metMu);
  return met;
}

CZuError krpSetDialledHost(KrpSocket* s, const std::string& host) {
  if (s == nullptr)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't set dialled host: no socket");
  s->dialledHost = host;
  return CZuError();
}

std::string krpCipher(KrpSocket* s) {
  if (s == nullptr || !s->authenticated) return std::string();
  return std::string(SSL_get_version(s->ssl)) + " " + SSL_get_cipher_name(s->ssl);
}

CZuError krpAuthSocket(KrpSocket* s, int role, std::shared_ptr<KRP_Cert>* peer, int timeoutSecs) {
  return krpAuthSocketMs(s, role, peer, secsToMs(timeoutSecs));
}

CZuError krpAuthSocketMs(KrpSocket* s, int role, std::shared_ptr<KRP_Cert>* peer, int timeoutMs) {
  if (s == nullptr) return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't authenticate: no socket");
  if (role != KRP_ROLE_CLIENT && role != KRP_ROLE_SERVER)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't authenticate: unknown role %d", role);
  if (s->authenticated || s->broken)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't authenticate: handshake already run");
  if (role == KRP_ROLE_CLIENT)
    SSL_set_connect_state(s->ssl);
  else
    SSL_set_accept_state(s->ssl);
  SSL_set_verify(s->ssl, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  CZuError err;
  const char* what = role == KRP_ROLE_CLIENT ? "authenticate to peer" : "authenticate peer";
  if (runTls(
          s, timeoutMs, what, [s] { return SSL_do_handshake(s->ssl); }, &err) <= 0) {
    s->broken = true;
    return err;
  }
  X509* cert = SSL_get1_peer_certificate(s->ssl);
  if (cert == nullptr || SSL_get_verify_result(s->ssl) != X509_V_OK) {
    X509_free(cert);
    s->broken = true;
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't %s: peer presented no valid certificate",
                                 what);
  }
  // A server that asks for nothing is spared describing its peer.
  std::shared_ptr<KRP_Cert> described;
  if (peer != nullptr || role == KRP_ROLE_CLIENT) described = describe(cert, s->expectedName);
  if (role == KRP_ROLE_CLIENT && !s->dialledHost.empty())
    err = checkDialledHost(cert, *described, s->dialledHost);
  X509_free(cert);
  if (err.IsError()) {
    s->broken = true;
    return err;
  }
  s->authenticated = true;
  if (role == KRP_ROLE_CLIENT) rememberServerCert(*described);
  if (peer != nullptr) *peer = std::move(described);
  return CZuError();
}

int krpSend(KrpSocket* s, const void* data, int len, int timeoutSecs, CZuError* err) {
  return krpSendMs(s, data, len, secsToMs(timeoutSecs), err);
}

int krpRecv(KrpSocket* s, void* data, int len, int timeoutSecs, CZuError* err) {
  return krpRecvMs(s, data, len, secsToMs(timeoutSecs), err);
}

int krpSendMs(KrpSocket* s, const void* data, int len, int timeoutMs, CZuError* err) {
  const char* p = static_cast<const char*>(data);
  return moveAll(s, len, timeoutMs, "send", err, [&](int done, size_t left, size_t* moved) {
    return SSL_write_ex(s->ssl, p + done, left, moved);
  });
}

int krpRecvMs(KrpSocket* s, void* data, int len, int timeoutMs, CZuError* err) {
  char* p = static_cast<char*>(data);
  return moveAll(s, len, timeoutMs, "receive", err, [&](int done, size_t left, size_t* moved) {
    return SSL_read_ex(s->ssl, p + done, left, moved);
  });
}

CZuError krpWaitReadable(KrpSocket* s, int timeoutMs, DwWait* out) {
  CZuError err = checkUsable(s, FXLOC, "wait for data");
  if (err.IsError()) return err;
  if (krpHasBufferedData(s)) {
    *out = DwWait::kReady;
    return CZuError();
  }
  return dwWaitFd(s->socket.GetDescriptor(), POLLIN, timeoutMs, s->cancelFd, out);
}

bool krpHasBufferedData(KrpSocket* s) {
  return s != nullptr && s->ssl != nullptr && (SSL_pending(s->ssl) > 0 || SSL_has_pending(s->ssl));
}

bool krpIsIdleAlive(KrpSocket* s) {
  if (s == nullptr || !s->authenticated || s->broken) return false;
  // Post-handshake records (session tickets) make the socket readable, or sit
  // read ahead in the layer, without carrying data; consume them and look
  // again.
  for (int round = 0; round < 8; ++round) {
    if (SSL_pending(s->ssl) > 0) return false;
    if (!SSL_has_pending(s->ssl)) {
      DwWait w;
      if (dwWaitFd(s->socket.GetDescriptor(), POLLIN, 0, -1, &w).IsError()) return false;
      if (w != DwWait::kReady) return true;
    }
    char byte;
    size_t moved = 0;
    ERR_clear_error();
    if (SSL_peek_ex(s->ssl, &byte, 1, &moved) == 1) return false;  // unexpected data
    if (SSL_get_error(s->ssl, 0) != SSL_ERROR_WANT_READ) {
      ERR_clear_error();
      s->broken = true;
      return false;
    }
  }
  return false;
}

void krpSetCancelFd(KrpSocket* s, int fd) {
  if (s != nullptr) s->cancelFd = fd;
}

void krpDestroySocket(KrpSocket* s) {
  if (s == nullptr) return;
  if (s->authenticated && !s->broken) SSL_shutdown(s->ssl);  // best effort, never waits
  SSL_free(s->ssl);
  ERR_clear_error();
  delete s;
}

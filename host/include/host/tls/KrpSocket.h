// The authenticated socket layer: TLS over a connected TCP socket, both sides
// presenting certificates issued by the one authority of TlsContext.
//
// A peer without a certificate, or with one that authority did not sign, is
// refused during the handshake.  A peer whose certificate names another
// client than the one expected is not refused: KRP_Cert reports both names and
// the caller decides.
//
// A client that names the host it dialled (krpSetDialledHost) refuses a
// server whose certificate's subjectAltName lists neither that DNS name nor
// that address, naming both.  A certificate without subjectAltName (made
// before certificates carried one) passes with a warning in the log; the
// caller's check of the client name is then all that identifies the server.
//
// Certificate kinds: the kind is carried in the subject's organizational unit
// as the text "kind=<n>" (see KrpCertAuthority).  A certificate without that
// unit, or with a value that is not a number, is of kind KRP_CERT_KIND_NONE.
//
// Time-outs: a handshake must finish within its time-out; krpSend and krpRecv
// fail when one TLS record can't be moved within theirs.  A time-out of 0 or
// less fails as soon as a call would have to wait.  Failures carry these
// codes: ETIMEDOUT (time-out), ECONNRESET (the peer closed the connection),
// ECANCELED (the cancel descriptor fired), an errno from the socket, or 1 (TLS
// protocol or certificate failure, with OpenSSL's text).
//
// One KrpSocket is used by one thread at a time.
#ifndef HOST_KRPSOCKET_H
#define HOST_KRPSOCKET_H

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "host/base/CZuError.h"
#include "host/net/CZuSocket.h"
#include "host/net/DwTcp.h"

class TlsContext;
struct KrpSocket;

// Role argument of krpAuthSocket.
enum { KRP_ROLE_CLIENT = 0, KRP_ROLE_SERVER = 1 };

// Flags of krpInitSocket; none is defined yet.
enum { KRP_INIT_DEFAULT = 0 };

enum {
  KRP_CERT_KIND_NONE = 0,     // no kind marker in the certificate
  KRP_CERT_KIND_LOCAL = 1,    // in-process caller; no certificate was exchanged
  KRP_CERT_KIND_PRODUCT = 2,  // built-in product certificate, shared by installations
  KRP_CERT_KIND_CLIENT = 3,   // per-client certificate naming one client
};

// The certificate a peer authenticated with.
struct KRP_Cert {
  int kind = KRP_CERT_KIND_NONE;
  std::string clientName;    // subject common name: the name the peer authenticated as
  std::string issuerName;    // issuer common name
  std::string expectedName;  // from krpSetRemoteClientName; empty when none was set
  std::string fingerprint;   // SHA-256 of the DER form, lower-case hex
  std::string pem;
  time_t notBefore = 0;
  time_t notAfter = 0;
  std::vector<std::string> altNames;  // subjectAltName: DNS names and addresses, as text

  bool nameMatches() const { return expectedName.empty() || expectedName == clientName; }
};

// Describes the first certificate of the PEM file `path`, as krpAuthSocket
// describes a peer's (no expected name).  Fails when the file can't be read
// or holds no certificate.
CZuError krpReadCertFile(const std::string& path, KRP_Cert* out);

// Creates the layer over a copy of `socket` with the TLS context of the
// registry (TlsContext::fromRegistry); `flags` must be KRP_INIT_DEFAULT.  The
// descriptor is switched to non-blocking.  The layer's copy keeps the socket
// open until krpDestroySocket (or until some copy's Close()).
CZuError krpInitSocket(CZuSocket socket, int flags, KrpSocket** out);
CZuError krpInitSocketWithContext(CZuSocket socket, int flags, std::shared_ptr<TlsContext> tls,
                                  KrpSocket** out);

// The client name the peer is expected to authenticate as (reported in KRP_Cert).
CZuError krpSetRemoteClientName(KrpSocket* s, const std::string& clientName);

// The DNS name or address the client dialled, checked against the server's
// subjectAltName by krpAuthSocket; empty (the default) checks nothing.
CZuError krpSetDialledHost(KrpSocket* s, const std::string& host);

// The protocol and suite the handshake agreed on ("TLSv1.3
// TLS_AES_128_GCM_SHA256"); empty before it.
std::string krpCipher(KrpSocket* s);

// The server certificates this process's clients authenticated, the latest
// first, each once (at most 64): what a check of the set-up met.
std::vector<KRP_Cert> krpServerCertsMet();

// Runs the handshake as KRP_ROLE_CLIENT (the side that connected) or
// KRP_ROLE_SERVER, verifying the peer's certificate; on success `peer`
// describes it.
CZuError krpAuthSocket(KrpSocket* s, int role, std::shared_ptr<KRP_Cert>* peer, int timeoutSecs);

// Move exactly `len` bytes unless an error occurs; return the bytes moved and
// set `err` on failure (a short count always comes with an error).
int krpSend(KrpSocket* s, const void* data, int len, int timeoutSecs, CZuError* err);
int krpRecv(KrpSocket* s, void* data, int len, int timeoutSecs, CZuError* err);

// Sends the TLS close notice when the connection is healthy and frees the layer.
void krpDestroySocket(KrpSocket* s);

// Millisecond variants of the calls above.
CZuError krpAuthSocketMs(KrpSocket* s, int role, std::shared_ptr<KRP_Cert>* peer, int timeoutMs);
int krpSendMs(KrpSocket* s, const void* data, int len, int timeoutMs, CZuError* err);
int krpRecvMs(KrpSocket* s, void* data, int len, int timeoutMs, CZuError* err);

// Waits until application data may be read (data already decrypted counts).
CZuError krpWaitReadable(KrpSocket* s, int timeoutMs, DwWait* out);
// Whether data already received from the socket waits in the TLS layer, so
// that the descriptor need not be readable for a read to succeed.  Never waits.
bool krpHasBufferedData(KrpSocket* s);
// Whether an idle connection is still usable: the peer has not closed it and
// sent nothing unexpected.  Never waits.
bool krpIsIdleAlive(KrpSocket* s);
// Every wait of this socket also ends, with ECANCELED, when `fd` becomes
// readable; -1 turns that off.
void krpSetCancelFd(KrpSocket* s, int fd);

#endif  // HOST_KRPSOCKET_H

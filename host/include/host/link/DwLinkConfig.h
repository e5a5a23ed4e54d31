// Settings of the request link, normally read from the registry.
//
// Section "Link" (numbers are decimal; times in seconds):
//   sServerHost        text    (none)  central server's host name or address
//   nServerPort        number  4760    its port
//   sServers           text    (none)  several central servers serving one database,
//                                      "host[:port], ..." (port: nServerPort); replaces
//                                      sServerHost.  A client moves to the next one when
//                                      a server can't be reached or drops the connection
//   nConnectTimeoutSecs number nTimeoutSecs  client: one TCP connection attempt
//   sServerName        text    (none)  client name the server must authenticate as;
//                                      empty accepts any name the authority signed
//   nTimeoutSecs       number  60      connect, and moving one whole frame
//   nAuthTimeoutSecs   number  30      client: TLS handshake
//   nPoolSize          number  4       idle connections kept per server
//   nPoolIdleSecs      number  60      idle connections older than this are closed
//   nAllowBuiltinCerts number  0       1 accepts peers holding the built-in product
//                                      certificate; 0 requires per-client ones
//   sListenAddress     text    (all)   server: address to listen on
//   nListenPort        number  nServerPort  server: port to listen on
//   nMaxConnections    number  64      server: authenticated connections served at once;
//                                      when all are taken the longest idle one is closed
//   nMaxPending        number  128     server: connections in their handshake; when all
//                                      places are taken, the oldest of the source address
//                                      holding most is closed for the newcomer
//   nMaxPendingPerAddress number 16    server: of those, from one source address
//   nMaxSilent         number  4096    server: connections that have sent nothing yet
//                                      (held without a thread), shared the same way
//   nMaxIdlePerName    number  32      server: idle connections of one certificate name;
//                                      beyond it the least recently used is closed
//   nHandshakeTimeoutSecs number 5     server: a new connection's first bytes, and then
//                                      its TLS handshake
//   nMemoryBudgetMB    number  256     server: request frames held at once (each counts
//                                      twice its size: its bytes and their decoded form)
//   nIdleTimeoutSecs   number  300     server: an idle connection is closed after this
// A client's servers come from dwLinkResolveServers alone (below).
// TLS files come from section "Security" (TlsContext.h).
#ifndef HOST_DWLINKCONFIG_H
#define HOST_DWLINKCONFIG_H

#include <memory>
#include <string>
#include <vector>

#include "host/base/CZuError.h"
#include "host/link/DwConnGate.h"

class TlsContext;
class KrpPeerPolicy;
class DwLinkSvc;
struct KRP_Cert;

constexpr int kDwLinkDefaultPort = 4760;

struct DwLinkAddress {
  std::string host;
  int port = kDwLinkDefaultPort;

  // "host:port", or "[host]:port" for an IPv6 address.
  std::string text() const;
};

struct DwLinkClientConfig {
  // The servers a request may go to, in the order they are tried.
  std::vector<DwLinkAddress> servers;
  std::string serverName;
  int timeoutMs = 60 * 1000;
  int connectTimeoutMs = 0;  // 0: timeoutMs
  int authTimeoutMs = 30 * 1000;
  int poolSize = 4;
  int poolIdleSecs = 60;
  bool allowBuiltinCerts = false;
  std::shared_ptr<TlsContext> tls;

  // The servers are `address` when not empty, otherwise the registry's
  // (dwLinkResolveServers).  Fails on a value out of range, no server, or
  // TLS files that can't be loaded.
  static CZuError fromRegistry(DwLinkClientConfig* out, const std::string& address = "");

  // The same, shared and read again only once the registry changed
  // (DWPlatformInfo::generation) or its TLS context followed its files: for
  // callers that ask on every request.
  static CZuError current(std::shared_ptr<const DwLinkClientConfig>* out,
                          const std::string& address = "");
};

struct DwLinkServerConfig {
  std::string address;            // empty: every local address
  int port = kDwLinkDefaultPort;  // 0 picks a free port
  DwConnLimits limits;
  size_t memoryBudgetBytes = size_t(256) << 20;
  int timeoutMs = 60 * 1000;      // one whole frame
  int authTimeoutMs = 5 * 1000;   // TLS handshake
  int idleTimeoutMs = 300 * 1000;
  bool allowBuiltinCerts = false;
  std::shared_ptr<TlsContext> tls;
  // When set, the one service this server delivers to, whatever its
  // acceptsRemote; otherwise the process's remote-accepting services.
  DwLinkSvc* service = nullptr;
  // When set, the names admitted after the handshake (KrpPeerPolicy.h);
  // otherwise every name the authority signed.
  std::shared_ptr<KrpPeerPolicy> peers;

  static CZuError fromRegistry(DwLinkServerConfig* out);
};

// Splits "host:port", "[v6]:port", "host" or "[v6]"; the port is left as
// it was when the text has none.
CZuError dwLinkParseAddress(const std::string& text, std::string* host, int* port);

// The servers a client's requests go to, in the order they are tried:
// `address` when not empty (as dwLinkParseAddress takes it), otherwise the
// servers of [Link] sServers, otherwise sServerHost; a port left out is
// nServerPort.  Fails when none is named and for a malformed value, naming
// its key.  `source`, when not null, gets where the list came from, for an
// operator's message ("[Link] sServers", ...).
CZuError dwLinkResolveServers(const std::string& address, std::vector<DwLinkAddress>* out,
                              std::string* source = nullptr);

// The certificate policy of both ends: a per-client certificate, or the
// built-in product certificate when `allowBuiltinCerts`.
CZuError dwLinkCheckPeerKind(const KRP_Cert& cert, bool allowBuiltinCerts);

#endif  // HOST_DWLINKCONFIG_H

// A small read-only HTTP(S) server for monitoring: answers GET and HEAD on
// the paths it is given, and serves the files of one directory; every other
// method is refused with 405 and every other path with 404.
//
// No crowd of clients can starve it.  Connections that have not said a word
// are held by an acceptor (DwAcceptor) at the cost of a descriptor, at most
// `maxSilent` of them shared fairly among source addresses.  One thread waits
// on all that spoke at once (epoll); only a request received whole is handed
// to one of `threads` workers, so idle, half-open and trickling connections
// never hold a worker.  Admission (DwConnGate): a connection that spoke is
// pending until its first request is whole, and pending connections are
// bounded in total and per source address.  A request must
// be whole within `timeoutSecs` of the accept (or of its first byte, on a
// kept-alive connection), or the connection is closed; request lines over 8
// KiB get 414, header sections over 8 KiB or malformed heads 400, bodies 413
// (never read).  Connections kept alive between requests take one of
// `maxKeepAlive` slots; the one idle the longest is closed for a newcomer, and
// when every slot is busy the newcomer is answered and closed.
//
// With TLS it presents the installation's certificate and accepts TLS 1.2 or
// later; with `requireClientCert` only clients holding a certificate of the
// installation's authority get an answer.
#ifndef HOST_DWHTTPSERVER_H
#define HOST_DWHTTPSERVER_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "host/base/CZuError.h"

struct DwHttpServerConfig {
  std::string address = "127.0.0.1";
  int port = 0;  // 0 picks a free port
  int threads = 4;  // answering whole requests
  int timeoutSecs = 5;  // receiving one request, writing one answer; idle keep-alive
  int maxPending = 256;  // connections whose first request is not yet whole
  int maxPendingPerAddress = 8;  // of those, from one source address
  int maxSilent = 1024;  // connections that have not sent a byte yet
  int maxKeepAlive = 32;  // connections kept open between requests
  int maxRequestsPerConnection = 100;
  bool tls = false;
  std::string certFile, keyFile, caFile;  // with tls
  bool requireClientCert = false;
  std::string crlFile;  // with requireClientCert: revoked client certificates, read at start
  std::string filesDir;  // served below "/"; empty: none
};

struct DwHttpResponse {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
};

class DwHttpServer {
 public:
  using Handler = std::function<void(DwHttpResponse*)>;
  // Gets the request's query: what follows '?', as sent (not decoded).
  using QueryHandler = std::function<void(const std::string& query, DwHttpResponse*)>;

  // Connections closed by the server, by reason.
  struct Stats {
    uint64_t accepted = 0;      // TCP connections taken
    uint64_t pendingLimit = 0;  // refused at accept, or closed to make room, by the pending limits
    uint64_t deadline = 0;      // request not whole, or answer not taken, in time
    uint64_t badRequest = 0;    // refused (400, 405, 413, 414) and closed
    uint64_t handshake = 0;     // TLS handshake failed (no valid client certificate, not TLS)
    uint64_t idleEvicted = 0;   // kept-alive connections closed to make room
    uint64_t requests = 0;      // requests answered by a handler or a file
  };

  DwHttpServer();
  ~DwHttpServer();  // stops
  DwHttpServer(const DwHttpServer&) = delete;
  DwHttpServer& operator=(const DwHttpServer&) = delete;

  // Answers GET and HEAD of exactly `path`; before start.
  void get(const std::string& path, Handler handler);
  void getWithQuery(const std::string& path, QueryHandler handler);
  CZuError start(const DwHttpServerConfig& config);
  // Stops accepting, closes every connection, and waits for the handlers
  // running.
  void stop();
  int port() const { return port_; }
  Stats stats() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
  std::map<std::string, QueryHandler> handlers_;
  int port_ = 0;
};

#endif  // HOST_DWHTTPSERVER_H

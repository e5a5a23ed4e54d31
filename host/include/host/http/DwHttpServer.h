// A small read-only HTTP(S) server for monitoring: answers GET and HEAD on
// the paths it is given, and serves the files of one directory; every other
// method is refused with 405 and every other path with 404.  Requests are
// bounded (request line and headers by the HTTP library, bodies refused) and
// must arrive within the read time-out, on a small pool of its own threads.
//
// With TLS it presents the installation's certificate and accepts TLS 1.2 or
// later; with `requireClientCert` only clients holding a certificate of the
// installation's authority get an answer.
#ifndef HOST_DWHTTPSERVER_H
#define HOST_DWHTTPSERVER_H

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "host/base/CZuError.h"

struct DwHttpServerConfig {
  std::string address = "127.0.0.1";
  int port = 0;  // 0 picks a free port
  int threads = 4;
  int timeoutSecs = 5;  // reading one request, writing one answer; idle keep-alive
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

  DwHttpServer();
  ~DwHttpServer();  // stops
  DwHttpServer(const DwHttpServer&) = delete;
  DwHttpServer& operator=(const DwHttpServer&) = delete;

  // Answers GET and HEAD of exactly `path`; before start.
  void get(const std::string& path, Handler handler);
  CZuError start(const DwHttpServerConfig& config);
  // Stops accepting and waits for the answers being written.
  void stop();
  int port() const { return port_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::map<std::string, Handler> handlers_;
  std::thread thread_;
  int port_ = 0;
};

#endif  // HOST_DWHTTPSERVER_H

// A client's side of one HTTP exchange, as raw as the tests need it: send a
// request (plain, or over TLS with a certificate), read until the server
// closes the connection, and take the answer apart.
#ifndef BLR_TESTS_SUPPORT_HTTPEXCHANGE_H
#define BLR_TESTS_SUPPORT_HTTPEXCHANGE_H

#include <poll.h>
#include <strings.h>

#include <chrono>
#include <memory>
#include <string>

#include "host/tls/TlsContext.h"
#include "support/RawPeers.h"

// What came back for `request` until the server closed the connection (at
// most 5 s); "" when there was no answer.
inline std::string httpExchange(int port, const std::string& request) {
  RawPeer peer("127.0.0.1", port);
  if (!peer.connected()) return "";
  ::send(peer.fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string got;
  char buf[4096];
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < until) {
    pollfd p{peer.fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    ssize_t n = ::recv(peer.fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// The same over TLS, presenting the certificate of `tls` (none when it has
// none).
inline std::string httpExchange(int port, const std::string& request,
                                std::shared_ptr<TlsContext> tls) {
  RawPeer peer("127.0.0.1", port);
  CZuError err = peer.authenticate(std::move(tls));
  if (!err.IsError())
    krpSendMs(peer.tls, request.data(), static_cast<int>(request.size()), 5000, &err);
  std::string got;
  char buf[4096];
  while (!err.IsError()) got.append(buf, krpRecvMs(peer.tls, buf, sizeof buf, 5000, &err));
  return got;
}

// "GET /x HTTP/1.1" and so on, asking the server to close after answering.
inline std::string httpRequest(const std::string& method, const std::string& target,
                               const std::string& body = "") {
  std::string r = method + " " + target + " HTTP/1.1\r\nHost: test\r\nConnection: close\r\n";
  if (!body.empty()) r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return r + "\r\n" + body;
}

struct HttpAnswer {
  explicit HttpAnswer(const std::string& raw) {
    size_t end = raw.find("\r\n\r\n");
    if (raw.compare(0, 7, "HTTP/1.") != 0 || raw.size() < 9 || end == std::string::npos) return;
    status = std::atoi(raw.c_str() + 9);
    statusLine = raw.substr(0, raw.find("\r\n"));
    head = raw.substr(0, end + 2);
    body = raw.substr(end + 4);
  }
  explicit operator bool() const { return status != 0; }

  // The value of header `name` (any case), "" when there is none.
  std::string header(const std::string& name) const {
    for (size_t at = head.find("\r\n"); at != std::string::npos && at + 2 < head.size();) {
      size_t next = head.find("\r\n", at + 2);
      std::string line = head.substr(at + 2, next - at - 2);
      if (line.size() > name.size() && line[name.size()] == ':' &&
          strncasecmp(line.c_str(), name.c_str(), name.size()) == 0)
        return line.substr(name.size() + (line[name.size() + 1] == ' ' ? 2 : 1));
      at = next;
    }
    return "";
  }

  int status = 0;  // 0: no answer
  std::string statusLine, head, body;
};

#endif  // BLR_TESTS_SUPPORT_HTTPEXCHANGE_H

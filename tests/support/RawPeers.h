// Peers of a server that misbehave on purpose: a TCP connection from a chosen
// loopback source address, optionally authenticated or left in the middle of
// its handshake, that the test then leaves idle, trickles bytes on, or
// watches for the server closing it.
#ifndef BLR_TESTS_SUPPORT_RAWPEERS_H
#define BLR_TESTS_SUPPORT_RAWPEERS_H

#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "host/base/CZuError.h"
#include "host/net/CZuSocket.h"
#include "host/tls/KrpSocket.h"

struct RawPeer {
  // Connects to host:port (IPv4) from `source` (any port) when given.
  RawPeer(const std::string& host, int port, const std::string& source = "") {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (!source.empty()) {
      inet_pton(AF_INET, source.c_str(), &addr.sin_addr);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) closeFd();
    }
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) closeFd();
    if (fd >= 0) sock = CZuSocket(fd);
  }
  ~RawPeer() { krpDestroySocket(tls); }  // `sock` closes the descriptor last
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  bool connected() const { return fd >= 0; }

  CZuError authenticate(std::shared_ptr<TlsContext> context, int timeoutMs = 5000) {
    if (fd < 0) return FXErrorUtil::ErrorInt(FXLOC, 1, "Not connected");
    CZuError err = krpInitSocketWithContext(sock, KRP_INIT_DEFAULT, context, &tls);
    if (!err.IsError()) err = krpAuthSocketMs(tls, KRP_ROLE_CLIENT, nullptr, timeoutMs);
    return err;
  }

  // Writes what a TLS client says first, and goes no further: a handshake
  // left half done.
  void sendClientHello() {
    static const std::string hello = clientHello();  // made once: a siege sends many
    if (fd >= 0 && !hello.empty()) ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
  }

  // Milliseconds until the server closed the connection, reading and dropping
  // whatever it sent; -1 when it is still open after `timeoutMs`.
  int msUntilClosed(int timeoutMs) {
    auto begin = std::chrono::steady_clock::now();
    auto elapsed = [&] {
      return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - begin)
                                  .count());
    };
    if (fd < 0) return 0;
    char buf[4096];
    while (elapsed() < timeoutMs) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs - elapsed()) <= 0) break;
      ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return elapsed();
    }
    return -1;
  }

  int fd = -1;
  CZuSocket sock;
  KrpSocket* tls = nullptr;

 private:
  static std::string clientHello() {
    std::string out;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = ctx ? SSL_new(ctx) : nullptr;
    if (ssl) {
      SSL_set_bio(ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
      SSL_connect(ssl);  // wants the server's answer; the hello is written
      char* data = nullptr;
      long n = BIO_get_mem_data(SSL_get_wbio(ssl), &data);
      if (n > 0) out.assign(data, static_cast<size_t>(n));
      SSL_free(ssl);
    }
    SSL_CTX_free(ctx);
    return out;
  }

  void closeFd() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

// Raises this process's limit of open descriptors to at least `wanted`, as far
// as the hard limit allows; returns the limit in force.
inline rlim_t raiseDescriptorLimit(rlim_t wanted) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < wanted) {
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted ? wanted
                                                                                : limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur;
}

#endif  // BLR_TESTS_SUPPORT_RAWPEERS_H

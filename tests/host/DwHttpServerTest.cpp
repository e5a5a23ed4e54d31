// The monitoring HTTP server under attack and at its edges: a crowd of idle
// and trickling connections from 50 addresses while a good client scrapes,
// kept-alive and pipelined requests, files that must stay below their
// directory whatever the encoding.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "host/http/DwHttpServer.h"
#include "support/HttpExchange.h"
#include "support/TempFile.h"
#include "support/TestCerts.h"

namespace {

using Clock = std::chrono::steady_clock;

int msSince(Clock::time_point t) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

std::string statusLine(const std::string& answer) { return HttpAnswer(answer).statusLine; }

class DwHttpServerTest : public ::testing::Test {
 protected:
  void start(DwHttpServerConfig config) {
    server_.get("/metrics", [](DwHttpResponse* r) { r->body = "up 1\n"; });
    ASSERT_FALSE(server_.start(config).IsError());
  }
  DwHttpServer server_;
};

// HTTPS with a client certificate required (plain HTTP under siege:
// ResilienceTest's sieges of the metrics listener).
TEST_F(DwHttpServerTest, ACrowdOfIdleAndTricklingConnectionsDoesNotStarveAGoodClient) {
  raiseDescriptorLimit(4096);
  DwHttpServerConfig config;
  config.timeoutSecs = 2;
  TlsConfig files = TestCerts::get().config("anchor");
  config.tls = config.requireClientCert = true;
  config.certFile = files.certFile;
  config.keyFile = files.keyFile;
  config.caFile = files.caFile;
  start(config);
  // From each of 50 addresses: 4 connections that send nothing, and one that
  // sends the start of a TLS record, then a byte every 200 ms.
  const std::string start("\x16\x03\x01\x02\x00", 5);
  std::vector<std::unique_ptr<RawPeer>> idle, trickling;
  const Clock::time_point siege = Clock::now();
  for (int a = 2; a <= 51; ++a) {
    const std::string source = "127.0.0." + std::to_string(a);
    for (int i = 0; i < 4; ++i) idle.emplace_back(new RawPeer("127.0.0.1", server_.port(), source));
    trickling.emplace_back(new RawPeer("127.0.0.1", server_.port(), source));
    ::send(trickling.back()->fd, start.data(), start.size(), MSG_NOSIGNAL);
  }
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    while (!done) {
      for (auto& peer : trickling) ::send(peer->fd, "X", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  for (int i = 0; i < 20; ++i) {
    const Clock::time_point began = Clock::now();
    const std::string request = "GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n";
    std::string answer = httpExchange(server_.port(), request, TestCerts::get().context("client1"));
    EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 OK") << "scrape " << i;
    // Served at once, not when the crowd's 2 s deadline frees the listener.
    EXPECT_LT(msSince(began), 1500) << "scrape " << i;
  }
  // The trickling requests are cut at their deadline, not kept alive by each byte.
  for (auto& peer : trickling) EXPECT_NE(peer->msUntilClosed(3500 - msSince(siege)), -1);
  done = true;
  trickle.join();
  EXPECT_EQ(server_.stats().pendingLimit, 0u);
}

// A request's deadline counts from the accept, also for a connection that
// was silent first.  (Silent crowds take no pending place and meet their own
// bound: MonitorTest's nMaxSilent and the sieges of ResilienceTest.)
TEST_F(DwHttpServerTest, ARequestsDeadlineCountsFromTheAccept) {
  DwHttpServerConfig config;
  config.timeoutSecs = 2;
  start(config);
  const Clock::time_point opened = Clock::now();
  RawPeer late("127.0.0.1", server_.port(), "127.0.0.60");
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  ::send(late.fd, "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL);
  ASSERT_NE(late.msUntilClosed(3000), -1);
  EXPECT_LT(msSince(opened), 2700) << "timed from its first byte, not from the accept";
}

// A request must keep to the limits as a whole, whatever each read brings;
// what is within them is answered on one connection in turn.
TEST_F(DwHttpServerTest, HeadsOverALimitAreRefusedAndGoodOnesKeptAlive) {
  start(DwHttpServerConfig());
  for (const std::string& bad : {std::string("GET /metrics HTTP/1.1\r\nNo colon\r\n\r\n"),
                                 std::string("GET /metrics HTTP/1.1\r\nX: 1\r\n folded\r\n\r\n"),
                                 std::string("GET /metrics HTTP/2.0\r\n\r\n"),
                                 std::string("GET /metrics%zz HTTP/1.1\r\n\r\n"),
                                 std::string("GET /metrics HTTP/1.1\r\nContent-Length: 1\r\n"
                                             "Content-Length: 2\r\n\r\n")})
    EXPECT_EQ(statusLine(httpExchange(server_.port(), bad)), "HTTP/1.1 400 Bad Request") << bad.substr(0, 60);
  EXPECT_EQ(statusLine(httpExchange(server_.port(), "GET /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello")),
            "HTTP/1.1 413 Payload Too Large");
  std::string refused = httpExchange(server_.port(), "DELETE /metrics HTTP/1.1\r\n\r\n");
  EXPECT_EQ(statusLine(refused), "HTTP/1.1 405 Method Not Allowed");
  EXPECT_NE(refused.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos);

  // Pipelined: a GET, then a HEAD (headers alone) that closes.
  std::string both = httpExchange(server_.port(),
                              "GET /metrics HTTP/1.1\r\n\r\nHEAD /metrics HTTP/1.1\r\nConnection: close\r\n\r\n");
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 5\r\n";
  const std::string safety =
      "X-Content-Type-Options: nosniff\r\nContent-Security-Policy: default-src 'self'; "
      "frame-ancestors 'none'\r\nCache-Control: no-store\r\n\r\n";
  EXPECT_EQ(both, head + "Connection: keep-alive\r\n" + safety + "up 1\n" + head +
                      "Connection: close\r\n" + safety);
  DwHttpServer::Stats stats = server_.stats();
  EXPECT_EQ(stats.badRequest, 7u);
  EXPECT_EQ(stats.requests, 2u);
}

TEST_F(DwHttpServerTest, FilesStayBelowTheirDirectory) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir.path() + "/page").c_str(), 0700), 0);
  std::ofstream(dir.path() + "/page/index.html") << "<p>page</p>";
  std::ofstream(dir.path() + "/secret") << "secret";
  DwHttpServerConfig config;
  config.filesDir = dir.path() + "/page";
  start(config);
  std::string page = httpExchange(server_.port(), "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(statusLine(page), "HTTP/1.1 200 OK");
  EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(page.find("\r\n\r\n<p>page</p>"), std::string::npos);
  for (const char* path : {"/%2e%2e/secret", "/.%2E/secret", "/..%2fsecret", "/%252e%252e/secret"})
    EXPECT_EQ(statusLine(httpExchange(server_.port(), "GET " + std::string(path) + " HTTP/1.0\r\n\r\n")),
              "HTTP/1.1 404 Not Found")
        << path;
}

}  // namespace

// The central server's monitoring listener: /metrics for monitoring systems,
// /health for load balancers (200 "ready" while the database answers, else
// 503), and a read-only status page with the JSON it polls.  Besides, it
// keeps the fleet's lag of the last six hours for the page (LagHistory).  Everything it shows is
// read at the time of asking, from the link server's counters, the handle
// pool and the pair database; no request it takes can change anything.
//
// Registry, section "Metrics" (the listener is off unless nListenPort is set):
//   sListenAddress    text    127.0.0.1  address to listen on
//   nListenPort       number  (off)      port; 0 picks a free one
//   nTls              number  0          1 serves HTTPS with [Security] sCertFile/sKeyFile
//   nRequireClientCert number 0          with TLS: clients need a certificate of sCAFile
//   nMaxSilent        number  1024       connections that have not sent a byte yet
//   nMaxPending       number  256        connections whose first request is not yet whole
//   nMaxPendingPerAddress number 8       of those, from one source address
//   nMaxKeepAlive     number  32         connections kept open between requests
//   nTimeoutSecs      number  5          for a whole request, an answer; idle keep-alive
//   nMaxPairSeries    number  1000       pairs with series of their own (worst lag first)
//   nLagWarnSecs      number  300        the page shows lag above this in amber
//   nLagAlertSecs     number  900        and above this in red
//   sPageDir          text    <program>/../share/blr/status  files of the page
//   sLagSeedFile      text    (none)     tests only: lag samples to start with (LagSampler.h)
#ifndef TOOLS_ANCHOR_ANCHORMONITOR_H
#define TOOLS_ANCHOR_ANCHORMONITOR_H

#include <chrono>
#include <string>

#include "LagHistory.h"
#include "LagSampler.h"
#include "host/base/CZuError.h"
#include "host/http/DwHttpServer.h"

class DwLinkServer;

struct AnchorMonitorConfig {
  bool enabled = false;
  DwHttpServerConfig http;
  int maxPairSeries = 1000;
  int lagWarnSecs = 300;
  int lagAlertSecs = 900;
  int eventCount = 50;  // the page's last events
  std::string lagSeedFile;

  // `programDir` locates the installed page.
  static CZuError fromRegistry(const std::string& programDir, AnchorMonitorConfig* out);
};

// A query on "Anchor" answers (on PostgreSQL with target_session_attrs=
// read-write, only a server that takes writes does).
CZuError anchorDatabaseAnswers();

// The text of one scrape of /metrics; `listener` counts the monitoring
// listener's own refusals.
std::string anchorMetricsText(DwLinkServer& link, const DwHttpServer::Stats& listener,
                              const AnchorMonitorConfig& config);

class AnchorMonitor {
 public:
  explicit AnchorMonitor(DwLinkServer& link) : link_(link), sampler_(history_) {}

  CZuError start(const AnchorMonitorConfig& config);
  void stop() {
    http_.stop();
    sampler_.stop();
  }
  int port() const { return http_.port(); }

 private:
  void metrics(DwHttpResponse* out);
  void health(DwHttpResponse* out);
  void pairs(DwHttpResponse* out);
  void live(DwHttpResponse* out);
  void lag(const std::string& query, DwHttpResponse* out);

  DwLinkServer& link_;
  AnchorMonitorConfig config_;
  LagHistory history_;
  LagSampler sampler_;
  DwHttpServer http_;
};

#endif  // TOOLS_ANCHOR_ANCHORMONITOR_H

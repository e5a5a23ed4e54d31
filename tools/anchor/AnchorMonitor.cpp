#include "AnchorMonitor.h"

#include <nlohmann/json.hpp>

#include "BLR/BlrPairCodes.h"
#include "FleetView.h"
#include "host/config/DWPlatformInfo.h"
#include "host/sql/DWSimpleDBConnObject.h"
#include "host/link/DwLinkServer.h"
#include "host/metrics/DwMetrics.h"

namespace {

const char kSection[] = "Metrics";
const char kJson[] = "application/json; charset=utf-8";

std::string dump(const nlohmann::json& j) {
  // Stored names may hold bytes that are not UTF-8.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void answerError(const CZuError& err, DwHttpResponse* out) {
  out->status = 503;
  out->contentType = kJson;
  out->body = dump({{"error", err.Summary()}});
}

}  // namespace

CZuError AnchorMonitorConfig::fromRegistry(const std::string& programDir, AnchorMonitorConfig* out) {
  AnchorMonitorConfig c;
  DWPlatformInfo info;
  std::string port;
  c.enabled = info.getString(kSection, "nListenPort", &port) != 0;
  if (!c.enabled) {
    *out = c;
    return CZuError();
  }
  info.getString(kSection, "sListenAddress", &c.http.address);
  int tls = 0, clientCert = 0;
  CZuError err = info.readNumber(kSection, "nListenPort", 0, 0, 65535, &c.http.port);
  if (!err.IsError()) err = info.readNumber(kSection, "nTls", 0, 0, 1, &tls);
  if (!err.IsError()) err = info.readNumber(kSection, "nRequireClientCert", 0, 0, 1, &clientCert);
  if (!err.IsError())
    err = info.readNumber(kSection, "nMaxPending", c.http.maxPending, 1, 65536, &c.http.maxPending);
  if (!err.IsError())
    err = info.readNumber(kSection, "nMaxPendingPerAddress", c.http.maxPendingPerAddress, 1, 65536,
                          &c.http.maxPendingPerAddress);
  if (!err.IsError())
    err = info.readNumber(kSection, "nMaxKeepAlive", c.http.maxKeepAlive, 0, 65536, &c.http.maxKeepAlive);
  if (!err.IsError())
    err = info.readNumber(kSection, "nTimeoutSecs", c.http.timeoutSecs, 1, 3600, &c.http.timeoutSecs);
  if (!err.IsError())
    err = info.readNumber(kSection, "nMaxPairSeries", c.maxPairSeries, 0, 1000000, &c.maxPairSeries);
  if (!err.IsError())
    err = info.readNumber(kSection, "nLagWarnSecs", c.lagWarnSecs, 0, INT32_MAX, &c.lagWarnSecs);
  if (!err.IsError())
    err = info.readNumber(kSection, "nLagAlertSecs", c.lagAlertSecs, 0, INT32_MAX, &c.lagAlertSecs);
  if (err.IsError()) return err;
  c.http.tls = tls != 0;
  c.http.requireClientCert = clientCert != 0;
  if (c.http.tls) {
    info.getString("Security", "sCertFile", &c.http.certFile);
    info.getString("Security", "sKeyFile", &c.http.keyFile);
    info.getString("Security", "sCAFile", &c.http.caFile);
    info.getString("Security", "sCRLFile", &c.http.crlFile);
    if (c.http.certFile.empty() || c.http.keyFile.empty())
      return FXErrorUtil::ErrorInt(FXLOC, 1,
                                   "[Metrics] nTls = 1 needs [Security] sCertFile and sKeyFile");
  }
  c.http.filesDir = programDir + "/../share/blr/status";
  info.getString(kSection, "sPageDir", &c.http.filesDir);
  *out = c;
  return CZuError();
}

CZuError AnchorMonitor::start(const AnchorMonitorConfig& config) {
  config_ = config;
  http_.get("/metrics", [this](DwHttpResponse* out) { metrics(out); });
  http_.get("/health", [this](DwHttpResponse* out) { health(out); });
  http_.get("/api/pairs", [this](DwHttpResponse* out) { pairs(out); });
  http_.get("/api/live", [this](DwHttpResponse* out) { live(out); });
  return http_.start(config.http);
}

CZuError anchorDatabaseAnswers() {
  DWSimpleDBConnObject conn;
  int rc = conn.openSQLConnectionUsingDbName("Anchor");
  if (rc == 0) rc = conn.execQuery("SELECT 1");
  if (rc != 0)
    return FXErrorUtil::ErrorInt(FXLOC, rc, "The database does not answer: %s",
                                 conn.getLastErrorText().c_str());
  return CZuError();
}

void AnchorMonitor::health(DwHttpResponse* out) {
  CZuError err = anchorDatabaseAnswers();
  out->status = err.IsError() ? 503 : 200;
  out->body = err.IsError() ? "not ready: " + err.Summary() + "\n" : "ready\n";
}

void AnchorMonitor::metrics(DwHttpResponse* out) {
  out->contentType = DwMetricsText::kContentType;
  out->body = anchorMetricsText(link_, http_.stats(), config_);
}

void AnchorMonitor::pairs(DwHttpResponse* out) {
  std::vector<FleetPair> pairs;
  CZuError err = fleetReadPairs(&pairs);
  if (err.IsError()) return answerError(err, out);
  nlohmann::json list = nlohmann::json::array();
  for (const FleetPair& p : pairs) {
    nlohmann::json flags = nlohmann::json::array();
    for (const BlrPairFlagRow& row : kBlrPairFlagRows)
      if (p.flags & row.bit) flags.push_back(row.name);
    list.push_back({{"id", p.id},
                    {"source", p.srcName},
                    {"destination", p.dstName},
                    {"head", p.headClient},
                    {"tail", p.tailClient},
                    {"status", fleetStatusName(p.status)},
                    {"statusCode", p.status},
                    {"message", p.statusMessage},
                    {"flags", flags},
                    {"lagSecs", p.lagSecs},
                    {"statusChanged", p.statusChanged}});
  }
  out->contentType = kJson;
  out->body = dump({{"lagWarnSecs", config_.lagWarnSecs},
                    {"lagAlertSecs", config_.lagAlertSecs},
                    {"pairs", list}});
}

void AnchorMonitor::live(DwHttpResponse* out) {
  std::vector<FleetPair> pairs;
  std::vector<FleetRun> runs;
  std::vector<FleetEvent> events;
  CZuError err = fleetReadPairs(&pairs);
  if (!err.IsError()) err = fleetReadRuns(pairs, &runs);
  if (!err.IsError()) err = fleetReadEvents(config_.eventCount, &events);
  if (err.IsError()) return answerError(err, out);
  nlohmann::json running = nlohmann::json::array();
  for (const FleetRun& r : runs) {
    if (!r.running) continue;
    nlohmann::json steps = nlohmann::json::array();
    for (const FleetStep& s : r.steps)
      steps.push_back({{"label", s.label}, {"state", s.state}, {"at", s.at}, {"secs", s.secs}});
    running.push_back({{"pairId", r.pairId}, {"pair", r.pairName}, {"kind", r.kind}, {"steps", steps}});
  }
  nlohmann::json last = nlohmann::json::array();
  for (const FleetEvent& e : events)
    last.push_back({{"seq", e.seq},
                    {"time", e.time},
                    {"pairId", e.pairId},
                    {"text", e.text},
                    {"actor", e.actor}});
  out->contentType = kJson;
  out->body = dump({{"running", running}, {"events", last}});
}

#include "AnchorMonitor.h"

#include <climits>
#include <sstream>

#include <nlohmann/json.hpp>

#include "BLR/BlrPairCodes.h"
#include "FleetView.h"
#include "host/base/DwClock.h"
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

// At most this many pairs' series in one answer: a page of the table.
constexpr size_t kMaxLagPairs = 500;

// "pairs=1,2,3" (or nothing): the ids asked for; false when malformed.
bool parseLagQuery(const std::string& query, std::vector<int32_t>* ids) {
  if (query.empty()) return true;
  if (query.compare(0, 6, "pairs=") != 0) return false;
  std::stringstream list(query.substr(6));
  for (std::string item; std::getline(list, item, ',');) {
    if (item.empty() || item.size() > 10 || item.find_first_not_of("0123456789") != std::string::npos)
      return false;
    long long id = std::stoll(item);
    if (id < 1 || id > INT32_MAX || ids->size() == kMaxLagPairs) return false;
    ids->push_back(static_cast<int32_t>(id));
  }
  return true;
}

// Seconds, or null for a gap.
nlohmann::json lagValue(int32_t secs) { return secs == LagHistory::kGap ? nlohmann::json() : nlohmann::json(secs); }

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
    err = info.readNumber(kSection, "nMaxSilent", c.http.maxSilent, 1, 65536, &c.http.maxSilent);
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
  info.getString(kSection, "sLagSeedFile", &c.lagSeedFile);
  *out = c;
  return CZuError();
}

CZuError AnchorMonitor::start(const AnchorMonitorConfig& config) {
  config_ = config;
  http_.get("/metrics", [this](DwHttpResponse* out) { metrics(out); });
  http_.get("/health", [this](DwHttpResponse* out) { health(out); });
  http_.get("/api/pairs", [this](DwHttpResponse* out) { pairs(out); });
  http_.get("/api/live", [this](DwHttpResponse* out) { live(out); });
  http_.getWithQuery("/api/lag", [this](const std::string& q, DwHttpResponse* out) { lag(q, out); });
  CZuError err = sampler_.start(config.lagSeedFile);
  if (!err.IsError()) err = http_.start(config.http);
  if (err.IsError()) sampler_.stop();
  return err;
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

// The live runs the page lists, oldest first.
constexpr int kMaxLiveRuns = 50;

void AnchorMonitor::live(DwHttpResponse* out) {
  std::vector<FleetPair> pairs;
  std::vector<FleetRun> runs;
  std::vector<FleetEvent> events;
  std::vector<FleetLiveRun> records;
  CZuError err = fleetReadPairs(&pairs);
  if (!err.IsError()) err = fleetReadRuns(pairs, &runs);
  if (!err.IsError()) err = fleetReadLiveRuns(kMaxLiveRuns, &records);
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
  nlohmann::json live = nlohmann::json::array();
  for (const FleetLiveRun& r : records)
    live.push_back({{"id", r.id},
                    {"kind", r.kind},
                    {"plan", r.plan},
                    {"pairId", r.pairId},
                    {"state", r.state},
                    {"actor", r.actor},
                    {"runner", r.runner},
                    {"started", r.started},
                    {"pairs", r.pairs},
                    {"outcomes", r.outcomes}});
  out->contentType = kJson;
  out->body = dump({{"running", running}, {"runs", live}, {"events", last}});
}

void AnchorMonitor::lag(const std::string& query, DwHttpResponse* out) {
  std::vector<int32_t> ids;
  out->contentType = kJson;
  if (!parseLagQuery(query, &ids)) {
    out->status = 400;
    out->body = dump({{"error", "expected pairs=ID,ID,... (at most " + std::to_string(kMaxLagPairs) + ")"}});
    return;
  }
  LagHistory::Series s = history_.read(DwClock::current()->now(), ids);
  nlohmann::json p50 = nlohmann::json::array(), p95 = nlohmann::json::array(),
                 max = nlohmann::json::array(), counted = nlohmann::json::array();
  for (const LagHistory::FleetPoint& f : s.fleet) {
    p50.push_back(lagValue(f.p50));
    p95.push_back(lagValue(f.p95));
    max.push_back(lagValue(f.max));
    counted.push_back(f.pairs);
  }
  nlohmann::json pairs = nlohmann::json::object();
  for (const auto& series : s.pairs) {
    nlohmann::json values = nlohmann::json::array();
    for (int32_t v : series.second) values.push_back(lagValue(v));
    pairs[std::to_string(series.first)] = values;
  }
  out->body = dump({{"start", s.start},
                    {"intervalSecs", s.intervalSecs},
                    {"fleet", {{"p50", p50}, {"p95", p95}, {"max", max}, {"pairs", counted}}},
                    {"pairs", pairs}});
}

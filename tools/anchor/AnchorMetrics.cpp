// The figures of one scrape: the link server's counters, the handle pool,
// then the fleet and its workflows as the pair database holds them now.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>
#include <set>

#include "AnchorMonitor.h"
#include "BLR/BlrDebug.h"
#include "BLR/BlrPairCodes.h"
#include "BLR/BlrRetention.h"
#include "FleetView.h"
#include "host/config/DWPlatformInfo.h"
#include "host/sql/DWSimpleDBConnObject.h"
#include "host/tls/KrpSocket.h"
#include "host/link/DwLinkServer.h"
#include "host/metrics/DwMetrics.h"

namespace {

using Clock = std::chrono::steady_clock;

// Each database's one writer, where a busy server queues: counters, so that
// a rate over them gives the share of time the writer was held and the mean
// wait of a write.
void databaseWriterMetrics(DwMetricsText* m) {
  const std::vector<DWSqlWriterUsage> writers = DWSimpleDBConnObject::writerUsage();
  struct Counter {
    const char* name;
    const char* help;
    double (*value)(const DWSqlWriterUsage&);
  };
  static const Counter kCounters[] = {
      {"blr_anchor_db_writes_total", "Write transactions of this server, which each database takes one at a time.",
       [](const DWSqlWriterUsage& u) { return static_cast<double>(u.writes); }},
      {"blr_anchor_db_write_wait_seconds_total", "Time this server's write transactions waited for their turn.",
       [](const DWSqlWriterUsage& u) { return u.waitSecs; }},
      {"blr_anchor_db_write_held_seconds_total", "Time this server's write transactions held their database's writer.",
       [](const DWSqlWriterUsage& u) { return u.heldSecs; }},
      {"blr_anchor_db_log_flushes_total", "Flushes of an embedded (SQLite) database's log to disk.",
       [](const DWSqlWriterUsage& u) { return static_cast<double>(u.flushes); }},
      {"blr_anchor_db_log_flush_seconds_total", "Time spent flushing an embedded (SQLite) database's log.",
       [](const DWSqlWriterUsage& u) { return u.flushSecs; }},
      {"blr_anchor_db_commit_flush_wait_seconds_total",
       "Time commits of an embedded (SQLite) database waited for a flush of the log that covers them.",
       [](const DWSqlWriterUsage& u) { return u.commitWaitSecs; }},
  };
  for (const Counter& c : kCounters) {
    m->family(c.name, "counter", c.help);
    for (const DWSqlWriterUsage& u : writers) m->sample(c.name, {{"database", u.database}}, c.value(u));
  }
}

void serverMetrics(DwLinkServer& link, const DwHttpServer::Stats& listener, DwMetricsText* m) {
  const DwLinkTraffic& traffic = link.traffic();
  m->family("blr_anchor_requests_total", "counter", "Requests answered, by service and request name.");
  traffic.forEachRequest([&](const DwLinkTraffic::Request& r) {
    m->sample("blr_anchor_requests_total", {{"service", r.service}, {"request", r.name}},
              r.answered.value());
  });
  m->family("blr_anchor_request_errors_total", "counter",
            "Requests answered with an error, by service and request name.");
  traffic.forEachRequest([&](const DwLinkTraffic::Request& r) {
    m->sample("blr_anchor_request_errors_total", {{"service", r.service}, {"request", r.name}},
              r.failed.value());
  });
  m->family("blr_anchor_request_duration_seconds", "histogram",
            "Time from a whole request to the last frame of its answer.");
  traffic.forEachRequest([&](const DwLinkTraffic::Request& r) {
    m->histogram("blr_anchor_request_duration_seconds", {{"service", r.service}, {"request", r.name}},
                 r.latency.snapshot());
  });

  DwLinkServer::Stats stats = link.stats();
  m->family("blr_anchor_connections_open", "gauge",
            "Connections of the request link: authenticating, or holding a serving slot.");
  m->sample("blr_anchor_connections_open", {{"state", "authenticating"}}, link.pendingConnections());
  m->sample("blr_anchor_connections_open", {{"state", "serving"}}, link.seatedConnections());
  m->family("blr_anchor_connections_accepted_total", "counter", "TCP connections accepted.");
  m->sample("blr_anchor_connections_accepted_total", {}, stats.acceptor.accepted);
  m->family("blr_anchor_connections_refused_total", "counter",
            "Connections refused or closed by the server, by listener and reason.");
  auto refused = [m](const char* listener, const char* reason, uint64_t value) {
    m->sample("blr_anchor_connections_refused_total", {{"listener", listener}, {"reason", reason}},
              static_cast<double>(value));
  };
  refused("link", "authentication", stats.refused);
  refused("link", "pending_limit", stats.gate.shed + stats.acceptor.shed);
  refused("link", "handshake_deadline", stats.late + stats.acceptor.late);
  refused("link", "no_slot", stats.gate.unseated);
  refused("link", "idle_evicted", stats.gate.evicted);
  refused("link", "idle_per_name", stats.gate.crowded);
  refused("link", "memory_budget", stats.overBudget);
  refused("metrics", "authentication", listener.handshake);
  refused("metrics", "pending_limit", listener.pendingLimit);
  refused("metrics", "deadline", listener.deadline);
  refused("metrics", "bad_request", listener.badRequest);
  refused("metrics", "idle_evicted", listener.idleEvicted);
  m->family("blr_anchor_frames_total", "counter", "Frames of the request link, by direction.");
  m->sample("blr_anchor_frames_total", {{"direction", "in"}}, traffic.framesIn());
  m->sample("blr_anchor_frames_total", {{"direction", "out"}}, traffic.framesOut());
  m->family("blr_anchor_bytes_total", "counter",
            "Bytes of request link frames with their headers, by direction.");
  m->sample("blr_anchor_bytes_total", {{"direction", "in"}}, traffic.bytesIn());
  m->sample("blr_anchor_bytes_total", {{"direction", "out"}}, traffic.bytesOut());

  m->family("blr_anchor_db_handles", "gauge", "Pooled database handles, by database and state.");
  for (const DWSqlHandleUsage& u : DWSimpleDBConnObject::handleUsage()) {
    m->sample("blr_anchor_db_handles", {{"database", u.database}, {"state", "in_use"}}, u.inUse);
    m->sample("blr_anchor_db_handles", {{"database", u.database}, {"state", "idle"}}, u.idle);
  }
  databaseWriterMetrics(m);
}

DwLabels pairLabels(const FleetPair& p) {
  return {{"pair_id", std::to_string(p.id)},
          {"source", p.srcName},
          {"head", p.headClient},
          {"tail", p.tailClient}};
}

void fleetMetrics(const std::vector<FleetPair>& pairs, int maxSeries, DwMetricsText* m) {
  std::map<int, int> byStatus;
  for (const BlrPairStatusRow& row : kBlrPairStatusRows)
    if (row.name[0] != '\0') byStatus[row.code] = 0;
  std::map<std::string, int> byFlag;
  for (const BlrPairFlagRow& row : kBlrPairFlagRows) byFlag[row.name] = 0;
  int worst = 0;
  for (const FleetPair& p : pairs) {
    ++byStatus[p.status];
    for (const BlrPairFlagRow& row : kBlrPairFlagRows)
      if (p.flags & row.bit) ++byFlag[row.name];
    worst = std::max(worst, p.lagSecs);
  }
  m->family("blr_pairs", "gauge", "Pairs by status.");
  for (const auto& s : byStatus)
    m->sample("blr_pairs", {{"status", fleetStatusName(s.first)}, {"code", std::to_string(s.first)}},
              s.second);
  m->family("blr_pairs_flagged", "gauge", "Pairs carrying each flag.");
  for (const auto& f : byFlag) m->sample("blr_pairs_flagged", {{"flag", f.first}}, f.second);
  m->family("blr_pair_lag_worst_seconds", "gauge", "The greatest lag of any pair.");
  m->sample("blr_pair_lag_worst_seconds", {}, worst);

  // The pairs that matter most keep their series when the fleet is larger
  // than the cap: the worst lag first.
  std::vector<const FleetPair*> shown;
  for (const FleetPair& p : pairs) shown.push_back(&p);
  std::stable_sort(shown.begin(), shown.end(),
                   [](const FleetPair* a, const FleetPair* b) { return a->lagSecs > b->lagSecs; });
  if (shown.size() > static_cast<size_t>(std::max(0, maxSeries))) shown.resize(std::max(0, maxSeries));
  std::sort(shown.begin(), shown.end(),
            [](const FleetPair* a, const FleetPair* b) { return a->id < b->id; });
  m->family("blr_pair_series_omitted", "gauge",
            "Pairs left without series of their own by [Metrics] nMaxPairSeries.");
  m->sample("blr_pair_series_omitted", {}, static_cast<double>(pairs.size() - shown.size()));
  m->family("blr_pair_lag_seconds", "gauge", "How far the recovery copy of a pair is behind.");
  for (const FleetPair* p : shown) m->sample("blr_pair_lag_seconds", pairLabels(*p), p->lagSecs);
  m->family("blr_pair_status_code", "gauge", "The status code of a pair.");
  for (const FleetPair* p : shown) m->sample("blr_pair_status_code", pairLabels(*p), p->status);
  m->family("blr_pair_status_change_timestamp_seconds", "gauge",
            "When a pair last took a status that posts an event (0: never recorded).");
  for (const FleetPair* p : shown)
    m->sample("blr_pair_status_change_timestamp_seconds", pairLabels(*p),
              static_cast<double>(p->statusChanged));
}

// Runs by state, and how long the oldest running run has run.
void runMetrics(const FleetRunStates& states, DwMetricsText* m) {
  m->family("blr_runs", "gauge", "Runs of workflows on plans and pairs, by state.");
  for (const auto& s : states.count) m->sample("blr_runs", {{"state", s.first}}, static_cast<double>(s.second));
  m->family("blr_run_oldest_running_age_seconds", "gauge",
            "How long the oldest running run has run (0: none runs).");
  const int64_t age = states.oldestRunningStart > 0 ? time(nullptr) - states.oldestRunningStart : 0;
  m->sample("blr_run_oldest_running_age_seconds", {}, static_cast<double>(age > 0 ? age : 0));
}

void workflowMetrics(const std::vector<FleetRun>& runs,
                     const std::map<std::pair<std::string, std::string>, int64_t>& planRuns,
                     const std::map<int, int64_t>& statusChanges, DwMetricsText* m) {
  std::map<std::string, int> running = {{"failover", 0}, {"failback", 0}, {"switch_roles", 0}};
  std::map<std::pair<std::string, std::string>, std::unique_ptr<DwHistogram>> steps;
  for (const FleetRun& run : runs) {
    if (run.running) ++running[run.kind];
    for (const FleetStep& s : run.steps) {
      if (s.secs < 0) continue;
      auto& h = steps[{run.kind, s.property}];
      if (!h) h.reset(new DwHistogram(dwDurationBuckets()));
      h->observe(static_cast<double>(s.secs));
    }
  }
  m->family("blr_workflow_runs_in_progress", "gauge",
            "Pairs in the transitional status of a workflow, by workflow.");
  for (const auto& r : running) m->sample("blr_workflow_runs_in_progress", {{"kind", r.first}}, r.second);
  m->family("blr_workflow_runs_total", "counter",
            "Workflow runs of recovery plans on pairs, by workflow and outcome.");
  for (const auto& r : planRuns)
    m->sample("blr_workflow_runs_total", {{"kind", r.first.first}, {"outcome", r.first.second}},
              static_cast<double>(r.second));
  m->family("blr_pair_status_changes_total", "counter",
            "Status changes recorded in the event log, by the status taken.");
  for (const auto& c : statusChanges)
    m->sample("blr_pair_status_changes_total",
              {{"status", fleetStatusName(c.first)}, {"code", std::to_string(c.first)}},
              static_cast<double>(c.second));
  m->family("blr_workflow_step_duration_seconds", "histogram",
            "Durations of the workflow steps whose progress the pair database holds now.");
  for (const auto& s : steps)
    m->histogram("blr_workflow_step_duration_seconds",
                 {{"kind", s.first.first}, {"step", s.first.second}}, s.second->snapshot());
}

// When the certificates in use end: the authority's and this server's own
// (read now, so a renewal shows at once), and those of the servers reached
// since start, the latest of each name.
void certificateMetrics(DwMetricsText* m) {
  const char* name = "blr_certificate_expiry_timestamp_seconds";
  m->family(name, "gauge", "When a certificate in use ends, by its name and role.");
  DWPlatformInfo info;
  const std::pair<const char*, const char*> files[] = {{"sCAFile", "authority"},
                                                       {"sCertFile", "server"}};
  for (const auto& [key, role] : files) {
    std::string path;
    KRP_Cert cert;
    if (info.getString("Security", key, &path) && !krpReadCertFile(path, &cert).IsError())
      m->sample(name, {{"name", cert.clientName}, {"role", role}}, static_cast<double>(cert.notAfter));
  }
  std::set<std::string> shown;
  for (const KRP_Cert& cert : krpServerCertsMet())
    if (shown.insert(cert.clientName).second)
      m->sample(name, {{"name", cert.clientName}, {"role", "peer"}}, static_cast<double>(cert.notAfter));
}

// As the pruner's last pass counted them: a scrape costs no count.
void retentionMetrics(DwMetricsText* m) {
  m->family("blr_anchor_table_rows", "gauge", "Rows of the tables kept by age and count, at the last pruning.");
  for (const BlrTableRows& t : BlrRetention::tableRows())
    m->sample("blr_anchor_table_rows", {{"table", t.table}}, static_cast<double>(t.rows));
  m->family("blr_anchor_prune_batch_longest_seconds", "gauge",
            "The longest delete of the last pruning, the time it held the write lock.");
  m->sample("blr_anchor_prune_batch_longest_seconds", {}, BlrRetention::longestBatchSecs());
}

}  // namespace

std::string anchorMetricsText(DwLinkServer& link, const DwHttpServer::Stats& listener,
                              const AnchorMonitorConfig& config) {
  const Clock::time_point began = Clock::now();
  DwMetricsText m;
  serverMetrics(link, listener, &m);
  certificateMetrics(&m);
  retentionMetrics(&m);
  std::vector<FleetPair> pairs;
  std::vector<FleetRun> runs;
  std::map<std::pair<std::string, std::string>, int64_t> planRuns;
  std::map<int, int64_t> statusChanges;
  FleetRunStates runStates;
  CZuError err = fleetReadPairs(&pairs);
  if (!err.IsError()) err = fleetReadRuns(pairs, &runs);
  if (!err.IsError()) err = fleetCountPlanRuns(&planRuns);
  if (!err.IsError()) err = fleetCountStatusChanges(&statusChanges);
  if (!err.IsError()) err = fleetCountRunStates(&runStates);
  m.family("blr_anchor_fleet_up", "gauge", "1 when the pair database could be read for this scrape.");
  m.sample("blr_anchor_fleet_up", {}, err.IsError() ? 0 : 1);
  if (err.IsError()) {
    blrError("AnchorMonitor", "Scrape without the fleet: %s", err.AsString().c_str());
  } else {
    fleetMetrics(pairs, config.maxPairSeries, &m);
    workflowMetrics(runs, planRuns, statusChanges, &m);
    runMetrics(runStates, &m);
  }
  m.family("blr_anchor_scrape_duration_seconds", "gauge", "Time this scrape took.");
  m.sample("blr_anchor_scrape_duration_seconds", {},
           std::chrono::duration<double>(Clock::now() - began).count());
  return m.text();
}

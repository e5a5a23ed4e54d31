// The central server's monitoring listener, end to end: a trial installation
// (blr certs init) whose blr-anchor serves [Metrics]; the scrape checked by
// promtool and by a real Prometheus server; bad HTTP refused without harm to
// the request link; nothing on the listener changes the pair database.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <chrono>

#include "support/ChildProcess.h"
#include "support/HttpExchange.h"
#include "support/RawPeers.h"
#include "tools/cli/CliEnv.h"

namespace {

// The status line a raw client gets back for `request` ("" when the
// connection was closed without an answer).
std::string rawExchange(int port, const std::string& request) {
  return HttpAnswer(httpExchange(port, request)).statusLine;
}

bool installed(const char* program) {
  return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

class MonitorTest : public ::testing::Test {
 protected:
  // A fleet of three pairs (lags 30, 7200 and 0) and per-pair series for two.
  void SetUp() override {
    env_.startAll("--set sync-delay-ms=300 --set flush-delay-ms=0",
                  "[Metrics]\nnListenPort = 0\nnMaxPairSeries = 2\nnMaxSilent = 8\n");
    std::smatch m;
    std::string out = env_.read(".server0");
    ASSERT_TRUE(std::regex_search(out, m, std::regex("metrics on http://127.0.0.1:(\\d+)/metrics")))
        << out;
    port_ = std::stoi(m[1]);
    const char* names[] = {"web01", "db \"main\"\\01", "mail01"};
    const char* guids[] = {"6f1c0a3e-5b7d-4c2a-9e8f-1a2b3c4d5e6f",
                           "5e4d3c2b-1a09-4f8e-8d7c-6b5a49382716",
                           "7a6b5c4d-3e2f-4a1b-9c8d-7e6f5a4b3c2d"};
    for (int i = 0; i < 3; ++i)
      env_.run("blr -r cli.reg pairs create --sub-client 7 --dst-client 3 --head 2 "
               "--tail 3 --src-name '" + std::string(names[i]) + "' --src-guid " +
               guids[i] + " --disk " + std::string(guids[i]).substr(0, 24) +
               "aaaaaaaaaaaa:/vmfs/disk" + std::to_string(i), 0);
    ASSERT_EQ(env_.blr("pairs set-lag 1 30").code, 0);
    ASSERT_EQ(env_.blr("pairs set-lag 2 7200").code, 0);
    ASSERT_EQ(env_.blr("pairs set-status 2 18").code, 0);
  }

  HttpAnswer get(const std::string& path) { return HttpAnswer(httpExchange(port_, httpRequest("GET", path))); }
  // A scrape once it holds `line`: a request is counted just after its
  // answer is sent, so a scrape at once may not see it yet (5 s at most).
  HttpAnswer scrapeShowing(const std::string& line) {
    HttpAnswer r = get("/metrics");
    for (int i = 0; i < 100 && r && r.body.find(line) == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      r = get("/metrics");
    }
    return r;
  }

  CliEnv env_;
  int port_ = 0;
};

// The metric names in `expr` (blr_*), as written.
std::set<std::string> metricNames(const std::string& expr) {
  std::set<std::string> names;
  std::regex name("\\bblr_[a-z0-9_]+");
  for (std::sregex_iterator it(expr.begin(), expr.end(), name), end; it != end; ++it)
    names.insert(it->str());
  return names;
}

TEST_F(MonitorTest, ScrapeShowsTheFleetAndBadRequestsAreRefused) {
  auto r = scrapeShowing(
      "blr_anchor_request_duration_seconds_count{service=\"BLR\",request=\"set_pair_status\"} 1\n");
  ASSERT_TRUE(r);
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  const std::string& text = r.body;
  env_.write("scrape.txt", text);
  if (installed("promtool")) {
    env_.run("promtool check metrics < scrape.txt", 0);
  } else {
    ADD_FAILURE() << "promtool is missing: scripts/test.sh installs the Debian package prometheus";
  }
  // The two worst lags keep series of their own, labelled with their clients;
  // the third is counted as omitted.  Quotes and backslashes are escaped.
  // Then the server's own figures: three creations counted, none failed.
  for (const char* line :
       {"blr_pair_lag_seconds{pair_id=\"2\",source=\"db \\\"main\\\"\\\\01\",head=\"head1\",tail=\"tail1\"} 7200\n",
        "blr_pair_lag_seconds{pair_id=\"1\",source=\"web01\",head=\"head1\",tail=\"tail1\"} 30\n",
        "blr_pair_series_omitted 1\n", "blr_pair_lag_worst_seconds 7200\n",
        "blr_pairs{status=\"failback failed\",code=\"18\"} 1\n", "blr_pairs{status=\"new\",code=\"0\"} 2\n",
        "blr_pair_status_code{pair_id=\"2\"",
        "blr_anchor_requests_total{service=\"BLR\",request=\"create_or_update_pair\"} 3\n",
        "blr_anchor_request_errors_total{service=\"BLR\",request=\"create_or_update_pair\"} 0\n",
        "blr_anchor_request_duration_seconds_count{service=\"BLR\",request=\"set_pair_lag_time\"} 2\n",
        "blr_anchor_db_handles{database=\"Anchor\",state=\"idle\"}", "blr_anchor_fleet_up 1\n",
        "blr_runs{state=\"running\"} 0\n", "blr_run_oldest_running_age_seconds 0\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  EXPECT_EQ(text.find("blr_pair_lag_seconds{pair_id=\"3\""), std::string::npos);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, std::regex("blr_anchor_frames_total\\{direction=\"in\"\\} (\\d+)")));
  EXPECT_GE(std::stoi(m[1]), 6);
  // The pairs' creations and changes went through the database's writer;
  // every flush of its log is made inside a commit's wait for one.
  auto counter = [&](const std::string& name) {
    std::smatch v;
    EXPECT_TRUE(std::regex_search(text, v, std::regex(name + "\\{database=\"Anchor\"\\} (\\S+)"))) << name;
    return v.empty() ? -1.0 : std::stod(v[1]);
  };
  EXPECT_GE(counter("blr_anchor_db_writes_total"), 6);
  EXPECT_GE(counter("blr_anchor_db_log_flushes_total"), 1);
  EXPECT_GE(counter("blr_anchor_db_commit_flush_wait_seconds_total"), counter("blr_anchor_db_log_flush_seconds_total"));
  EXPECT_GE(counter("blr_anchor_db_write_held_seconds_total"), 0);

  // Every query of the shipped Grafana dashboard and alert rules names only
  // series this server exports: a renamed metric fails here, not on a silent
  // panel or an alert that can never fire.
  std::set<std::string> exported;
  std::istringstream lines(text);
  std::regex type("# TYPE (\\S+) (\\S+)");
  for (std::string line; std::getline(lines, line);) {
    if (!std::regex_match(line, m, type)) continue;
    exported.insert(m[1]);
    if (m[2] == "histogram")
      for (const char* part : {"_bucket", "_sum", "_count"}) exported.insert(m[1].str() + part);
  }
  ASSERT_GT(exported.size(), 10u) << text;

  std::map<std::string, std::set<std::string>> used;  // metric -> where
  std::ifstream dashboardFile(std::string(BLR_SOURCE_DIR) + "/monitoring/grafana/blr.json");
  nlohmann::json dashboard = nlohmann::json::parse(dashboardFile);
  std::string where;
  std::function<void(const nlohmann::json&)> walk = [&](const nlohmann::json& j) {
    if (j.is_object() && j.contains("title") && j["title"].is_string()) where = j["title"];
    if (j.is_object() && j.contains("expr") && j["expr"].is_string())
      for (const std::string& n : metricNames(j["expr"])) used[n].insert("panel " + where);
    if (j.is_object() && j.contains("definition") && j["definition"].is_string())
      for (const std::string& n : metricNames(j["definition"])) used[n].insert("variable");
    if (j.is_structured())
      for (const auto& item : j) walk(item);
  };
  walk(dashboard);
  EXPECT_GE(dashboard["panels"].size(), 10u);

  std::ifstream rules(std::string(BLR_SOURCE_DIR) + "/monitoring/prometheus/blr-alerts.yml");
  int exprs = 0;
  for (std::string line; std::getline(rules, line);) {
    size_t at = line.find("expr:");
    if (at == std::string::npos) continue;
    ++exprs;
    for (const std::string& n : metricNames(line.substr(at))) used[n].insert("alert rule");
  }
  EXPECT_GE(exprs, 4);

  EXPECT_GE(used.size(), 12u);
  for (const auto& [name, places] : used)
    EXPECT_EQ(exported.count(name), 1u) << name << " (used by " << *places.begin()
                                        << ") is not in the scrape";

  // Load balancers ask /health (the failover tests cover "not ready").
  auto health = get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(health.body, "ready\n");

  // A request the service refuses is counted as failed.
  EXPECT_EQ(env_.blr("pairs create --sub-client 7 --head 2 --tail 3 --src-name nodisk "
                     "--src-guid 0b0b0b0b-1a09-4f8e-8d7c-6b5a49382716").code,
            1);
  r = scrapeShowing(
      "blr_anchor_request_errors_total{service=\"BLR\",request=\"create_or_update_pair\"} 1\n");
  ASSERT_TRUE(r);
  EXPECT_NE(r.body.find("blr_anchor_request_errors_total{service=\"BLR\",request=\"create_or_update_pair\"} 1\n"),
            std::string::npos);
  EXPECT_NE(r.body.find("blr_anchor_requests_total{service=\"BLR\",request=\"create_or_update_pair\"} 4\n"),
            std::string::npos);

  // The lag history: six hours, a minute apart; a query that is not a list
  // of pair ids is refused.
  auto lag = get("/api/lag?pairs=1,2");
  ASSERT_TRUE(lag);
  EXPECT_EQ(lag.status, 200);
  EXPECT_EQ(CliEnv::Json::parse(lag.body)["fleet"]["max"].size(), 360u) << lag.body;
  for (const char* query : {"pairs=1;2", "pairs=99999999999", "other=1"})
    EXPECT_EQ(get(std::string("/api/lag?") + query).status, 400) << query;

  // Bad requests are refused, and nothing is written.
  const std::string pairsBefore = env_.blr("--json pairs list").out;
  const size_t eventsBefore = env_.run("blr-anchor events list --limit 0 --registry anchor.reg").out.size();
  for (const char* path : {"/metrics", "/api/pairs", "/"}) {
    for (const char* method : {"POST", "DELETE"}) {
      HttpAnswer result(httpExchange(port_, httpRequest(method, path, method[0] == 'D' ? "" : "{}")));
      EXPECT_EQ(result.status, 405) << method << " " << path;
    }
  }
  for (const char* path : {"/nowhere", "/api/pairs/1", "/../anchor.reg"}) {
    auto notFound = get(path);
    ASSERT_TRUE(notFound);
    EXPECT_EQ(notFound.status, 404) << path;
  }
  EXPECT_EQ(rawExchange(port_, "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n"),
            "HTTP/1.1 414 URI Too Long");
  EXPECT_EQ(rawExchange(port_, "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " +
                                   std::string(20000, 'b') + "\r\n\r\n"),
            "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(rawExchange(port_, "garbage\r\n\r\n"), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(rawExchange(port_, std::string("GET /metrics HTTP/1.1\r\nHost: \x01\xff\r\n"
                                           "Connection: close\r\n\r\n")),
            "HTTP/1.1 200 OK");
  EXPECT_EQ(env_.blr("--json pairs list").out, pairsBefore);
  EXPECT_EQ(env_.run("blr-anchor events list --limit 0 --registry anchor.reg").out.size(),
            eventsBefore);
  r = get("/metrics");
  ASSERT_TRUE(r);
  EXPECT_EQ(r.status, 200);
  // The listener counts what it refused: 6 methods, 414, two 400s.
  std::smatch refused;
  ASSERT_TRUE(std::regex_search(r.body, refused, std::regex(
      "blr_anchor_connections_refused_total\\{listener=\"metrics\",reason=\"bad_request\"\\} (\\d+)")))
      << r.body;
  EXPECT_EQ(std::stoi(refused[1]), 9);
  // Silent connections beyond the registry's nMaxSilent are closed, and
  // counted with the pending ones.
  auto pendingLimit = [&](const std::string& body) {
    std::smatch m;
    return std::regex_search(body, m, std::regex("blr_anchor_connections_refused_total\\{listener=\"metrics\","
                                                 "reason=\"pending_limit\"\\} (\\d+)"))
               ? std::stoi(m[1])
               : -1;
  };
  const int shedBefore = pendingLimit(r.body);
  std::vector<std::unique_ptr<RawPeer>> silent;
  for (int i = 0; i < 12; ++i) silent.emplace_back(new RawPeer("127.0.0.1", port_, "127.0.0.9"));
  r = get("/metrics");
  ASSERT_TRUE(r);
  EXPECT_GE(pendingLimit(r.body) - shedBefore, 4) << "shedBefore " << shedBefore;
}

// A real Prometheus server scrapes the central server and answers the lag of
// a known pair through its query API.
TEST_F(MonitorTest, PrometheusScrapesTheLagOfAPair) {
  if (!installed("prometheus"))
    GTEST_SKIP() << "prometheus is missing: scripts/test.sh installs the Debian package prometheus";
  const int promPort = freePort();
  ASSERT_NE(promPort, 0);
  env_.write("prometheus.yml",
             "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
             "scrape_configs:\n  - job_name: blr-anchor\n    static_configs:\n"
             "      - targets: ['127.0.0.1:" + std::to_string(port_) + "']\n");
  ASSERT_NE(env_.start("prometheus --config.file=prometheus.yml --storage.tsdb.path=promdata "
                       "--web.listen-address=127.0.0.1:" + std::to_string(promPort)),
            "");
  std::string value;
  for (int i = 0; i < 600 && value.empty(); ++i) {  // 60 s
    // HTTP/1.0: an answer without chunks.
    HttpAnswer r(httpExchange(promPort, "GET /api/v1/query?query=blr_pair_lag_seconds%7Bpair_id%3D%221%22%7D"
                                        " HTTP/1.0\r\n\r\n"));
    if (r.status == 200) {
      CliEnv::Json answer = CliEnv::Json::parse(r.body, nullptr, false);
      if (!answer.is_discarded() && answer["data"]["result"].size() == 1) {
        EXPECT_EQ(answer["data"]["result"][0]["metric"]["source"], "web01");
        EXPECT_EQ(answer["data"]["result"][0]["metric"]["job"], "blr-anchor");
        value = answer["data"]["result"][0]["value"][1];
      }
    }
    if (value.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(value, "30");
}

// With TLS, the listener presents the installation's certificate and, when
// told to, answers only clients holding one of its authority.
TEST(MonitorTlsTest, ClientsNeedACertificateOfTheAuthority) {
  // The refused clients write into connections the server has closed.
  signal(SIGPIPE, SIG_IGN);
  CliEnv env;
  ASSERT_EQ(env.run("blr certs init . --proxy head1 --operator cli --registries").code, 0);
  // A setting that is not a number stops the server rather than being ignored.
  env.write("bad.reg", env.read("anchor.reg") + "[Metrics]\nnListenPort = 0\nnTls = yes\n");
  CliEnv::Result bad = env.run("blr-anchor serve --registry bad.reg");
  EXPECT_NE(bad.code, 0);
  EXPECT_NE(bad.err.find("nTls = \"yes\" is not a number from 0 to 1"), std::string::npos) << bad.err;
  env.append("anchor.reg", "[Metrics]\nnListenPort = 0\nnTls = 1\nnRequireClientCert = 1\n");
  ASSERT_NE(env.start("blr-anchor serve --registry anchor.reg"), "");
  std::smatch m;
  std::string out = env.read(".server0");
  ASSERT_TRUE(std::regex_search(out, m, std::regex("metrics on https://127.0.0.1:(\\d+)/metrics")))
      << out;
  const int port = std::stoi(m[1]);
  auto context = [&](const std::string& cert) {
    std::shared_ptr<TlsContext> tls;
    EXPECT_FALSE(TlsContext::create({env.dir + "/ca.crt", cert.empty() ? "" : env.dir + "/" + cert + ".crt",
                                     cert.empty() ? "" : env.dir + "/" + cert + ".key", ""},
                                    &tls)
                     .IsError());
    return tls;
  };
  HttpAnswer r(httpExchange(port, httpRequest("GET", "/metrics"), context("cli")));
  ASSERT_TRUE(r);
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("blr_anchor_fleet_up 1"), std::string::npos);
  EXPECT_NE(r.body.find("blr_certificate_expiry_timestamp_seconds{name=\"anchor\",role=\"server\"}"),
            std::string::npos);
  // TLS 1.2 with an AEAD suite is served; CBC suites and TLS 1.1 are not.
  const std::pair<const char*, bool> offers[] = {{"-tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256", true},
                                                 {"-tls1_2 -cipher ECDHE-ECDSA-AES128-SHA", false},
                                                 {"-tls1_1 -cipher ALL@SECLEVEL=0", false}};
  for (const auto& [offer, served] : offers)
    EXPECT_EQ(env.run("openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                      " -cert cli.crt -key cli.key " + offer + " </dev/null").code == 0,
              served)
        << offer;
  EXPECT_FALSE(HttpAnswer(httpExchange(port, httpRequest("GET", "/metrics"), context(""))));
  EXPECT_EQ(rawExchange(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"), "");  // not TLS
}

// The ```yaml blocks of a Markdown file, in order.
std::vector<std::string> yamlBlocks(const std::string& file) {
  std::ifstream in(std::string(BLR_SOURCE_DIR) + "/" + file);
  std::vector<std::string> blocks;
  bool inBlock = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("```", 0) == 0) {
      inBlock = !inBlock && line == "```yaml";
      if (inBlock) blocks.emplace_back();
      continue;
    }
    if (inBlock) blocks.back() += line + "\n";
  }
  return blocks;
}

// The documentation's scrape configurations are valid Prometheus
// configuration; the alert rules are a file of their own (monitoring/).
TEST(MonitorDocsTest, ScrapeConfigsAreValid) {
  if (!installed("promtool"))
    GTEST_SKIP() << "promtool is missing: scripts/test.sh installs the Debian package prometheus";
  std::vector<std::string> blocks = yamlBlocks("docs/monitoring.md");
  ASSERT_EQ(blocks.size(), 3u);
  CliEnv env;
  for (const std::string& block : blocks) {
    env.write("prometheus.yml", block);
    env.run("promtool check config --syntax-only prometheus.yml", 0);
  }
}

}  // namespace

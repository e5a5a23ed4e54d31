// blr-anchor: the central server of the pair database.
//
//   blr-anchor serve --registry FILE
//   blr-anchor client add|list|remove ... --registry FILE
//   blr-anchor events list [--entity-type T] [--entity-id N] [--by NAME] [--limit N]
//                          --registry FILE
//   blr-anchor health [--server HOST:PORT] --registry FILE
//   blr-anchor migrate --registry FILE
//
// "serve" brings the database schemas to this release's version (as
// "migrate" does, which then exits), installs the pair
// database service and the client directory, and answers the request link
// over TLS until SIGTERM or SIGINT, finishing the requests in flight; SIGHUP
// reloads the debug levels, certificates and revocation list.  Under a
// service manager it reports ready, stopping and alive (ServiceLoop.h).  The
// other commands work directly on the configured database.  "health" exits
// 0 ("ready") only when the server takes connections and its database
// answers, for load balancers and service managers.
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "AnchorMonitor.h"
#include "AnchorRunner.h"
#include "ServiceLoop.h"
#include "ToolVersion.h"

#include "BLR/BlrDBSvc.h"
#include "BLR/BlrDebug.h"
#include "BLR/BlrRetention.h"
#include "host/clients/DWClientDirectory.h"
#include "host/config/DWPlatformInfo.h"
#include "host/sql/DWSimpleDBConnObject.h"
#include "host/sql/DWSqlSchema.h"
#include "host/net/DwTcp.h"
#include "host/link/DwLinkConfig.h"
#include "host/link/DwLinkServer.h"
#include "host/tls/KrpPeerPolicy.h"
#include "host/tls/TlsContext.h"
#include "host/log/EvEvent.h"

namespace {

const char kLogContext[] = "blr-anchor";

int fail(const CZuError& err) {
  std::fprintf(stderr, "blr-anchor: %s\n", err.Summary().c_str());
  return 1;
}

// The server also keeps the whole error in its log.
int serverFail(const CZuError& err) {
  blrError(kLogContext, "%s", err.AsString().c_str());
  return fail(err);
}

// Brings both databases to this release's schema; `report` gets one line
// per database.
CZuError createSchemas(std::vector<std::string>* report) {
  for (const char* db : {"Anchor", "HistoryDB"}) {
    DWSchemaMigration migration;
    CZuError err = DWCreateSchema(db, &migration);
    if (err.IsError()) return err.Push(FXLOC, "Couldn't migrate %s", db);
    std::string line = std::string(db) + ": schema version " + std::to_string(migration.to);
    if (!migration.applied.empty()) line += " (was " + std::to_string(migration.from) + "; applied";
    for (const std::string& step : migration.applied) line += " " + step;
    if (!migration.applied.empty()) line += ")";
    if (report != nullptr) report->push_back(line);
  }
  return EvEvent::upgradeTable();
}

// The host name clients reach this server by: the address it listens on, or
// this machine's network name when it listens on all of them.
std::string hostForClients(const DwLinkServerConfig& config) {
  std::string host = config.address;
  if (host.empty() || host == "0.0.0.0" || host == "::") {
    host.clear();
    DWPlatformInfo().getString("Host", "sNetHostName", &host);
  }
  char name[256] = "";
  if (host.empty() && gethostname(name, sizeof name - 1) == 0) host = name;
  return host;
}

// SIGHUP: the debug levels, and the certificates and revocation list from the
// registry for the connections accepted from now on.  What fails to load is
// logged and the settings in force stay.
void reload(DwLinkServer* server) {
  serviceReloadDebugLevels();
  std::shared_ptr<TlsContext> tls;
  CZuError err = TlsContext::fromRegistry(&tls);
  if (!err.IsError()) err = tls->reloadRevocation();
  if (err.IsError()) {
    blrError(kLogContext, "Kept the TLS settings in force: %s", err.Summary().c_str());
    return;
  }
  server->setTls(std::move(tls));
}

// The directory of this program, where the installed status page is found.
std::string programDir() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string dir = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string(".");
  return dir.substr(0, dir.rfind('/'));
}

int serve() {
  sigset_t signals = serviceBlockSignals();  // before any thread starts
  // The monitoring listener's TLS writes use a plain socket BIO: a reader
  // that vanishes mid-answer must cost a failed write, not the server.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> schemas;
  CZuError err = createSchemas(&schemas);
  if (err.IsError()) return serverFail(err);
  for (const std::string& line : schemas) blrDebug(kLogContext, 1, "%s", line.c_str());
  DwLinkServerConfig config;
  err = DwLinkServerConfig::fromRegistry(&config);
  if (err.IsError()) return serverFail(err);
  // Registered clients and operators only; the directory is read on demand.
  if (!err.IsError())
    err = KrpPeerPolicy::forLinkServer(
        [](KrpPeerPolicy::Names* names) {
          std::vector<DWClientInfo> clients;
          CZuError e = DWClientDirectory::list(&clients);
          for (const DWClientInfo& c : clients) names->insert(c.name);
          return e;
        },
        &config.peers);
  if (err.IsError()) return serverFail(err);
  initBlrDBSvc();
  DWClientDirectorySvc directory(KrpPeerPolicy::operatorNames());
  DwLinkServer server;
  err = server.start(config);
  if (err.IsError()) return serverFail(err.Push(FXLOC, "Couldn't start the link server"));
  AnchorMonitorConfig monitorConfig;
  err = AnchorMonitorConfig::fromRegistry(programDir(), &monitorConfig);
  AnchorMonitor monitor(server);
  if (!err.IsError() && monitorConfig.enabled) err = monitor.start(monitorConfig);
  if (err.IsError()) return serverFail(err.Push(FXLOC, "Couldn't start the metrics listener"));
  // Old events, statistics and finished runs go in the background.
  BlrRetention retention;
  err = retention.start();
  if (err.IsError()) return serverFail(err);
  // Runs submitted for a runner, and runs whose runner went away.
  AnchorRunnerConfig runnerConfig;
  err = AnchorRunnerConfig::fromRegistry(&runnerConfig);
  if (err.IsError()) return serverFail(err);
  AnchorRunner runner;
  runner.start(runnerConfig);
  const char* address = config.address.empty() ? "*" : config.address.c_str();
  blrDebug(kLogContext, 1, "Serving the pair database on %s:%d", address, server.port());
  std::printf("listening on %s:%d (clients: [Link] sServerHost = %s, nServerPort = %d)\n", address,
              server.port(), hostForClients(config).c_str(), server.port());
  if (monitorConfig.enabled)
    std::printf("metrics on %s://%s:%d/metrics\n", monitorConfig.http.tls ? "https" : "http",
                monitorConfig.http.address.c_str(), monitor.port());
  std::fflush(stdout);

  ServiceHooks hooks;
  // A server wedged on its own locks blocks here, and the watchdog restarts it.
  hooks.alive = [&server] {
    server.stats();
    return !server.stopping();
  };
  hooks.reload = [&server] { reload(&server); };
  int received = serviceRun(signals, hooks);
  blrDebug(kLogContext, 1, "Got signal %d: stopping after the requests in flight", received);
  runner.stop();
  retention.stop();
  monitor.stop();
  server.stop();
  DwLinkServer::Stats stats = server.stats();
  blrDebug(kLogContext, 1, "Stopped after %llu requests on %llu connections",
           static_cast<unsigned long long>(stats.requests),
           static_cast<unsigned long long>(stats.acceptor.accepted));
  return 0;
}

int listClients() {
  std::vector<DWClientInfo> clients;
  CZuError err = DWClientDirectory::list(&clients);
  if (err.IsError()) return fail(err);
  std::printf("%-8s %-24s %-32s %-8s %s\n", "ID", "NAME", "HOST", "DWD", "EVMGRC");
  for (const DWClientInfo& c : clients)
    std::printf("%-8d %-24s %-32s %-8d %d\n", c.id, c.name.c_str(), c.netHostName.c_str(),
                c.dwdPort, c.evmgrcPort);
  return 0;
}

int listEvents(const EvEvent::Filter& filter) {
  std::vector<EvEventRecord> events;
  CZuError err = EvEvent::list(filter, &events);
  if (err.IsError()) return fail(err);
  for (const EvEventRecord& e : events) {
    char when[32];
    struct tm t;
    gmtime_r(&e.time, &t);
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &t);
    std::printf("%s 0x%08X severity=%d entity=%d/%lld", when, static_cast<unsigned>(e.eventId),
                e.severity, e.entityType, e.entityId);
    for (const std::string& a : e.arguments) std::printf(" \"%s\"", a.c_str());
    if (!e.actor.empty()) std::printf(" by=%s", e.actor.c_str());
    std::printf("\n");
  }
  return 0;
}

// The server's listening port answers, and a query on "Anchor" with the
// server's database settings does (on PostgreSQL with target_session_attrs
// =read-write, only on the server that takes writes).
CZuError checkHealth(std::string server) {
  DwLinkServerConfig config;
  CZuError err = DwLinkServerConfig::fromRegistry(&config);
  if (err.IsError()) return err;
  std::string host = config.address.empty() || config.address == "0.0.0.0" ? "127.0.0.1"
                     : config.address == "::"                               ? "::1"
                                                                              : config.address;
  int port = config.port;
  if (!server.empty()) err = dwLinkParseAddress(server, &host, &port);
  if (!err.IsError() && port == 0)
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "The server listens on any free port: name it with --server");
  CZuSocket socket;
  if (!err.IsError()) err = dwTcpConnect(host, port, 5000, &socket);
  if (err.IsError()) return err.Push(FXLOC, "The server does not take connections");
  return anchorDatabaseAnswers();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Central server of the pair database"};
  app.require_subcommand(1);
  std::string registry;
  app.add_option("--registry", registry, "Registry file of this server")
      ->required()
      ->check(CLI::ExistingFile);
  app.fallthrough();
  app.set_version_flag("--version", toolVersionText("blr-anchor"));

  CLI::App* serveCmd = app.add_subcommand("serve", "Serve the pair database in the foreground");

  CLI::App* clientCmd = app.add_subcommand("client", "Edit the client directory");
  clientCmd->require_subcommand(1);
  clientCmd->fallthrough();
  DWClientInfo client;
  CLI::App* addCmd = clientCmd->add_subcommand("add", "Add a client");
  addCmd->add_option("--id", client.id, "Client id")->required()->check(CLI::Range(1, INT32_MAX));
  addCmd->add_option("--name", client.name, "Client name")->required();
  addCmd->add_option("--host", client.netHostName, "Network host name or address")->required();
  addCmd->add_option("--dwd-port", client.dwdPort, "Communications port")
      ->required()
      ->check(CLI::Range(1, 65535));
  addCmd->add_option("--evmgrc-port", client.evmgrcPort, "Event manager port")
      ->required()
      ->check(CLI::Range(1, 65535));
  addCmd->fallthrough();
  CLI::App* listCmd = clientCmd->add_subcommand("list", "List the clients");
  listCmd->fallthrough();
  int removeId = 0;
  CLI::App* removeCmd = clientCmd->add_subcommand("remove", "Remove a client");
  removeCmd->add_option("--id", removeId, "Client id")->required();
  removeCmd->fallthrough();

  CLI::App* eventsCmd = app.add_subcommand("events", "Read the event log");
  eventsCmd->require_subcommand(1);
  eventsCmd->fallthrough();
  EvEvent::Filter filter;
  CLI::App* eventsListCmd = eventsCmd->add_subcommand("list", "List events, newest first");
  eventsListCmd->add_option("--entity-type", filter.entityType, "Only this entity type");
  eventsListCmd->add_option("--entity-id", filter.entityId, "Only this entity id");
  eventsListCmd->add_option("--by", filter.actor, "Only events caused by this client name");
  eventsListCmd->add_option("--limit", filter.limit, "At most this many (0: all)")
      ->check(CLI::NonNegativeNumber);
  eventsListCmd->fallthrough();

  CLI::App* healthCmd =
      app.add_subcommand("health", "Exit 0 when the server takes connections and its database answers");
  std::string healthServer;
  healthCmd->add_option("--server", healthServer, "HOST:PORT of the server (default: its registry's)");
  healthCmd->fallthrough();

  CLI::App* migrateCmd =
      app.add_subcommand("migrate", "Bring the databases to this release's schema version, then exit");
  migrateCmd->fallthrough();

  CLI11_PARSE(app, argc, argv);

  CZuError err = DWPlatformInfo::loadRegistryFile(registry);
  if (err.IsError()) return fail(err);
  if (serveCmd->parsed()) return serve();
  if (healthCmd->parsed()) {
    err = checkHealth(healthServer);
    std::printf(err.IsError() ? "not ready: %s\n" : "ready\n", err.Summary().c_str());
    return err.IsError() ? 1 : 0;
  }
  std::vector<std::string> report;
  err = createSchemas(&report);
  if (err.IsError()) return fail(err);
  if (migrateCmd->parsed()) {
    for (const std::string& line : report) std::printf("%s\n", line.c_str());
    return 0;
  }
  if (addCmd->parsed()) {
    err = DWClientDirectory::add(client);
    return err.IsError() ? fail(err) : 0;
  }
  if (listCmd->parsed()) return listClients();
  if (removeCmd->parsed()) {
    err = DWClientDirectory::remove(removeId);
    return err.IsError() ? fail(err) : 0;
  }
  if (eventsListCmd->parsed()) return listEvents(filter);
  return 2;
}

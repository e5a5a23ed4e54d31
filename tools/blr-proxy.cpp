// blr-proxy: a simulator of the replication service "BlrCtrlSvc" of a proxy
// (Head or Tail), with its port lookup, for exercising control clients and
// the recovery workflows against a real peer.  See docs/proxy.md.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BLR/BlrDebug.h"
#include "BLR/BlrReg.h"
#include "ProxyConfig.h"
#include "ProxyServer.h"
#include "ProxyState.h"
#include "ServiceLoop.h"
#include "host/config/DWPlatformInfo.h"
#include "host/net/DwHostName.h"
#include "host/link/DwLinkConfig.h"
#include "host/tls/KrpPeerPolicy.h"
#include "host/tls/TlsContext.h"

namespace {

constexpr char kSection[] = "Proxy";
constexpr int kDefaultCtrlPort = 8408;
constexpr int kDefaultCtrlPort2 = 8409;

struct Options {
  std::string registry;
  std::string address;
  int port = -2;  // -2: from the registry
  int port2 = -2;
  int dwdPort = -2;
  std::string controlFile;
  std::string stateFile;
  std::string requestLog;
  std::vector<std::string> faults;
  std::vector<std::string> settings;
  bool noDb = false;
};

long long registryNumber(const char* section, const char* key, long long def) {
  DWPlatformInfo info;
  long long value = def;
  info.getNumber(section, key, &value);
  return value;
}

std::string registryString(const char* section, const char* key) {
  DWPlatformInfo info;
  std::string value;
  info.getString(section, key, &value);
  return value;
}

// Settings from the registry, then "--set" options, then faults.
CZuError buildControl(const Options& opt, ProxySettings* settings, ProxyFaults* faults) {
  settings->syncDelayMs = static_cast<int>(
      registryNumber(kSection, "nSyncDelayMs", settings->syncDelayMs));
  settings->flushDelayMs = static_cast<int>(
      registryNumber(kSection, "nFlushDelayMs", settings->flushDelayMs));
  for (const std::string& s : opt.settings) {
    size_t eq = s.find('=');
    CZuError err = eq == std::string::npos
                       ? FXErrorUtil::ErrorInt(FXLOC, 1, "Setting \"%s\" is not name=value",
                                               s.c_str())
                       : settings->set(s.substr(0, eq), s.substr(eq + 1));
    if (err.IsError()) return err;
  }
  for (const std::string& f : opt.faults) {
    ProxyFaultKey key;
    ProxyFault fault;
    CZuError err = proxyParseFault(f, &key, &fault);
    if (err.IsError()) return err;
    (*faults)[key] = fault;
  }
  return CZuError();
}

CZuError buildServerConfig(const Options& opt, ProxyServerConfig* config) {
  config->address = opt.address.empty() ? registryString(kSection, "sListenAddress") : opt.address;
  config->port = opt.port != -2 ? opt.port
                                : static_cast<int>(registryNumber(kSection, "nCtrlPort",
                                                                  kDefaultCtrlPort));
  config->port2 = opt.port2 != -2 ? opt.port2
                                  : static_cast<int>(registryNumber(kSection, "nCtrlPort2",
                                                                    kDefaultCtrlPort2));
  config->dwdPort = opt.dwdPort != -2 ? opt.dwdPort
                                      : static_cast<int>(registryNumber("Host", "nDwdPort",
                                                                        kDwDefaultDwdPort));
  config->stateFile = opt.stateFile.empty() ? registryString(kSection, "sStateFile") : opt.stateFile;
  config->requestLog = opt.requestLog;
  config->allowBuiltinCerts = BlrReg::getAllowBuiltinCerts();
  // Admission of connections as for the request link's server ([Link] keys).
  DwLinkServerConfig link;
  CZuError err = DwLinkServerConfig::fromRegistry(&link);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't read this proxy's listener settings");
  config->authTimeoutMs = link.authTimeoutMs;
  config->messageTimeoutMs = link.timeoutMs;
  config->limits = link.limits;
  config->memoryBudgetBytes = link.memoryBudgetBytes;
  config->tls = link.tls;
  return KrpPeerPolicy::forHostServer("control", &config->peers);
}

int fail(const CZuError& err) {
  std::fprintf(stderr, "blr-proxy: %s\n", err.Summary().c_str());
  return 1;
}

// The name clients are told to use: the registry's, with the port the
// lookup really listens on (--dwd-port may override the registry's).
std::string readyName(int dwdPort) {
  DWPlatformInfo info;
  const char* client = info.getPhysicalMachine();
  if (client == nullptr) return "(no [Host] sClientName)";
  std::string mangled, host, name;
  int registryDwd = 0, evmgrc = 0;
  if (!info.getClientHostNameMangled(client, mangled)) return client;
  if (dwdPort > 0 && DemangleHostName(mangled.c_str(), host, name, registryDwd, evmgrc))
    mangled = MangleHostName(host, name, dwdPort, evmgrc);
  return mangled;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  CLI::App app{"Simulator of the replication service BlrCtrlSvc on a proxy"};
  app.add_option("-r,--registry", opt.registry, "Registry file: identity, certificates, ports")
      ->required()
      ->check(CLI::ExistingFile);
  app.add_option("--listen", opt.address, "Address to listen on (default: [Proxy] sListenAddress, all)");
  app.add_option("--port", opt.port, "BlrCtrlSvc's port (0: any free; default [Proxy] nCtrlPort)");
  app.add_option("--port2", opt.port2, "Its second port (0: any free, -1: none; default [Proxy] nCtrlPort2)");
  app.add_option("--dwd-port", opt.dwdPort, "Port lookup (0: any free, -1: none; default [Host] nDwdPort)");
  app.add_option("--control-file", opt.controlFile, "File of faults and settings, re-read when it changes");
  app.add_option("--state-file", opt.stateFile,
                 "File rewritten with the simulated state after every request");
  app.add_option("--request-log", opt.requestLog,
                 "File that every request is appended to as it arrives, one line each");
  app.add_option("--fault", opt.faults, "Fault <operation>=<action> (repeatable)");
  app.add_option("--set", opt.settings, "Setting <name>=<value> (repeatable)");
  app.add_flag("--no-db", opt.noDb, "Don't report pair status changes to the pair database");
  CLI11_PARSE(app, argc, argv);

  CZuError err = DWPlatformInfo::loadRegistryFile(opt.registry);
  if (err.IsError()) return fail(err);
  if (opt.controlFile.empty()) opt.controlFile = registryString(kSection, "sControlFile");

  ProxySettings settings;
  ProxyFaults faults;
  err = buildControl(opt, &settings, &faults);
  if (err.IsError()) return fail(err);
  ProxyServerConfig config;
  err = buildServerConfig(opt, &config);
  if (err.IsError()) return fail(err);

  // Signals are taken by serviceRun below, never by the server's threads.
  sigset_t signals = serviceBlockSignals();

  ProxyControl control(settings, faults, opt.controlFile);
  // Status changes go to the central server's pair database, when one is named.
  std::unique_ptr<ProxyReporter> reporter;
  std::vector<DwLinkAddress> centralServers;
  CZuError noServer = opt.noDb ? CZuError() : dwLinkResolveServers("", &centralServers);
  if (noServer.IsError())
    blrError("blr-proxy", "Pair status changes are not reported: %s", noServer.Summary().c_str());
  else if (!opt.noDb)
    reporter = std::make_unique<ProxyDbReporter>();
  ProxyState state(reporter.get());
  CZuError problem;
  control.refresh(&problem);
  if (problem.IsError()) blrError("blr-proxy", "%s", problem.Summary().c_str());
  state.setSettings(control.settings());
  ProxyServer server(&control, &state);
  err = server.start(config);
  if (err.IsError()) return fail(err);

  std::printf("blr-proxy %s: BlrCtrlSvc on ports %d and %d, port lookup on %d\n",
              readyName(server.dwdPort()).c_str(), server.port(), server.port2(),
              server.dwdPort());
  std::fflush(stdout);

  ServiceHooks hooks;
  hooks.alive = [&server] { return server.waitForConnections(-1, 0) >= 0; };
  hooks.reload = [&config] {
    serviceReloadDebugLevels();
    CZuError e = config.tls->reloadRevocation();
    if (e.IsError()) blrError("blr-proxy", "Kept the revocation list in force: %s", e.Summary().c_str());
  };
  serviceRun(signals, hooks);
  server.stop();
  return 0;
}

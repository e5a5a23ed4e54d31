#include "support/WorkflowEnv.h"

#include <chrono>
#include <cstdio>

#include "BLR/BlrSvcWorkflow.h"
#include "host/clients/DWClient.h"
#include "host/config/DWPlatformInfo.h"
#include "host/sql/DWSqlSchema.h"
#include "host/net/DwHostName.h"
#include "host/link/DwLinkPool.h"
#include "support/TestCerts.h"

namespace {

BlrUUID guid(int seed) {
  char hex[33];
  std::snprintf(hex, sizeof hex, "%08x0000000000000000000000ff", seed);
  return BlrUUID(std::string(hex));
}

}  // namespace

const BlrUUID WorkflowEnv::kSrcVm = guid(1);
const BlrUUID WorkflowEnv::kDstVm = guid(2);

// ---- Simulators ----

CZuError SimReporter::setPairStatus(int pairId, int status, const std::string& message,
                                    int eventId) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    reports_.emplace_back(pairId, status);
    cv_.notify_all();
  }
  return toDb_ ? BlrDB().setPairStatus(pairId, status, message, eventId) : CZuError();
}

std::vector<int> SimReporter::statuses(int pairId, size_t reports) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::seconds(10), [&] { return reports_.size() >= reports; });
  std::vector<int> out;
  for (const auto& [id, status] : reports_)
    if (id == pairId) out.push_back(status);
  return out;
}

ProxySettings SimProxy::instant() {
  ProxySettings s;
  s.syncDelayMs = 0;
  s.flushDelayMs = 0;
  return s;
}

SimProxy::SimProxy(const std::string& clientName, bool toDb)
    : clientName(clientName),
      reporter(toDb),
      control(instant(), ProxyFaults(), ""),
      state(&reporter),
      server(&control, &state) {
  state.setSettings(control.settings());
}

CZuError SimProxy::start() {
  ProxyServerConfig config;
  config.address = "127.0.0.1";
  config.authTimeoutMs = 5000;
  config.limits = limits;
  CZuError err = TlsContext::create(TestCerts::get().config(clientName), &config.tls);
  if (!err.IsError()) err = server.start(config);
  if (err.IsError()) err.Push(FXLOC, "Couldn't start the simulator %s", clientName.c_str());
  return err;
}

CZuError SimProxy::fault(const std::string& rule) {
  ProxyFaultKey key;
  ProxyFault f;
  CZuError err = proxyParseFault(rule, &key, &f);
  if (!err.IsError()) control.setFault(key, f);
  return err;
}

void SimProxy::changeSettings(const std::function<void(ProxySettings&)>& change) {
  ProxySettings settings = control.settings();
  change(settings);
  control.updateSettings(settings);
  state.setSettings(control.settings());
}

std::string SimProxy::mangled(const std::string& name) const {
  return MangleHostName("127.0.0.1", name.empty() ? clientName : name, server.dwdPort(), 1);
}

ProxyProcess::ProxyProcess(const std::string& bin, const std::string& name, int linkPort,
                           std::vector<std::string> args)
    : ProxyProcess(bin, name, TestCerts::get().config(name), "anchor, client1, head1, tail1, job1",
                   linkPort, std::move(args)) {}

ProxyProcess::ProxyProcess(const std::string& bin, const std::string& name, const TlsConfig& tls,
                           const std::string& trusted, int linkPort, std::vector<std::string> args,
                           const std::string& link)
    : process(commandLine(bin, name, tls, trusted, linkPort, std::move(args), link)),
      banner(process.readLine()),
      dwdPort(numberAfter(banner, "port lookup on ")) {}

std::vector<std::string> ProxyProcess::commandLine(const std::string& bin, const std::string& name,
                                                   const TlsConfig& tls, const std::string& trusted,
                                                   int linkPort, std::vector<std::string> args,
                                                   const std::string& link) {
  std::string text = "[Host]\nsClientName = " + name + "\nsNetHostName = 127.0.0.1\n[Security]\n" +
                     "sCAFile = " + tls.caFile + "\nsCertFile = " + tls.certFile +
                     "\nsKeyFile = " + tls.keyFile + "\nsTrustedNames = " + trusted +
                     "\n[EventManager]\nsLogFile = " + log.path() +
                     "\n[Proxy]\nsListenAddress = 127.0.0.1\nnCtrlPort = 0\nnCtrlPort2 = 0\n";
  if (linkPort != 0 || !link.empty()) text += "[Link]\n" + link;
  if (linkPort != 0) text += "sServerHost = 127.0.0.1\nnServerPort = " + std::to_string(linkPort) + "\n";
  registry.write(text);
  args.insert(args.begin(), {bin, "--registry", registry.path(), "--dwd-port", "0"});
  return args;
}

// ---- The database tap ----

CZuError PairDbTap::dispatch(const Map& req, Map* resp, const std::string& from,
                             const KRP_Cert& cert) {
  auto name = req.find("req");
  std::string request = name == req.end() ? "" : name->second;
  bool fails = false;
  std::function<void(const Map&)> observer;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++requests_;
    std::vector<char> body = blrGetBlob(req);
    auto range = failing_.equal_range(request);
    for (auto it = range.first; it != range.second && !fails; ++it)
      fails =
          std::search(body.begin(), body.end(), it->second.begin(), it->second.end()) != body.end();
    observer = observer_;
  }
  if (observer) observer(req);
  if (fails) return FXErrorUtil::ErrorInt(FXLOC, 1, "Injected failure of %s", request.c_str());
  return service_->dispatch(req, resp, from, cert);
}

// ---- The installation ----

WorkflowEnv::WorkflowEnv(const std::string& logFile, bool onDisk)
    // In memory where the machine has it, unless asked: every commit is
    // synchronous.
    : dir(std::make_unique<TempDir>(onDisk ? "/tmp" : "/dev/shm")) {
  DWPlatformInfo::reset();
  DWPlatformInfo::setValue("Database", "sBackend", "sqlite");
  DWPlatformInfo::setValue("Database", "sSqliteDir", dir->path());
  TestCerts::get().useInRegistry("job1");
  DWPlatformInfo::setValue("EventManager", "sLogFile", logFile);
}

WorkflowEnv::~WorkflowEnv() {
  head.reset();  // their connections may still report to the services
  tail.reset();
  tap.reset();
  clients.reset();
  service.reset();
  DwLinkPool::instance().clear();
  DWPlatformInfo::reset();
}

CZuError WorkflowEnv::startDatabase() {
  if (dir->path().empty()) return FXErrorUtil::ErrorInt(FXLOC, 1, "No database directory");
  CZuError err = DWCreateSchema("Anchor");
  if (err.IsError()) return err.Push(FXLOC, "Couldn't create the pair database");
  service = std::make_unique<BlrDBSvc>();
  clients = std::make_unique<DWClientDirectorySvc>();
  tap = std::make_unique<PairDbTap>(service.get());
  return CZuError();
}

CZuError WorkflowEnv::addClient(int id, const std::string& name, int dwdPort) {
  DWClientInfo client;
  client.id = id;
  client.name = name;
  client.netHostName = "127.0.0.1";
  client.dwdPort = dwdPort;
  client.evmgrcPort = 1;
  return DWClientDirectory::add(client);
}

CZuError WorkflowEnv::start() {
  CZuError err = startDatabase();
  head = std::make_unique<SimProxy>("head1", true);
  tail = std::make_unique<SimProxy>("tail1", true);
  if (!err.IsError()) err = head->start();
  if (!err.IsError()) err = tail->start();
  if (!err.IsError()) err = addClient(kHeadClient, "head1", head->server.dwdPort());
  if (!err.IsError()) err = addClient(kTailClient, "tail1", tail->server.dwdPort());
  return err;
}

CZuError WorkflowEnv::addPair(int* pairId) {
  BlrDB::Pair pair;
  pair.subClientId = 3;
  pair.dstClientId = kTailClient;
  pair.headClientId = kHeadClient;
  pair.tailClientId = kTailClient;
  pair.srcName = "vm1";
  pair.dstName = "vm1-dr";
  pair.srcGuid = kSrcVm;
  pair.dstGuid = kDstVm;
  BlrDB::Disk disk;
  disk.srcPath = "/src/vm1/disk0";
  disk.dstPath = "/dst/vm1/disk0";
  disk.srcGuid = guid(3);
  disk.dstGuid = guid(4);
  pair.disks.push_back(disk);
  CZuError err = BlrDB().createOrUpdatePair(pair);
  if (err.IsError()) return err;
  *pairId = pair.id;
  int id = pair.id;
  return control(kHeadClient, [id](BlrCtrl& c) { return c.startPair(id); });
}

CZuError WorkflowEnv::addFailedOverPair(int* pairId) {
  CZuError err = addPair(pairId);
  int id = *pairId;
  if (!err.IsError()) err = BlrSvcWorkflow(id).failover(false, true, nullptr);
  if (!err.IsError()) err = BlrDB().setPairStatus(id, BlrSvcWorkflow::STATUS_FAILED_OVER, "", 0);
  if (!err.IsError())  // the caller boots the recovery VM
    err = control(kTailClient, [id](BlrCtrl& c) { return c.powerOnOffTailVM(id, true, nullptr); });
  return err;
}

CZuError WorkflowEnv::control(int clientId, const std::function<CZuError(BlrCtrl&)>& action) {
  BlrCtrl ctrl;
  CZuError err = ctrl.connectToClient(clientId);
  return err.IsError() ? err : action(ctrl);
}

void WorkflowEnv::clearFaults() {
  if (tap) tap->clear();
  if (head) head->clearFaults();
  if (tail) tail->clearFaults();
}

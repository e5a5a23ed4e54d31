#include "WorkflowEnv.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "BLR/BlrCtrl.h"
#include "BLR/BlrSvcWorkflow.h"
#include "host/DWClient.h"
#include "host/DWPlatformInfo.h"
#include "host/DWSqlSchema.h"
#include "host/DwHostName.h"
#include "host/DwLinkPool.h"
#include "host/KrpCertAuthority.h"

namespace {

CZuError makeCerts(std::string* dir) {
  char tmpl[] = "/tmp/blr-workflow-certs-XXXXXX";
  if (mkdtemp(tmpl) == nullptr)
    return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't make a certificate directory");
  *dir = tmpl;
  KrpCertAuthority ca;
  CZuError err = KrpCertAuthority::create(*dir, "Workflow Test CA", 30, &ca);
  for (const char* name : {"head1", "tail1", "job1"})
    if (!err.IsError()) err = ca.issue(name, KRP_CERT_KIND_CLIENT, 30, *dir);
  return err;
}

BlrUUID guid(int seed) {
  char hex[33];
  std::snprintf(hex, sizeof hex, "%08x0000000000000000000000ff", seed);
  return BlrUUID(std::string(hex));
}

}  // namespace

const BlrUUID WorkflowEnv::kSrcVm = guid(1);
const BlrUUID WorkflowEnv::kDstVm = guid(2);

// ---- Certificates ----

const WorkflowCerts& WorkflowCerts::get() {
  static WorkflowCerts* certs = [] {
    auto* c = new WorkflowCerts;
    CZuError err = makeCerts(&c->dir);
    if (err.IsError()) {
      std::fprintf(stderr, "%s\n", err.AsString().c_str());
      std::abort();
    }
    static struct Cleanup {
      std::string dir;
      ~Cleanup() { std::filesystem::remove_all(dir); }
    } cleanup{c->dir};
    return c;
  }();
  return *certs;
}

TlsConfig WorkflowCerts::config(const std::string& name) const {
  return TlsConfig{dir + "/ca.crt", KrpCertAuthority::certPath(dir, name),
                   KrpCertAuthority::keyPath(dir, name)};
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
    ++counts_[request];
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

void PairDbTap::fail(const std::string& request, const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  failing_.emplace(request, text);
}

void PairDbTap::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  failing_.clear();
  observer_ = nullptr;
}

void PairDbTap::setObserver(std::function<void(const Map&)> observer) {
  std::lock_guard<std::mutex> lock(mu_);
  observer_ = std::move(observer);
}

int PairDbTap::requests() {
  std::lock_guard<std::mutex> lock(mu_);
  int total = 0;
  for (const auto& entry : counts_) total += entry.second;
  return total;
}

int PairDbTap::requests(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = counts_.find(name);
  return it == counts_.end() ? 0 : it->second;
}

// ---- Simulators ----

namespace {

// Pairs run and markers arrive at once.
ProxySettings instantSettings() {
  ProxySettings s;
  s.syncDelayMs = 0;
  s.flushDelayMs = 0;
  return s;
}

}  // namespace

WorkflowSim::WorkflowSim(const std::string& clientName)
    : clientName(clientName),
      control(instantSettings(), ProxyFaults(), ""),
      state(&reporter),
      server(&control, &state) {
  state.setSettings(control.settings());
}

CZuError WorkflowSim::start() {
  ProxyServerConfig config;
  config.address = "127.0.0.1";
  config.authTimeoutMs = 5000;
  CZuError err = TlsContext::create(WorkflowCerts::get().config(clientName), &config.tls);
  if (!err.IsError()) err = server.start(config);
  if (err.IsError()) err.Push(FXLOC, "Couldn't start the simulator %s", clientName.c_str());
  return err;
}

CZuError WorkflowSim::fault(const std::string& rule) {
  ProxyFaultKey key;
  ProxyFault f;
  CZuError err = proxyParseFault(rule, &key, &f);
  if (!err.IsError()) control.setFault(key, f);
  return err;
}

void WorkflowSim::setVmPower(const std::string& vmKey, bool on) {
  ProxySettings settings = control.settings();
  settings.vmPower[vmKey] = on;
  control.updateSettings(settings);
  state.setSettings(control.settings());
}

std::string WorkflowSim::mangled() const {
  return MangleHostName("127.0.0.1", clientName, server.dwdPort(), 1);
}

// ---- The installation ----

WorkflowEnv::WorkflowEnv(const std::string& logFile, bool onDisk) {
  // In memory where the machine has it, unless asked: every commit is
  // synchronous.
  char shm[] = "/dev/shm/blr-workflow-db-XXXXXX";
  char tmp[] = "/tmp/blr-workflow-db-XXXXXX";
  if (!onDisk && mkdtemp(shm) != nullptr)
    dir = shm;
  else if (mkdtemp(tmp) != nullptr)
    dir = tmp;
  DWPlatformInfo::reset();
  DWPlatformInfo::setValue("Database", "sBackend", "sqlite");
  DWPlatformInfo::setValue("Database", "sSqliteDir", dir);
  TlsConfig tls = WorkflowCerts::get().config("job1");
  DWPlatformInfo::setValue("Security", "sCAFile", tls.caFile);
  DWPlatformInfo::setValue("Security", "sCertFile", tls.certFile);
  DWPlatformInfo::setValue("Security", "sKeyFile", tls.keyFile);
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
  if (!dir.empty()) std::filesystem::remove_all(dir);
}

CZuError WorkflowEnv::startDatabase() {
  if (dir.empty()) return FXErrorUtil::ErrorInt(FXLOC, 1, "No database directory");
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
  head = std::make_unique<WorkflowSim>("head1");
  tail = std::make_unique<WorkflowSim>("tail1");
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
  std::string host;
  DWClient client(clientId);
  if (client.getNetworkHostnameMangled(host, nullptr) != 0) return client.lastError();
  BlrCtrl ctrl;
  CZuError err = ctrl.connect(host);
  return err.IsError() ? err : action(ctrl);
}

void WorkflowEnv::clearFaults() {
  if (tap) tap->clear();
  if (head) head->clearFaults();
  if (tail) tail->clearFaults();
}

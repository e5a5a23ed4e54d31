#include "commands/CliTrial.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>

#include "host/clients/DWClientDirectory.h"
#include "host/config/DWPlatformInfo.h"
#include "host/sql/DWSqlSchema.h"
#include "host/net/DwTcp.h"
#include "host/tls/KrpCertAuthority.h"

namespace {

// Free bases are drawn below the kernel's ephemeral ports (32768 and up), so
// that outgoing connections do not take them between set-up and start.
constexpr int kFreeBaseLow = 10000;
constexpr int kFreeBaseHigh = 32000;
constexpr int kFreeBaseTries = 64;

void layOut(int base, TrialPlan* plan) {
  plan->serverPort = base;
  int nextId = 2;
  for (size_t i = 0; i < plan->members.size(); ++i) {
    TrialMember& m = plan->members[i];
    m.dwdPort = base + 10 * static_cast<int>(i + 1);
    m.evmgrcPort = m.dwdPort + 1;
    m.ctrlPort = m.proxy ? m.dwdPort + 2 : 0;
    m.ctrlPort2 = m.proxy ? m.dwdPort + 3 : 0;
    m.clientId = m.proxy ? nextId++ : 0;
  }
}

// The ports some server of the trial listens on.
std::vector<int> listenedPorts(const TrialPlan& plan) {
  std::vector<int> ports{plan.serverPort};
  for (const TrialMember& m : plan.members)
    if (m.proxy) ports.insert(ports.end(), {m.dwdPort, m.ctrlPort, m.ctrlPort2});
  return ports;
}

// The first port of `ports` that can't be listened on, or 0.
int busyPort(const std::string& host, const std::vector<int>& ports) {
  std::vector<CZuSocket> held;  // kept open so that no port is counted twice
  for (int port : ports) {
    CZuSocket socket;
    int bound = 0;
    if (port > 65535 || dwTcpListen(host, port, 1, &socket, &bound).IsError()) return port;
    held.push_back(socket);
  }
  return 0;
}

std::string registryText(const TrialPlan& plan, const TrialMember& m) {
  const std::string& dir = plan.dir;
  const TrialMember& anchor = *plan.anchor();
  std::string text = "# Registry of " + m.name + ", written by blr certs init.\n";
  text += "[Host]\nsClientName = " + m.name + "\nsNetHostName = " + plan.host +
          "\nnDwdPort = " + std::to_string(m.dwdPort) +
          "\nnEvmgrcPort = " + std::to_string(m.evmgrcPort) +
          "\nsJobResultsDirectory = " + dir + "/jobs/" + m.name + "\n";
  text += "[Security]\nsCAFile = " + dir + "/ca.crt\nsCertFile = " +
          KrpCertAuthority::certPath(dir, m.name) +
          "\nsKeyFile = " + KrpCertAuthority::keyPath(dir, m.name) +
          "\nsCRLFile = " + KrpCertAuthority::crlPath(dir) + "\n";
  if (!plan.operators.empty()) {
    text += "sOperatorNames =";
    for (const std::string& op : plan.operators) text += " " + op;
    text += "\n";
  }
  text += "[Link]\nsServerHost = " + plan.host + "\nnServerPort = " +
          std::to_string(plan.serverPort) + "\nsServerName = " + anchor.name + "\n";
  if (m.anchor)
    text += "sListenAddress = " + plan.host + "\nnListenPort = " + std::to_string(plan.serverPort) + "\n";
  if (m.proxy)
    text += "[Proxy]\nnCtrlPort = " + std::to_string(m.ctrlPort) + "\nnCtrlPort2 = " +
            std::to_string(m.ctrlPort2) + "\nsControlFile = " + dir + "/" + m.name + ".ctl\n";
  text += "[Database]\nsSqliteDir = " + dir + "/db\n";
  text += "[EventManager]\nsLogFile = " + dir + "/" + m.name + ".log\n";
  return text;
}

}  // namespace

CZuError trialAssignPorts(int portBase, TrialPlan* plan) {
  CZuSocket probe;
  int anyPort = 0;
  CZuError err = dwTcpListen(plan->host, 0, 1, &probe, &anyPort);
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't listen on %s: the trial's servers need an address of this machine",
                    plan->host.c_str());
  probe.Close();
  if (portBase != 0) {
    layOut(portBase, plan);
    int busy = busyPort(plan->host, listenedPorts(*plan));
    if (busy == 0) return CZuError();
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "Port %d on %s is in use or out of range: choose another "
                                 "--port-base, or leave it out to pick free ports",
                                 busy, plan->host.c_str());
  }
  std::mt19937 random(std::random_device{}());
  int span = 10 * static_cast<int>(plan->members.size() + 1);
  std::uniform_int_distribution<int> slot(0, (kFreeBaseHigh - kFreeBaseLow - span) / 10);
  for (int i = 0; i < kFreeBaseTries; ++i) {
    layOut(kFreeBaseLow + 10 * slot(random), plan);
    if (busyPort(plan->host, listenedPorts(*plan)) == 0) return CZuError();
  }
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't find %d free ports on %s; name them with --port-base",
                               span, plan->host.c_str());
}

CZuError trialWriteRegistries(const TrialPlan& plan) {
  for (const TrialMember& m : plan.members) {
    std::error_code ec;
    std::string jobs = plan.dir + "/jobs/" + m.name;
    std::filesystem::create_directories(jobs, ec);
    if (ec) return FXErrorUtil::ErrorErrNo(FXLOC, ec.value(), "Couldn't create %s", jobs.c_str());
    std::string path = plan.registryPath(m);
    // Registries name key files and ports: not for every local user.
    CZuError err = KrpCertAuthority::writeFile(path, registryText(plan, m), 0640);
    if (err.IsError()) return err;
  }
  return CZuError();
}

CZuError trialRegisterProxies(const TrialPlan& plan) {
  CZuError err = DWPlatformInfo::loadRegistryFile(plan.registryPath(*plan.anchor()));
  if (!err.IsError()) err = DWCreateSchema("Anchor");
  for (const TrialMember& m : plan.members) {
    if (err.IsError() || !m.proxy) continue;
    DWClientInfo client;
    client.id = m.clientId;
    client.name = m.name;
    client.netHostName = plan.host;
    client.dwdPort = m.dwdPort;
    client.evmgrcPort = m.evmgrcPort;
    err = DWClientDirectory::add(client);
  }
  DWPlatformInfo::reset();
  if (err.IsError()) err.Push(FXLOC, "Couldn't add the proxies to the central server's directory");
  return err;
}

std::vector<std::string> trialStartCommands(const TrialPlan& plan) {
  std::vector<std::string> commands;
  for (const TrialMember& m : plan.members) {
    if (m.anchor) commands.push_back("blr-anchor serve --registry " + plan.registryPath(m));
    if (m.proxy) commands.push_back("blr-proxy --registry " + plan.registryPath(m));
  }
  return commands;
}

// blr certs ...: a certificate authority and the per-client certificates of
// an installation, and (for trials) ready registry files on free ports.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>

#include "Cli.h"
#include "output/CliRecords.h"
#include "commands/CliTrial.h"
#include "host/tls/KrpCertAuthority.h"
#include "host/tls/KrpPeerPolicy.h"
#include "host/tls/KrpSocket.h"

namespace {

struct InitOptions {
  std::string dir;
  std::vector<std::string> clients;
  std::vector<std::string> operators;  // also get certificates
  std::vector<std::string> proxies;    // names; hosts go to `hosts`
  std::vector<std::string> servers;
  std::map<std::string, std::vector<std::string>> hosts;  // of --server/--proxy NAME=HOST,...
  std::string caName = "BLR CA";
  int days = KrpCertAuthority::kCertValidDays;
  bool registries = false;
  std::string anchor = "anchor";
  std::string host = "127.0.0.1";
  int portBase = 0;  // 0: free ports
};

// Splits "NAME=HOST,HOST" into the name and its hosts; a bare NAME has none.
std::string splitServer(const std::string& text, std::vector<std::string>* hosts) {
  size_t eq = text.find('=');
  if (eq == std::string::npos) return text;
  for (const std::string& host : KrpPeerPolicy::parseNames(text.substr(eq + 1)))
    hosts->push_back(host);
  return text.substr(0, eq);
}

// The names --proxy and --server give, with their hosts moved to o->hosts.
void takeServerHosts(InitOptions* o) {
  for (std::vector<std::string>* list : {&o->proxies, &o->servers})
    for (std::string& entry : *list) {
      std::vector<std::string> hosts;
      entry = splitServer(entry, &hosts);
      o->hosts[entry].insert(o->hosts[entry].end(), hosts.begin(), hosts.end());
    }
}

// A certificate's subjectAltName: the client name itself and the hosts it
// serves on, each once; in a trial every client is on the trial's host.
std::vector<std::string> altNames(const std::string& name, std::vector<std::string> hosts,
                                  const std::string& trialHost) {
  if (!trialHost.empty()) hosts.push_back(trialHost);
  std::sort(hosts.begin(), hosts.end());
  hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
  hosts.erase(std::remove(hosts.begin(), hosts.end(), name), hosts.end());
  hosts.insert(hosts.begin(), name);
  return hosts;
}

// The names to issue certificates for: with registries the central server
// first, then the proxies, then the other clients; each once.
std::vector<std::string> issuedNames(const InitOptions& o) {
  std::vector<std::string> names;
  auto add = [&names](const std::string& name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  };
  if (o.registries) add(o.anchor);
  for (const std::string& name : o.proxies) add(name);
  for (const std::string& name : o.servers) add(name);
  for (const std::string& name : o.clients) add(name);
  for (const std::string& name : o.operators) add(name);
  return names;
}

TrialPlan trialPlan(const InitOptions& o, const std::string& dir) {
  TrialPlan plan;
  plan.dir = dir;
  plan.host = o.host;
  plan.operators = o.operators;
  for (const std::string& name : issuedNames(o)) {
    TrialMember m;
    m.name = name;
    m.anchor = name == o.anchor;
    m.proxy = !m.anchor && std::find(o.proxies.begin(), o.proxies.end(), name) != o.proxies.end();
    plan.members.push_back(m);
  }
  return plan;
}

// The registry a command-line user of the trial works with: a client that
// is neither the central server nor a proxy, else the central server's.
const TrialMember& operatorMember(const TrialPlan& plan) {
  for (const TrialMember& m : plan.members)
    if (!m.anchor && !m.proxy) return m;
  return *plan.anchor();
}

void printTrial(const TrialPlan& plan) {
  std::printf("Central server on %s:%d", plan.host.c_str(), plan.serverPort);
  const char* sep = "; in its client directory: ";
  for (const TrialMember& m : plan.members)
    if (m.proxy) {
      std::printf("%s%s (client %d)", sep, m.name.c_str(), m.clientId);
      sep = ", ";
    }
  std::printf("\nStart each server (in its own terminal, or in the background):\n");
  for (const std::string& command : trialStartCommands(plan)) std::printf("  %s\n", command.c_str());
  std::printf("Then check the set-up:\n  blr -r %s doctor\n",
              plan.registryPath(operatorMember(plan)).c_str());
}

Json trialJson(const TrialPlan& plan) {
  Json members = Json::array();
  for (const TrialMember& m : plan.members) {
    Json j{{"name", m.name}, {"registry", plan.registryPath(m)}, {"dwdPort", m.dwdPort},
           {"evmgrcPort", m.evmgrcPort}};
    if (m.proxy) {
      j["clientId"] = m.clientId;
      j["ctrlPorts"] = {m.ctrlPort, m.ctrlPort2};
    }
    members.push_back(j);
  }
  return Json{{"serverPort", plan.serverPort}, {"members", members},
              {"start", trialStartCommands(plan)}};
}

int initCerts(const Cli& cli, InitOptions o) {
  takeServerHosts(&o);
  if (!o.registries && (o.portBase != 0 || !o.proxies.empty()))
    return cli.failText("--port-base and --proxy need --registries", kExitUsage);
  std::vector<std::string> names = issuedNames(o);
  if (names.empty()) return cli.failText("Name at least one --client or --proxy", kExitUsage);
  std::error_code ec;
  std::string dir = std::filesystem::absolute(o.dir, ec).lexically_normal().string();
  if (!dir.empty() && dir.back() == '/') dir.pop_back();
  TrialPlan plan = trialPlan(o, dir);
  CZuError err;
  if (o.registries) err = trialAssignPorts(o.portBase, &plan);
  KrpCertAuthority ca;
  if (!err.IsError()) err = KrpCertAuthority::create(dir, o.caName, KrpCertAuthority::kCaValidDays, &ca);
  for (size_t i = 0; i < names.size() && !err.IsError(); ++i)
    err = ca.issue(names[i], KRP_CERT_KIND_CLIENT, o.days, dir,
                   altNames(names[i], o.hosts[names[i]], o.registries ? o.host : ""));
  if (!err.IsError()) err = ca.startRevocationList(dir);
  if (!err.IsError() && o.registries) err = trialWriteRegistries(plan);
  if (!err.IsError() && o.registries) err = trialRegisterProxies(plan);
  if (err.IsError()) return cli.fail(err);
  if (cli.json()) {
    Json out{{"dir", dir}, {"ca", ca.caFile()}, {"clients", names}};
    if (o.registries) out["trial"] = trialJson(plan);
    cli.printJson(out);
    return kExitOk;
  }
  std::printf("Certificate authority \"%s\" in %s\n", o.caName.c_str(), ca.caFile().c_str());
  std::vector<std::string> headers = {"CLIENT", "CERTIFICATE"};
  if (o.registries) headers.push_back("REGISTRY");
  CliTable table(headers);
  for (const std::string& name : names)
    table.add({name, KrpCertAuthority::certPath(dir, name), dir + "/" + name + ".reg"});
  std::fputs(table.render().c_str(), stdout);
  if (o.registries) printTrial(plan);
  return kExitOk;
}

struct IssueOptions {
  std::string dir;
  std::vector<std::string> names;
  std::vector<std::string> hosts;
  int days = KrpCertAuthority::kCertValidDays;
};

// `issue` (new keys, the names given) and `renew` (same keys and names).
int issueCerts(const Cli& cli, const IssueOptions& o, bool renew) {
  KrpCertAuthority ca;
  CZuError err = KrpCertAuthority::open(o.dir, &ca);
  for (size_t i = 0; i < o.names.size() && !err.IsError(); ++i)
    err = renew ? ca.renew(o.dir, o.names[i], o.days)
                : ca.issue(o.names[i], KRP_CERT_KIND_CLIENT, o.days, o.dir,
                           altNames(o.names[i], o.hosts, ""));
  if (err.IsError()) return cli.fail(err);
  if (cli.json()) {
    cli.printJson(Json{{"dir", o.dir}, {"clients", o.names}});
    return kExitOk;
  }
  for (const std::string& name : o.names)
    std::printf("%s %s\n", renew ? "Renewed" : "Issued", KrpCertAuthority::certPath(o.dir, name).c_str());
  return kExitOk;
}

int revokeCerts(const Cli& cli, const std::string& dir, const std::vector<std::string>& names) {
  KrpCertAuthority ca;
  CZuError err = KrpCertAuthority::open(dir, &ca);
  for (size_t i = 0; i < names.size() && !err.IsError(); ++i) err = ca.revoke(dir, names[i]);
  if (err.IsError()) return cli.fail(err);
  if (cli.json()) {
    cli.printJson(Json{{"crl", KrpCertAuthority::crlPath(dir)}, {"revoked", names}});
    return kExitOk;
  }
  for (const std::string& name : names)
    std::printf("Revoked %s in %s\n", name.c_str(), KrpCertAuthority::crlPath(dir).c_str());
  return kExitOk;
}

int listCerts(const Cli& cli, const std::string& dir) {
  std::vector<KrpCertEntry> certs;
  CZuError err = KrpCertAuthority::list(dir, &certs);
  if (err.IsError()) return cli.fail(err);
  time_t now = std::time(nullptr);
  if (cli.json()) {
    Json rows = Json::array();
    for (const KrpCertEntry& c : certs)
      rows.push_back(Json{{"name", c.name},
                          {"expires", timeText(static_cast<uint64_t>(c.notAfter))},
                          {"expired", c.notAfter <= now}, {"revoked", c.revoked}});
    cli.printJson(Json{{"certificates", rows}});
    return kExitOk;
  }
  const time_t soon = now + KrpCertAuthority::kExpiryWarnDays * 86400L;
  CliTable table({"NAME", "EXPIRES", "STATE"});
  for (const KrpCertEntry& c : certs)
    table.add({c.name, timeText(static_cast<uint64_t>(c.notAfter)),
               c.revoked             ? "revoked"
               : c.notAfter <= now   ? "expired"
               : c.notAfter <= soon  ? "expiring"
                                     : "valid"});
  std::fputs(table.render().c_str(), stdout);
  return kExitOk;
}

}  // namespace

void addCertCommands(Cli& cli) {
  CLI::App* group = Cli::group(&cli.app(), "certs", "Certificates of the installation's clients");

  auto o = std::make_shared<InitOptions>();
  CLI::App* cmd = group->add_subcommand(
      "init", "Create a certificate authority and per-client certificates in a new directory");
  cmd->add_option("DIR", o->dir, "Directory (must not hold an authority yet)")->required();
  cmd->add_option("--client", o->clients, "A client name to issue a certificate for (repeatable)");
  cmd->add_option("--proxy", o->proxies,
                  "With --registries: a proxy's client name (repeatable), NAME or NAME=HOST,...; "
                  "it gets control ports and joins the central server's client directory");
  cmd->add_option("--server", o->servers,
                  "A server's client name and the DNS names and addresses clients dial it at, "
                  "NAME=HOST,... (repeatable): its certificate lists them");
  cmd->add_option("--operator", o->operators,
                  "An operator name (repeatable): gets a certificate and, with --registries, is "
                  "admitted by every server and may edit the client directory");
  cmd->add_option("--ca-name", o->caName, "The authority's name")->capture_default_str();
  cmd->add_option("--days", o->days, "Validity of the client certificates")
      ->capture_default_str()
      ->check(CLI::Range(1, KrpCertAuthority::kCertValidDays));
  cmd->add_flag("--registries", o->registries,
                "Also write <client>.reg for every client, all on one host, on free ports "
                "(trials, demo)");
  cmd->add_option("--anchor", o->anchor, "With --registries: the central server's client name")
      ->capture_default_str();
  cmd->add_option("--host", o->host, "With --registries: the host's address")->capture_default_str();
  cmd->add_option("--port-base", o->portBase,
                  "With --registries: the central server's port, the others above it "
                  "(default: free ports)")
      ->check(CLI::Range(1, 65000));
  cli.on(cmd, [&cli, o] { return initCerts(cli, *o); }, false);

  for (bool renew : {false, true}) {
    auto i = std::make_shared<IssueOptions>();
    cmd = renew ? group->add_subcommand("renew",
                                        "Issue certificates anew with their names and keys")
                : group->add_subcommand("issue", "Issue per-client certificates with new keys");
    cmd->add_option("DIR", i->dir, "Directory of the authority")->required();
    cmd->add_option("NAME", i->names, "Client names")->required();
    if (!renew)
      cmd->add_option("--host", i->hosts,
                      "A DNS name or address the client serves on (repeatable)");
    cmd->add_option("--days", i->days, "Validity")
        ->capture_default_str()
        ->check(CLI::Range(1, KrpCertAuthority::kCertValidDays));
    cli.on(cmd, [&cli, i, renew] { return issueCerts(cli, *i, renew); }, false);
  }

  auto r = std::make_shared<IssueOptions>();
  cmd = group->add_subcommand("revoke", "Revoke certificates: add them to the signed revocation list");
  cmd->add_option("DIR", r->dir, "Directory of the authority")->required();
  cmd->add_option("NAME", r->names, "Client names")->required();
  cli.on(cmd, [&cli, r] { return revokeCerts(cli, r->dir, r->names); }, false);

  auto l = std::make_shared<std::string>();
  cmd = group->add_subcommand("list", "The issued certificates with expiry and revocation");
  cmd->add_option("DIR", *l, "Directory of the authority")->required();
  cli.on(cmd, [&cli, l] { return listCerts(cli, *l); }, false);
}

// blr certs ...: a certificate authority and the per-client certificates of
// an installation, and (for trials) ready registry files.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "Cli.h"
#include "host/KrpCertAuthority.h"
#include "host/KrpSocket.h"

namespace {

struct InitOptions {
  std::string dir;
  std::vector<std::string> clients;
  std::vector<std::string> operators;  // also get certificates
  std::string caName = "BLR CA";
  int days = KrpCertAuthority::kCertValidDays;
  bool registries = false;
  std::string anchor = "anchor";
  std::string host = "127.0.0.1";
  int basePort = 4760;
};

// One registry file per client, all on one host: the central server listens
// on the base port; client i gets its port lookup on base + 10 (i + 1), the
// event manager port after it, and the control ports 2 and 3 above it.
std::string registryText(const InitOptions& o, const std::string& dir, const std::string& name,
                         int index) {
  int dwd = o.basePort + 10 * (index + 1);
  std::string text = "# Registry of " + name + ", written by blr certs init.\n";
  text += "[Host]\nsClientName = " + name + "\nsNetHostName = " + o.host +
          "\nnDwdPort = " + std::to_string(dwd) + "\nnEvmgrcPort = " + std::to_string(dwd + 1) + "\n";
  text += "[Security]\nsCAFile = " + dir + "/ca.crt\nsCertFile = " +
          KrpCertAuthority::certPath(dir, name) + "\nsKeyFile = " + KrpCertAuthority::keyPath(dir, name) +
          "\nsCRLFile = " + KrpCertAuthority::crlPath(dir) + "\n";
  if (!o.operators.empty()) {
    text += "sOperatorNames =";
    for (const std::string& op : o.operators) text += " " + op;
    text += "\n";
  }
  text += "[Link]\nsServerHost = " + o.host + "\nnServerPort = " + std::to_string(o.basePort) +
          "\nsServerName = " + o.anchor + "\n";
  if (name == o.anchor)
    text += "sListenAddress = " + o.host + "\nnListenPort = " + std::to_string(o.basePort) + "\n";
  text += "[Proxy]\nnCtrlPort = " + std::to_string(dwd + 2) + "\nnCtrlPort2 = " +
          std::to_string(dwd + 3) + "\nsControlFile = " + dir + "/" + name + ".ctl\n";
  text += "[Database]\nsSqliteDir = " + dir + "/db\n";
  text += "[EventManager]\nsLogFile = " + dir + "/" + name + ".log\n";
  return text;
}

CZuError writeRegistries(const InitOptions& o, const std::string& dir) {
  for (size_t i = 0; i < o.clients.size(); ++i) {
    std::string path = dir + "/" + o.clients[i] + ".reg";
    std::string text = registryText(o, dir, o.clients[i], static_cast<int>(i));
    // Registries name key files and ports: not for every local user.
    CZuError err = KrpCertAuthority::writeFile(path, text, 0640);
    if (err.IsError()) return err;
  }
  return CZuError();
}

int initCerts(const Cli& cli, InitOptions o) {
  std::error_code ec;
  std::string dir = std::filesystem::absolute(o.dir, ec).lexically_normal().string();
  if (!dir.empty() && dir.back() == '/') dir.pop_back();
  if (o.registries && std::find(o.clients.begin(), o.clients.end(), o.anchor) == o.clients.end())
    o.clients.insert(o.clients.begin(), o.anchor);
  for (const std::string& op : o.operators)
    if (std::find(o.clients.begin(), o.clients.end(), op) == o.clients.end())
      o.clients.push_back(op);
  KrpCertAuthority ca;
  CZuError err = KrpCertAuthority::create(dir, o.caName, KrpCertAuthority::kCaValidDays, &ca);
  for (size_t i = 0; i < o.clients.size() && !err.IsError(); ++i)
    err = ca.issue(o.clients[i], KRP_CERT_KIND_CLIENT, o.days, dir);
  if (!err.IsError()) err = ca.startRevocationList(dir);
  if (!err.IsError() && o.registries) err = writeRegistries(o, dir);
  if (err.IsError()) return cli.fail(err);
  if (cli.json()) {
    cli.printJson(Json{{"dir", dir}, {"ca", ca.caFile()}, {"clients", o.clients}});
    return kExitOk;
  }
  std::printf("Certificate authority \"%s\" in %s\n", o.caName.c_str(), ca.caFile().c_str());
  for (const std::string& name : o.clients)
    std::printf("  %-16s %s%s\n", name.c_str(), KrpCertAuthority::certPath(dir, name).c_str(),
                o.registries ? ("  " + dir + "/" + name + ".reg").c_str() : "");
  return kExitOk;
}

int issueCerts(const Cli& cli, const std::string& dir, const std::vector<std::string>& names, int days) {
  KrpCertAuthority ca;
  CZuError err = KrpCertAuthority::open(dir, &ca);
  for (size_t i = 0; i < names.size() && !err.IsError(); ++i)
    err = ca.issue(names[i], KRP_CERT_KIND_CLIENT, days, dir);
  if (err.IsError()) return cli.fail(err);
  if (cli.json()) {
    cli.printJson(Json{{"dir", dir}, {"clients", names}});
    return kExitOk;
  }
  for (const std::string& name : names)
    std::printf("Issued %s\n", KrpCertAuthority::certPath(dir, name).c_str());
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

std::string utcDate(time_t t) {
  char buf[32];
  struct tm tm {};
  gmtime_r(&t, &tm);
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

int listCerts(const Cli& cli, const std::string& dir) {
  std::vector<KrpCertEntry> certs;
  CZuError err = KrpCertAuthority::list(dir, &certs);
  if (err.IsError()) return cli.fail(err);
  time_t now = std::time(nullptr);
  if (cli.json()) {
    Json rows = Json::array();
    for (const KrpCertEntry& c : certs)
      rows.push_back(Json{{"name", c.name}, {"expires", utcDate(c.notAfter)},
                          {"expired", c.notAfter <= now}, {"revoked", c.revoked}});
    cli.printJson(Json{{"certificates", rows}});
    return kExitOk;
  }
  std::printf("%-24s %-20s %s\n", "NAME", "EXPIRES (UTC)", "STATE");
  for (const KrpCertEntry& c : certs)
    std::printf("%-24s %-20s %s\n", c.name.c_str(), utcDate(c.notAfter).c_str(),
                c.revoked ? "revoked" : c.notAfter <= now ? "expired" : "valid");
  return kExitOk;
}

}  // namespace

void addCertCommands(Cli& cli) {
  CLI::App* group = Cli::group(&cli.app(), "certs", "Certificates of the installation's clients");

  auto o = std::make_shared<InitOptions>();
  CLI::App* cmd = group->add_subcommand(
      "init", "Create a certificate authority and per-client certificates in a new directory");
  cmd->add_option("DIR", o->dir, "Directory (must not hold an authority yet)")->required();
  cmd->add_option("--client", o->clients, "A client name to issue a certificate for (repeatable)")
      ->required();
  cmd->add_option("--operator", o->operators,
                  "An operator name (repeatable): gets a certificate and, with --registries, is "
                  "admitted by every server and may edit the client directory");
  cmd->add_option("--ca-name", o->caName, "The authority's name")->capture_default_str();
  cmd->add_option("--days", o->days, "Validity of the client certificates")
      ->capture_default_str()
      ->check(CLI::Range(1, 36500));
  cmd->add_flag("--registries", o->registries,
                "Also write <client>.reg for every client, all on one host (trials, demo)");
  cmd->add_option("--anchor", o->anchor, "With --registries: the central server's client name")
      ->capture_default_str();
  cmd->add_option("--host", o->host, "With --registries: the host's address")->capture_default_str();
  cmd->add_option("--base-port", o->basePort, "With --registries: the central server's port")
      ->capture_default_str()
      ->check(CLI::Range(1, 65000));
  cli.on(cmd, [&cli, o] { return initCerts(cli, *o); }, false);

  struct IssueOptions {
    std::string dir;
    std::vector<std::string> names;
    int days = KrpCertAuthority::kCertValidDays;
  };
  auto i = std::make_shared<IssueOptions>();
  cmd = group->add_subcommand("issue", "Issue (or renew) per-client certificates");
  cmd->add_option("DIR", i->dir, "Directory of the authority")->required();
  cmd->add_option("NAME", i->names, "Client names")->required();
  cmd->add_option("--days", i->days, "Validity")->capture_default_str()->check(CLI::Range(1, 36500));
  cli.on(cmd, [&cli, i] { return issueCerts(cli, i->dir, i->names, i->days); }, false);

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

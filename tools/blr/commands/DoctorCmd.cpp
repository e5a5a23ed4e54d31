// blr doctor: checks this machine's set-up the way the other commands will
// use it (the registry, the certificate files, the central server and every
// proxy of its client directory), one line per check with what to do when
// it fails.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "BLR/BlrCtrl.h"
#include "Cli.h"
#include "output/CliRecords.h"
#include "host/clients/DWClient.h"
#include "host/config/DWPlatformInfo.h"
#include "host/net/DwHostName.h"
#include "host/link/DwLinkConfig.h"
#include "host/tls/KrpCertAuthority.h"
#include "host/tls/KrpSocket.h"

namespace {

struct Check {
  std::string name;
  bool ok = true;
  std::string detail;
  std::string fix;  // what to do, when it failed or warns
  bool warning = false;  // passed, but needs attention soon
};

class Doctor {
 public:
  explicit Doctor(const Cli& cli) : cli_(cli) {}

  void add(const std::string& name, const std::string& detail) { checks_.push_back({name, true, detail, ""}); }
  void fail(const std::string& name, const std::string& detail, const std::string& fix) {
    checks_.push_back({name, false, detail, fix});
  }
  void fail(const std::string& name, const CZuError& err, const std::string& fix) {
    fail(name, cliOneLine(err.Summary()), fix);
  }
  void warn(const std::string& name, const std::string& detail, const std::string& fix) {
    checks_.push_back({name, true, detail, fix, true});
  }
  // An ok line for a certificate valid until `notAfter`, or a warning with
  // `fix` when that is near.
  void expiry(const std::string& name, const std::string& detail, time_t notAfter,
              const std::string& fix);

  bool allOk() const {
    for (const Check& c : checks_)
      if (!c.ok) return false;
    return true;
  }
  int report() const;

 private:
  const Cli& cli_;
  std::vector<Check> checks_;
};

void Doctor::expiry(const std::string& name, const std::string& detail, time_t notAfter,
                    const std::string& fix) {
  const time_t left = notAfter - std::time(nullptr);
  const std::string until = timeText(static_cast<uint64_t>(notAfter));
  if (left >= KrpCertAuthority::kExpiryWarnDays * 86400L)
    add(name, detail + "valid until " + until);
  else
    warn(name, detail + "expires on " + until + ", in " + std::to_string(left / 86400) + " days",
         fix);
}

int Doctor::report() const {
  Json list = Json::array();
  for (const Check& c : checks_) {
    list.push_back(Json{{"check", c.name}, {"ok", c.ok}, {"warning", c.warning},
                        {"detail", c.detail}, {"fix", c.fix}});
    const bool quiet = c.ok && !c.warning;
    if (!cli_.json())
      std::printf("%-5s %s: %s%s\n", c.warning ? "WARN" : c.ok ? "ok" : "FAIL", c.name.c_str(),
                  c.detail.c_str(), quiet ? "" : (" -- " + c.fix).c_str());
  }
  if (cli_.json()) cli_.printJson(Json{{"ok", allOk()}, {"checks", list}});
  return allOk() ? kExitOk : kExitFailure;
}

std::string registryText(const char* section, const char* key) {
  std::string value;
  DWPlatformInfo().getString(section, key, &value);
  return value;
}

// Shorter waits than the defaults, which suit long jobs rather than a check;
// values set in the registry are kept.
void preferShortWaits() {
  DWPlatformInfo info;
  long long ignored = 0;
  if (!info.getNumber("Net", "nConnectTimeoutSecs", &ignored))
    DWPlatformInfo::setNumber("Net", "nConnectTimeoutSecs", 5);
  if (!info.getNumber("Link", "nTimeoutSecs", &ignored)) DWPlatformInfo::setNumber("Link", "nTimeoutSecs", 10);
  if (!info.getNumber("Link", "nAuthTimeoutSecs", &ignored))
    DWPlatformInfo::setNumber("Link", "nAuthTimeoutSecs", 10);
  if (!info.getNumber("BLR", "nAuthTimeoutSecs", &ignored))
    DWPlatformInfo::setNumber("BLR", "nAuthTimeoutSecs", 10);
}

std::string clientName() {
  DWPlatformInfo info;  // the name points into it
  const char* name = info.getPhysicalMachine();
  return name ? name : "";
}

void checkRegistry(Doctor* d) {
  std::string file = DWPlatformInfo::registryFile();
  std::string name = clientName();
  if (name.empty())
    d->fail("registry " + file, "no [Host] sClientName",
            "set it to this machine's client name, the name of its certificate");
  else
    d->add("registry " + file, "client " + name);
}

// The file named by [Security] `key`, or empty after reporting it missing.
std::string securityFile(Doctor* d, const char* key, const std::string& what) {
  std::string path = registryText("Security", key);
  if (path.empty())
    d->fail(what, std::string("no [Security] ") + key,
            std::string("name the file in the registry (blr certs init writes one)"));
  return path;
}

// The authority's certificate; false when the checks that need it can't run.
bool checkCaFile(Doctor* d, std::string* caFile) {
  *caFile = securityFile(d, "sCAFile", "CA file");
  if (caFile->empty()) return false;
  KRP_Cert ca;
  CZuError err = krpReadCertFile(*caFile, &ca);
  if (err.IsError()) {
    d->fail("CA file " + *caFile, err,
            "copy the installation's ca.crt there (it is made once, by blr certs init)");
    return false;
  }
  if (ca.notAfter < std::time(nullptr)) {
    d->fail("CA file " + *caFile,
            "the authority expired on " + timeText(static_cast<uint64_t>(ca.notAfter)),
            "make a new authority and certificates (blr certs init) and install them everywhere");
    return false;
  }
  d->expiry("CA file " + *caFile, "authority \"" + ca.clientName + "\", ", ca.notAfter,
            "make a new authority and certificates (blr certs init) and install them everywhere "
            "before then");
  return true;
}

// This process's certificate: readable, of the per-client kind, naming this
// client, within its dates and signed by the authority.
bool checkCertificate(Doctor* d, const std::string& caFile, std::string* certFile) {
  *certFile = securityFile(d, "sCertFile", "certificate");
  if (certFile->empty()) return false;
  std::string what = "certificate " + *certFile;
  std::string renew = "issue a new one with blr certs issue <authority dir> " + clientName();
  std::string extend = "renew it: blr certs renew <authority dir> " + clientName();
  KRP_Cert cert;
  CZuError err = krpReadCertFile(*certFile, &cert);
  if (err.IsError()) {
    d->fail(what, err, renew);
    certFile->clear();
    return false;
  }
  long long builtinAllowed = 0;
  DWPlatformInfo().getNumber("Link", "nAllowBuiltinCerts", &builtinAllowed);
  if (cert.kind != KRP_CERT_KIND_CLIENT && !(cert.kind == KRP_CERT_KIND_PRODUCT && builtinAllowed))
    d->fail(what,
            "of kind " + std::to_string(cert.kind) + ", not a per-client certificate (kind " +
                std::to_string(KRP_CERT_KIND_CLIENT) + "); peers refuse it",
            renew);
  else if (cert.clientName != clientName())
    d->fail(what, "names client \"" + cert.clientName + "\", not this machine's \"" + clientName() + "\"",
            "point [Security] sCertFile and sKeyFile at this client's files, or " + renew);
  else
    d->add(what, "client " + cert.clientName + ", kind " + std::to_string(cert.kind));

  time_t now = std::time(nullptr);
  if (cert.notAfter < now)
    d->fail("certificate dates", "expired on " + timeText(static_cast<uint64_t>(cert.notAfter)),
            renew);
  else if (cert.notBefore > now)
    d->fail("certificate dates",
            "not valid before " + timeText(static_cast<uint64_t>(cert.notBefore)),
            "check this machine's clock, or " + renew);
  else
    d->expiry("certificate dates", "", cert.notAfter, extend);

  if (!caFile.empty()) {
    err = KrpCertAuthority::checkIssuedBy(*certFile, caFile);
    if (err.IsError())
      d->fail("certificate signature", err,
              "issue the certificate with the authority of " + caFile + " (blr certs issue)");
    else
      d->add("certificate signature", "signed by the authority of " + caFile);
  }
  return true;
}

void checkKey(Doctor* d, const std::string& certFile) {
  std::string keyFile = securityFile(d, "sKeyFile", "private key");
  if (keyFile.empty() || certFile.empty()) return;
  CZuError err = KrpCertAuthority::checkKeyMatches(certFile, keyFile);
  if (err.IsError())
    d->fail("private key " + keyFile, err,
            "use the .key file issued together with " + certFile + ", or issue both anew");
  else
    d->add("private key " + keyFile, "belongs to the certificate");
}

// Connected, but the handshake was cut short or ran out of time with no word
// from TLS: a server shedding handshakes, not a certificate it refused.
bool handshakeNotAccepted(const CZuError& err) {
  const int code = err.Code();
  return code == ECONNRESET || code == EPIPE ||
         (code == ETIMEDOUT && err.Summary().find("authenticate") != std::string::npos);
}

std::string reachFix(const CZuError& err, const std::string& whatRuns, const std::string& where) {
  if (err.Code() == ECONNREFUSED) return "nothing listens there: start " + whatRuns + ", or correct " + where;
  if (handshakeNotAccepted(err))
    return "the server is not accepting handshakes in time (overloaded or under attack): see its "
           "connections_refused metrics and log, and try again";
  if (err.Code() == ETIMEDOUT || err.Code() == EHOSTUNREACH || err.Code() == ENETUNREACH)
    return "no answer: check " + where + " and the network between the machines";
  return "check that both sides hold certificates of the same authority, and " + where;
}

// `localOk`: whether this machine's own files passed; a connection with
// broken ones fails whatever the server does.
bool checkCentralServer(Doctor* d, bool localOk, std::vector<DWClientInfo>* clients) {
  std::vector<DwLinkAddress> servers;
  std::string source;
  CZuError err = dwLinkResolveServers("", &servers, &source);
  if (err.IsError()) {
    d->fail("central server", err, "name the central server in the registry: [Link] sServerHost, or sServers");
    return false;
  }
  std::string what = "central server " + servers.front().text();
  if (servers.size() > 1) {
    what = "central servers ";
    for (size_t i = 0; i < servers.size(); ++i) what += (i ? ", " : "") + servers[i].text();
    what += " (one of them)";
  }
  err = DWClient::list(clients);
  if (err.IsError()) {
    d->fail(what, err, localOk ? reachFix(err, "blr-anchor serve there", source) : "mend the failed checks above first");
    return false;
  }
  d->add(what, "answers; " + std::to_string(clients->size()) + " clients in its directory");
  return true;
}

void checkProxy(Doctor* d, const DWClientInfo& c) {
  std::string mangled = MangleHostName(c.netHostName, c.name, c.dwdPort, c.evmgrcPort);
  std::string what = "proxy " + c.name + " (client " + std::to_string(c.id) + ") " + mangled;
  auto start = std::chrono::steady_clock::now();
  BlrCtrl ctrl;
  CZuError err = ctrl.connect(mangled);
  if (!err.IsError()) err = ctrl.ping();
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (err.IsError()) {
    d->fail(what, err,
            reachFix(err, "its blr-proxy", "its host and port lookup port in the directory (blr clients)"));
    return;
  }
  char detail[64];
  std::snprintf(detail, sizeof detail, "answers (%.1f ms)", ms);
  d->add(what, detail);
}

// The certificates of the servers met above: each one's end is near or not.
void checkServerCerts(Doctor* d) {
  for (const KRP_Cert& cert : krpServerCertsMet())
    d->expiry("certificate of server " + cert.clientName, "", cert.notAfter,
              "renew it: blr certs renew <authority dir> " + cert.clientName +
                  ", then reload that server (blr-anchor: SIGHUP) or restart it");
}

int runDoctor(const Cli& cli) {
  preferShortWaits();
  Doctor d(cli);
  checkRegistry(&d);
  std::string caFile, certFile;
  bool caOk = checkCaFile(&d, &caFile);
  checkCertificate(&d, caOk ? caFile : "", &certFile);
  checkKey(&d, certFile);
  std::vector<DWClientInfo> clients;
  if (checkCentralServer(&d, d.allOk(), &clients))
    for (const DWClientInfo& c : clients) checkProxy(&d, c);
  checkServerCerts(&d);
  return d.report();
}

}  // namespace

void addDoctorCommands(Cli& cli) {
  CLI::App* cmd = cli.app().add_subcommand(
      "doctor", "Check the registry, certificates, central server and proxies; say what to fix");
  cli.on(cmd, [&cli] { return runDoctor(cli); });
}

#include "host/link/DwLinkConfig.h"

#include <cstdlib>

#include "host/config/DWPlatformInfo.h"
#include "host/config/DwRegistryCache.h"
#include "host/tls/KrpSocket.h"
#include "host/tls/TlsContext.h"

namespace {

const char kSection[] = "Link";

CZuError readNumber(const char* key, int def, int min, int max, int* out) {
  return DWPlatformInfo().readNumber(kSection, key, def, min, max, out);
}

CZuError readSeconds(const char* key, int defSecs, int* outMs) {
  int secs = 0;
  CZuError err = readNumber(key, defSecs, 1, 24 * 3600, &secs);
  if (!err.IsError()) *outMs = secs * 1000;
  return err;
}

CZuError readFlag(const char* key, bool* out) {
  int value = 0;
  CZuError err = readNumber(key, 0, 0, 1, &value);
  *out = value != 0;
  return err;
}

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

// "a:1, b , [::1]:3": the servers of sServers, in order; none when blank.
CZuError parseServers(const std::string& text, int defaultPort, std::vector<DwLinkAddress>* out) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    std::string item = trimmed(text.substr(pos, comma - pos));
    pos = comma + 1;
    if (item.empty()) continue;
    DwLinkAddress a;
    a.port = defaultPort;
    CZuError err = dwLinkParseAddress(item, &a.host, &a.port);
    if (err.IsError()) return err;
    out->push_back(a);
  }
  return CZuError();
}

// The servers of sServers when it names any, otherwise sServerHost's.
CZuError registryServers(int port, std::vector<DwLinkAddress>* out, std::string* source) {
  DWPlatformInfo info;
  std::string servers, host;
  info.getString(kSection, "sServers", &servers);
  CZuError err = parseServers(servers, port, out);
  if (err.IsError()) return err.Push(FXLOC, "Registry [%s] sServers = \"%s\"", kSection, servers.c_str());
  *source = "[Link] sServers";
  if (!out->empty()) return err;
  info.getString(kSection, "sServerHost", &host);
  host = trimmed(host);
  *source = "[Link] sServerHost and nServerPort";
  if (host.find_first_of(" \t,") != std::string::npos)
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "Registry [%s] sServerHost = \"%s\" is not one host name or address "
                                 "(several servers go in sServers)",
                                 kSection, host.c_str());
  if (host.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "No central server configured: set [%s] sServerHost or sServers",
                                 kSection);
  out->push_back({host, port});
  return err;
}

}  // namespace

CZuError dwLinkParseAddress(const std::string& text, std::string* host, int* port) {
  std::string h = text, p;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid server address \"%s\"", text.c_str());
    h = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':')
        return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid server address \"%s\"", text.c_str());
      p = text.substr(close + 2);
    }
  } else if (text.find(':') != std::string::npos && text.find(':') == text.rfind(':')) {
    h = text.substr(0, text.find(':'));
    p = text.substr(text.find(':') + 1);
  }
  if (!p.empty()) {
    char* end = nullptr;
    long value = std::strtol(p.c_str(), &end, 10);
    if (*end != '\0' || value < 1 || value > 65535)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid port in server address \"%s\"", text.c_str());
    *port = static_cast<int>(value);
  }
  if (h.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid server address \"%s\"", text.c_str());
  *host = h;
  return CZuError();
}

std::string DwLinkAddress::text() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

CZuError dwLinkResolveServers(const std::string& address, std::vector<DwLinkAddress>* out,
                              std::string* source) {
  int port = kDwLinkDefaultPort;
  CZuError err = readNumber("nServerPort", kDwLinkDefaultPort, 1, 65535, &port);
  std::vector<DwLinkAddress> found;
  std::string from = "the address \"" + address + "\"";
  if (!err.IsError() && address.empty()) {
    err = registryServers(port, &found, &from);
  } else if (!err.IsError()) {
    found.push_back({"", port});
    err = dwLinkParseAddress(address, &found.back().host, &found.back().port);
  }
  if (err.IsError()) return err;
  out->swap(found);
  if (source != nullptr) *source = from;
  return CZuError();
}

CZuError DwLinkClientConfig::fromRegistry(DwLinkClientConfig* out, const std::string& address) {
  DwLinkClientConfig c;
  DWPlatformInfo info;
  info.getString(kSection, "sServerName", &c.serverName);
  CZuError err = readSeconds("nTimeoutSecs", 60, &c.timeoutMs);
  if (!err.IsError()) err = readSeconds("nConnectTimeoutSecs", c.timeoutMs / 1000, &c.connectTimeoutMs);
  if (!err.IsError()) err = readSeconds("nAuthTimeoutSecs", 30, &c.authTimeoutMs);
  if (!err.IsError()) err = readNumber("nPoolSize", 4, 0, 1024, &c.poolSize);
  if (!err.IsError()) err = readNumber("nPoolIdleSecs", 60, 1, 24 * 3600, &c.poolIdleSecs);
  if (!err.IsError()) err = readFlag("nAllowBuiltinCerts", &c.allowBuiltinCerts);
  if (!err.IsError()) err = dwLinkResolveServers(address, &c.servers);
  if (!err.IsError()) err = TlsContext::fromRegistry(&c.tls);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't read the link's client settings");
  *out = std::move(c);
  return CZuError();
}

CZuError DwLinkClientConfig::current(std::shared_ptr<const DwLinkClientConfig>* out,
                                     const std::string& address) {
  // One entry per address asked of: the registry's servers and the proxies
  // asked directly.
  static auto* cached = new DwRegistryCache<DwLinkClientConfig>;  // lives to the end
  std::shared_ptr<TlsContext> tls;
  CZuError err = TlsContext::fromRegistry(&tls);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't read the link's client settings");
  auto read = [&](DwLinkClientConfig* c) {
    err = fromRegistry(c, address);
    return !err.IsError();
  };
  cached->get(address, out, read, [&](const DwLinkClientConfig& kept) { return kept.tls == tls; });
  return err;
}

CZuError DwLinkServerConfig::fromRegistry(DwLinkServerConfig* out) {
  DwLinkServerConfig c;
  DWPlatformInfo info;
  info.getString(kSection, "sListenAddress", &c.address);
  int serverPort = 0;
  CZuError err = readNumber("nServerPort", kDwLinkDefaultPort, 1, 65535, &serverPort);
  if (!err.IsError()) err = readNumber("nListenPort", serverPort, 0, 65535, &c.port);
  if (!err.IsError()) err = readNumber("nMaxConnections", 64, 1, 4096, &c.limits.maxConnections);
  if (!err.IsError()) err = readNumber("nMaxPending", 128, 1, 65536, &c.limits.maxPending);
  if (!err.IsError())
    err = readNumber("nMaxPendingPerAddress", 16, 1, 65536, &c.limits.maxPendingPerAddress);
  if (!err.IsError()) err = readNumber("nMaxSilent", 4096, 1, 1 << 20, &c.limits.maxSilent);
  if (!err.IsError()) err = readNumber("nMaxIdlePerName", 32, 1, 65536, &c.limits.maxIdlePerName);
  int budgetMB = 0;
  if (!err.IsError()) err = readNumber("nMemoryBudgetMB", 256, 1, 1 << 20, &budgetMB);
  c.memoryBudgetBytes = static_cast<size_t>(budgetMB) << 20;
  if (!err.IsError()) err = readSeconds("nTimeoutSecs", 60, &c.timeoutMs);
  if (!err.IsError()) err = readSeconds("nHandshakeTimeoutSecs", 5, &c.authTimeoutMs);
  if (!err.IsError()) err = readSeconds("nIdleTimeoutSecs", 300, &c.idleTimeoutMs);
  if (!err.IsError()) err = readFlag("nAllowBuiltinCerts", &c.allowBuiltinCerts);
  if (!err.IsError()) err = TlsContext::fromRegistry(&c.tls);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't read the link's server settings");
  *out = std::move(c);
  return CZuError();
}

CZuError dwLinkCheckPeerKind(const KRP_Cert& cert, bool allowBuiltinCerts) {
  if (cert.kind == KRP_CERT_KIND_CLIENT) return CZuError();
  if (cert.kind == KRP_CERT_KIND_PRODUCT && allowBuiltinCerts) return CZuError();
  return FXErrorUtil::ErrorInt(FXLOC, 1,
                               "%s did not authenticate with a per-client certificate (kind %d)",
                               cert.clientName.c_str(), cert.kind);
}

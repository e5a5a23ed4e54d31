#include "host/DwLinkConfig.h"

#include "host/DWPlatformInfo.h"
#include "host/KrpSocket.h"
#include "host/TlsContext.h"

namespace {

const char kSection[] = "Link";

// A number of section "Link", or `def` when absent; out-of-range and
// non-numeric values are refused rather than guessed at.
CZuError readNumber(const char* key, int def, int min, int max, int* out) {
  DWPlatformInfo info;
  std::string text;
  if (!info.getString(kSection, key, &text)) {
    *out = def;
    return CZuError();
  }
  long long value = 0;
  if (!info.getNumber(kSection, key, &value) || value < min || value > max)
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "Registry [%s] %s = \"%s\" is not a number from %d to %d",
                                 kSection, key, text.c_str(), min, max);
  *out = static_cast<int>(value);
  return CZuError();
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

}  // namespace

CZuError DwLinkClientConfig::fromRegistry(DwLinkClientConfig* out) {
  DwLinkClientConfig c;
  DWPlatformInfo info;
  info.getString(kSection, "sServerHost", &c.host);
  info.getString(kSection, "sServerName", &c.serverName);
  CZuError err = readNumber("nServerPort", kDwLinkDefaultPort, 1, 65535, &c.port);
  if (!err.IsError()) err = readSeconds("nTimeoutSecs", 60, &c.timeoutMs);
  if (!err.IsError()) err = readSeconds("nAuthTimeoutSecs", 30, &c.authTimeoutMs);
  if (!err.IsError()) err = readNumber("nPoolSize", 4, 0, 1024, &c.poolSize);
  if (!err.IsError()) err = readNumber("nPoolIdleSecs", 60, 1, 24 * 3600, &c.poolIdleSecs);
  if (!err.IsError()) err = readFlag("nAllowBuiltinCerts", &c.allowBuiltinCerts);
  if (!err.IsError()) err = TlsContext::fromRegistry(&c.tls);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't read the link's client settings");
  *out = std::move(c);
  return CZuError();
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

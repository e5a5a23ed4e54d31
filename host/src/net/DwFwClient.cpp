#include "host/net/DwFwClient.h"

#include <fcntl.h>

#include <cerrno>
#include <climits>

#include "host/config/DWPlatformInfo.h"
#include "host/base/DwClock.h"
#include "host/net/DwHostName.h"
#include "host/net/DwTcp.h"

namespace {

int connectTimeoutMs(int timeoutSecs) {
  long long secs = timeoutSecs;
  if (secs < 0) {
    DWPlatformInfo info;
    if (!info.getNumber("Net", "nConnectTimeoutSecs", &secs) || secs <= 0)
      secs = DwFwClient::kDefaultConnectTimeoutSecs;
  }
  return secs > INT_MAX / 1000 ? INT_MAX : static_cast<int>(secs * 1000);
}

// The network host name of a mangled name, or the text itself.
std::string networkHost(const char* host) {
  std::string hostName, clientName;
  int dwdPort = 0, evmgrcPort = 0;
  if (DemangleHostName(host, hostName, clientName, dwdPort, evmgrcPort)) return hostName;
  return host;
}

CZuError makeBlocking(CZuSocket& sock) {
  int fd = sock.GetDescriptor();
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0)
    return FXErrorUtil::ErrorErrNo(FXLOC, errno, "Couldn't make socket %d blocking", fd);
  return CZuError();
}

}  // namespace

CZuError DwFwClient::tryPorts(const std::string& host, const int (&ports)[2], int timeoutMs,
                              AttemptFn onAttempt, void* arg, CZuSocket* out) {
  CZuError err;
  for (int port : ports) {
    if (port == 0) continue;
    if (onAttempt != nullptr && !onAttempt(arg, host.c_str(), port))
      return FXErrorUtil::ErrorInt(FXLOC, ECANCELED, "Connection to %s:%d abandoned",
                                   host.c_str(), port);
    err = dwTcpConnect(host, port, timeoutMs, out);
    if (!err.IsError()) break;
  }
  return err;
}

CZuSocket DwFwClient::connect(const char* host, int port, int port2, int timeoutSecs, int retries,
                              AttemptFn onAttempt, void* arg, bool nonBlocking) {
  lastError_ = DwFwError();
  CZuError err;
  CZuSocket sock;
  if (host == nullptr || *host == '\0' || port <= 0 || port > 65535) {
    err = FXErrorUtil::ErrorInt(FXLOC, EINVAL, "Couldn't connect to %s:%d: no host or port",
                                host ? host : "(null)", port);
  } else {
    std::string net = networkHost(host);
    int timeoutMs = connectTimeoutMs(timeoutSecs);
    const int ports[2] = {port, port2 > 0 && port2 != port ? port2 : 0};
    for (int round = 0;; ++round) {
      err = tryPorts(net, ports, timeoutMs, onAttempt, arg, &sock);
      if (!err.IsError() || err.Code() == ECANCELED || round >= retries) break;
      ZUSLEEP(1000);
    }
    if (!err.IsError() && !nonBlocking) err = makeBlocking(sock);
  }
  if (!err.IsError()) return sock;
  // Failures without an errno (an unresolvable host) still get one.
  lastError_.code = err.Code() > 1 ? err.Code() : EHOSTUNREACH;
  lastError_.text = err.Summary();
  return CZuSocket();
}

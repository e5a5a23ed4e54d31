// The connection client: opens a TCP connection to a client machine given by
// its mangled host name (DwHostName.h) or by a plain host name or address,
// trying a service's two ports in turn.
//
// Registry, section "Net":
//   nConnectTimeoutSecs  number  30  time-out of one connection attempt
#ifndef HOST_DWFWCLIENT_H
#define HOST_DWFWCLIENT_H

#include <string>

#include "host/net/CZuSocket.h"

// Why the last connection failed: an errno value (ECONNREFUSED, ETIMEDOUT,
// EHOSTUNREACH for a host that can't be resolved, EINVAL for bad arguments,
// ECANCELED) and the whole error text.
struct DwFwError {
  int code = 0;
  std::string text;
};

class DwFwClient {
 public:
  static constexpr int kDefaultConnectTimeoutSecs = 30;

  // Called before each attempt; returning false abandons the connection
  // (the last error's code is then ECANCELED).
  using AttemptFn = bool (*)(void* arg, const char* host, int port);

  DwFwClient() = default;

  // Connects to `port` and, when that fails, to `port2` (ignored when 0 or
  // equal to `port`).  `timeoutSecs` bounds each attempt (-1: the registry's
  // value).  `retries` more rounds over both ports follow a failed round,
  // each after a pause of one second (-1 or 0: none).  The socket comes back
  // close-on-exec, without Nagle delay, and non-blocking only when
  // `nonBlocking` is true.
  //
  // On failure the socket is invalid and getLastError() has a non-zero code.
  CZuSocket connect(const char* host, int port, int port2, int timeoutSecs, int retries,
                    AttemptFn onAttempt, void* arg, bool nonBlocking);

  DwFwError getLastError() const { return lastError_; }

 private:
  CZuError tryPorts(const std::string& host, const int (&ports)[2], int timeoutMs,
                    AttemptFn onAttempt, void* arg, CZuSocket* out);

  DwFwError lastError_;
};

#endif  // HOST_DWFWCLIENT_H

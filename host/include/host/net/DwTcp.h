// TCP plumbing shared by the authenticated socket layer and the request link:
// waiting on a descriptor with a time-out, connecting and listening.
#ifndef HOST_DWTCP_H
#define HOST_DWTCP_H

#include <string>

#include "host/base/CZuError.h"
#include "host/net/CZuSocket.h"

enum class DwWait { kReady, kTimeout, kCancelled };

// Waits until `fd` reports one of `events` (POLLIN, POLLOUT; an error or hang-up
// counts as ready so that the next call reports it), `timeoutMs` passes, or
// `cancelFd` (ignored when negative) becomes readable.  A negative time-out
// waits without limit.
CZuError dwWaitFd(int fd, short events, int timeoutMs, int cancelFd, DwWait* out);

// Connects to host:port within `timeoutMs`, trying each resolved address in
// turn.  The socket comes back non-blocking, close-on-exec, without Nagle delay.
CZuError dwTcpConnect(const std::string& host, int port, int timeoutMs, CZuSocket* out);

// Sends small segments at once instead of holding them back until the peer
// acknowledges the previous one (Nagle): a frame written in several pieces
// would otherwise wait for the peer's delayed acknowledgement.
void dwTcpSendAtOnce(int fd);

// Listens on address:port (an empty address means every local address; port 0
// picks a free port, returned in `boundPort`).  The socket is non-blocking.
CZuError dwTcpListen(const std::string& address, int port, int backlog, CZuSocket* out,
                     int* boundPort);

#endif  // HOST_DWTCP_H

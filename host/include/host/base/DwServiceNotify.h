// Tells the service manager how the process is doing, as datagrams on the
// unix socket named by $NOTIFY_SOCKET (a path, or "@name" for the abstract
// namespace).  Without the variable every call does nothing, so a program
// runs the same by hand and under a manager.
//
// The states a server sends: "READY=1" once it serves, "RELOADING=1" and
// then "READY=1" around a reload, "STOPPING=1" when it begins to shut down,
// and "WATCHDOG=1" at least every dwServiceWatchdogMs() while it is healthy.
#ifndef HOST_DWSERVICENOTIFY_H
#define HOST_DWSERVICENOTIFY_H

#include <string>

#include "host/base/CZuError.h"

// Sends `state` (lines of KEY=VALUE) as one datagram.
CZuError dwServiceNotify(const std::string& state);

CZuError dwServiceReady();
CZuError dwServiceReloading();  // READY=1 follows when the reload is done
CZuError dwServiceStopping();
CZuError dwServiceWatchdog();

// How often to send "WATCHDOG=1": half the manager's period ($WATCHDOG_USEC),
// in milliseconds, at least 1.  0 when no watchdog watches this process (no
// period, or $WATCHDOG_PID names another process).
int dwServiceWatchdogMs();

#endif  // HOST_DWSERVICENOTIFY_H

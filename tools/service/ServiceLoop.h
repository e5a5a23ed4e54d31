// The main thread of a server program once it serves: it tells the service
// manager (DwServiceNotify.h) that the server is ready, proves it alive to the
// manager's watchdog, reloads on SIGHUP and returns on SIGTERM or SIGINT.
//
// The signals are blocked in every thread and taken here with sigtimedwait,
// so no signal handler runs: the work of a reload is done on this thread, at
// a point where it is safe.
#ifndef TOOLS_SERVICE_SERVICELOOP_H
#define TOOLS_SERVICE_SERVICELOOP_H

#include <signal.h>

#include <functional>

struct ServiceHooks {
  // Whether the server still works.  It should touch what a wedged server
  // would hold (its locks), so that it blocks or fails then and the watchdog
  // sees no sign of life.  Null: always alive.
  std::function<bool()> alive;
  // SIGHUP: re-read what may change while serving.  Null: nothing to reload.
  std::function<void()> reload;
};

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread and in every thread
// it starts afterwards; call before the server starts any.  Returns the set.
sigset_t serviceBlockSignals();

// Sends READY=1, then serves the signals in `signals` until SIGTERM or SIGINT
// arrives, sending WATCHDOG=1 every dwServiceWatchdogMs() while
// `hooks.alive` says so.  Sends STOPPING=1 and returns the stop signal.
int serviceRun(const sigset_t& signals, const ServiceHooks& hooks);

// The debug levels of every subsystem ([EventManager] <prefix>_DEBUGLEVEL)
// read again from the registry now; a key that is gone gives the default.
void serviceReloadDebugLevels();

#endif  // TOOLS_SERVICE_SERVICELOOP_H

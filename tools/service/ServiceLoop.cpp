#include "ServiceLoop.h"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "BLR/BlrDebug.h"
#include "host/base/DwServiceNotify.h"
#include "host/config/DWPlatformInfo.h"
#include "host/tls/TlsContext.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kLogContext[] = "service";

// The registry key prefix of each subsystem, in BlrDebugSubsystem order.
const char* const kSubsystemKeys[] = {"BLR",      "BLR_VAIO", "BLR_SRC",  "BLR_CACHE",
                                      "BLR_NET",  "BLR_CTRL", "BLR_HEAD", "BLR_PERF",
                                      "BLR_CFG",  "BLR_BOOT", "BLR_WINFS"};

void logFailure(const CZuError& err) {
  if (err.IsError()) blrError(kLogContext, "%s", err.Summary().c_str());
}

// Waits for one of `signals` until `deadline`; 0 when it passed first.
int waitSignal(const sigset_t& signals, Clock::time_point deadline, bool bounded) {
  for (;;) {
    int sig;
    if (!bounded) {
      sig = sigwaitinfo(&signals, nullptr);
    } else {
      auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
      if (left.count() <= 0) return 0;
      timespec ts{static_cast<time_t>(left.count() / 1000000000),
                  static_cast<long>(left.count() % 1000000000)};
      sig = sigtimedwait(&signals, nullptr, &ts);
      if (sig < 0 && errno == EAGAIN) return 0;
    }
    if (sig > 0) return sig;
  }
}

}  // namespace

sigset_t serviceBlockSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

int serviceRun(const sigset_t& signals, const ServiceHooks& hooks) {
  logFailure(dwServiceReady());
  const int pingMs = dwServiceWatchdogMs();
  Clock::time_point nextPing = Clock::now();
  for (;;) {
    if (pingMs > 0 && Clock::now() >= nextPing) {
      if (!hooks.alive || hooks.alive()) logFailure(dwServiceWatchdog());
      nextPing = Clock::now() + std::chrono::milliseconds(pingMs);
    }
    int sig = waitSignal(signals, nextPing, pingMs > 0);
    if (sig == SIGHUP) {
      logFailure(dwServiceReloading());
      // What the operator changed is read now, not within the second.
      DWPlatformInfo::recheckFile();
      TlsContext::recheckFiles();
      if (hooks.reload) hooks.reload();
      blrDebug(kLogContext, 1, "Reloaded on SIGHUP");
      logFailure(dwServiceReady());
    } else if (sig != 0) {
      logFailure(dwServiceStopping());
      return sig;
    }
  }
}

void serviceReloadDebugLevels() {
  DWPlatformInfo info;
  int subsystem = 0;
  for (const char* prefix : kSubsystemKeys) {
    std::string key = std::string(prefix) + "_DEBUGLEVEL";
    long long level = 0;  // 0: back to the default
    info.getNumber("EventManager", key.c_str(), &level);
    blrSetDebugLevel(subsystem++, static_cast<int>(level));
  }
}

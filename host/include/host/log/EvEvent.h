// The host's event log: events that the system posts about its entities (a
// pair changed status, ...), each kept as one row of the table APP_Event in
// the database "Anchor", so that they survive restarts and can be listed.
#ifndef HOST_EVEVENT_H
#define HOST_EVEVENT_H

#include <ctime>
#include <string>
#include <vector>

#include "host/base/CZuError.h"

enum { EV_ARG_TEXT = 11 };  // the one argument type events carry
enum { EV_SEVERITY_INFO = 1, EV_SEVERITY_WARNING = 2, EV_SEVERITY_ERROR = 3 };

// One stored event.
struct EvEventRecord {
  long long seq = 0;  // order of posting
  time_t time = 0;    // seconds since the epoch (DwClock)
  int eventId = 0;
  int severity = 0;
  int entityType = 0;
  long long entityId = 0;
  std::vector<std::string> arguments;
  std::string actor;  // who caused it: an authenticated client name, or empty
};

// Collects one event's arguments and entity, then posts it.
class EvEvent {
 public:
  EvEvent() = default;

  // Appends an argument; `type` must be EV_ARG_TEXT (other types are kept
  // as text too).
  void addArgument(const std::string& text, int type);
  void setEntity(int entityId, int entityType);
  // The authenticated client name of whoever caused the event.
  void setActor(const std::string& actor) { actor_ = actor; }

  // Stores the event as informational.  The two trailing arguments are kept
  // for the framework's callers and ignored.  A failure is also written to
  // the debug log, since callers commonly ignore it.
  CZuError InfoEvent(int eventId, long long, int);

  struct Filter {
    int entityType = -1;      // -1: any
    long long entityId = -1;  // -1: any
    int limit = 100;          // newest first; 0: no limit
    std::string actor;        // empty: any
  };
  // Stored events, newest first.
  static CZuError list(const Filter& filter, std::vector<EvEventRecord>* events);
  // Adds the actor column to an event table made before it existed.
  static CZuError upgradeTable();

 private:
  CZuError post(int eventId, int severity);

  std::vector<std::string> arguments_;
  int entityType_ = 0;
  long long entityId_ = 0;
  std::string actor_;
};

#endif  // HOST_EVEVENT_H

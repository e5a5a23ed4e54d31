// The host's debug-log sink.  Every call writes one record to the log file
// named by [EventManager] sLogFile (standard error when the key is absent or
// empty); the file is opened for appending on each record, so a change of the
// key or a rotated file is picked up by the next record.
//
// Record layout, one physical line per line of the message:
//   2024-05-01 12:34:56.789 <pid> <tid> <SEVERITY> id=<id> <prefix><function>(): <message>
// SEVERITY is DEBUG (1), ERROR (-1) or SEV<n>; "<function>(): " is left out
// when no function is given.  A message that holds newlines is written as
// several lines, each with the whole header, in one write(), so that the
// lines of a record stay together and every line can be read on its own.
// A trailing newline of the message is dropped.
#ifndef HOST_EVDEBUG_H
#define HOST_EVDEBUG_H

#include <cstdarg>
#include <string>

#define EV_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// The tag a thread's lines carry: a prefix text and a numeric identifier.
class EvDebugFileInstance {
 public:
  EvDebugFileInstance() : id_(0) {}

  const std::string& prefix() const { return prefix_; }
  void setPrefix(const std::string& prefix) { prefix_ = prefix; }
  long long id() const { return id_; }
  void setId(long long id) { id_ = id; }

 private:
  std::string prefix_;
  long long id_;
};

// Makes an instance the calling thread's while it lives; the previous one is
// restored on destruction.  The caller keeps ownership of the instance.
// Instances on one thread nest and are normally destroyed in reverse order;
// one destroyed out of order is unlinked so no dangling instance is left.
class ThLvlEvDebugFileInstance {
 public:
  explicit ThLvlEvDebugFileInstance(EvDebugFileInstance* instance);
  ~ThLvlEvDebugFileInstance();
  ThLvlEvDebugFileInstance(const ThLvlEvDebugFileInstance&) = delete;
  ThLvlEvDebugFileInstance& operator=(const ThLvlEvDebugFileInstance&) = delete;

  // The calling thread's instance, or null.
  static EvDebugFileInstance* current();

 private:
  EvDebugFileInstance* instance_;
  ThLvlEvDebugFileInstance* previous_;
};

// One call of EvDebug::handleMsgEventDebug_NEW as an observer sees it.  The
// pointers are those the caller passed (either may be null) and are valid
// during the notification only.
struct EvDebugRecord {
  int severity;
  const char* function;
  long long id;
  const char* prefix;
  std::string message;  // formatted, as given
};

// Sees every record before it is written: tests, and blr's live display of
// the recovery workflows.  Called on the logging thread under the sink's
// lock: it must not log.
class EvDebugObserver {
 public:
  virtual ~EvDebugObserver() = default;
  virtual void onRecord(const EvDebugRecord& record) = 0;
};

// A handle on the process's sink; objects are cheap and share all state.
class EvDebug {
 public:
  // Writes one record.  `prefix` null takes the prefix and id of the
  // thread's instance (if any) in place of `prefix` and `id`.  The two int
  // arguments are kept for the framework's callers (0, -1) and ignored.
  void handleMsgEventDebug_NEW(int severity, const char* function, int, int, long long id,
                               const char* prefix, const char* fmt, va_list args);
  void handleMsgEventDebug(int severity, const char* function, long long id, const char* prefix,
                           const char* fmt, ...) EV_PRINTF(6, 7);

  // The process's current file instance (empty prefix, id 0), by value.
  EvDebugFileInstance RefreshInstance();

  // Installs a process-wide observer (null removes it) and returns the
  // previous one.  The caller keeps ownership.
  static EvDebugObserver* installObserver(EvDebugObserver* observer);
};

#endif  // HOST_EVDEBUG_H

#include "host/log/EvDebug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "host/config/DWPlatformInfo.h"
#include "host/base/FXFormat.h"

namespace {

thread_local ThLvlEvDebugFileInstance* tTop = nullptr;
std::atomic<EvDebugObserver*> gObserver{nullptr};

// Never destroyed: threads may log while the process exits.
std::mutex& sinkMutex() {
  static std::mutex* mu = new std::mutex;
  return *mu;
}

std::string severityText(int severity) {
  if (severity == 1) return "DEBUG";
  if (severity == -1) return "ERROR";
  return "SEV" + std::to_string(severity);
}

// "<date> <time>.<ms> <pid> <tid> <SEVERITY> id=<id> "
std::string recordHeader(int severity, long long id) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm lt {};
  localtime_r(&ts.tv_sec, &lt);
  char buf[128];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03ld %ld %ld %s id=%lld ",
                lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec,
                ts.tv_nsec / 1000000, static_cast<long>(getpid()), static_cast<long>(syscall(SYS_gettid)),
                severityText(severity).c_str(), id);
  return buf;
}

// One line per line of the message, each with the whole lead.
std::string formatRecord(const std::string& lead, std::string message) {
  while (!message.empty() && message.back() == '\n') message.pop_back();
  std::string out;
  size_t start = 0;
  for (;;) {
    size_t end = message.find('\n', start);
    out += lead;
    out.append(message, start, end == std::string::npos ? std::string::npos : end - start);
    out += '\n';
    if (end == std::string::npos) return out;
    start = end + 1;
  }
}

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere left to report to
    done += static_cast<size_t>(n);
  }
}

// The log file, kept open between lines.  Whether the path still names the
// open file (logrotate renames or removes it) is looked at at most once a
// second; a new path is opened at once.  So is a failed open retried.
class LogFile {
 public:
  // The descriptor to append to `path`, or -1 with the reason in `error`.
  int fdFor(const std::string& path, std::string* error) {
    const Clock::time_point now = Clock::now();
    if (path == path_ && now - lookedAt_ < std::chrono::seconds(1)) return fd_;
    struct stat st;
    const bool same = path == path_ && fd_ >= 0 && ::stat(path.c_str(), &st) == 0 && st.st_dev == dev_ &&
                      st.st_ino == ino_;
    lookedAt_ = now;
    if (same) return fd_;
    if (fd_ >= 0) ::close(fd_);
    path_ = path;
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0) {
      dev_ = st.st_dev;
      ino_ = st.st_ino;
    } else if (fd_ < 0) {
      *error = std::strerror(errno);
    }
    return fd_;
  }

 private:
  using Clock = std::chrono::steady_clock;

  std::string path_;
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  Clock::time_point lookedAt_;
};

// Appends to the configured file, or to standard error when there is none or
// it can't be opened (reported once per file name).  The caller holds the
// sink's mutex.
void emit(const std::string& text) {
  static std::string* lastFailed = new std::string;
  static LogFile* file = new LogFile;  // never closed: threads may log while the process exits
  std::string path;
  if (!DWPlatformInfo().getString("EventManager", "sLogFile", &path) || path.empty()) {
    writeAll(STDERR_FILENO, text);
    return;
  }
  std::string error;
  int fd = file->fdFor(path, &error);
  if (fd < 0) {
    if (*lastFailed != path && !error.empty()) {
      *lastFailed = path;
      writeAll(STDERR_FILENO, "EvDebug: couldn't open log file " + path + ": " + error + "\n");
    }
    writeAll(STDERR_FILENO, text);
    return;
  }
  lastFailed->clear();
  writeAll(fd, text);
}

}  // namespace

ThLvlEvDebugFileInstance::ThLvlEvDebugFileInstance(EvDebugFileInstance* instance)
    : instance_(instance), previous_(tTop) {
  tTop = this;
}

ThLvlEvDebugFileInstance::~ThLvlEvDebugFileInstance() {
  if (tTop == this) {
    tTop = previous_;
    return;
  }
  for (ThLvlEvDebugFileInstance* p = tTop; p != nullptr; p = p->previous_) {
    if (p->previous_ == this) {
      p->previous_ = previous_;
      return;
    }
  }
}

EvDebugFileInstance* ThLvlEvDebugFileInstance::current() { return tTop ? tTop->instance_ : nullptr; }

void EvDebug::handleMsgEventDebug_NEW(int severity, const char* function, int, int, long long id,
                                      const char* prefix, const char* fmt, va_list args) {
  std::string message = FXFormatV(fmt, args);
  std::string tag;
  long long lineId = id;
  if (prefix != nullptr) {
    tag = prefix;
  } else if (const EvDebugFileInstance* instance = ThLvlEvDebugFileInstance::current()) {
    if (!instance->prefix().empty()) tag = instance->prefix() + " ";
    lineId = instance->id();
  }
  if (function != nullptr && *function != '\0') {
    tag += function;
    tag += "(): ";
  }

  std::lock_guard<std::mutex> lock(sinkMutex());
  if (EvDebugObserver* observer = gObserver.load(std::memory_order_acquire))
    observer->onRecord(EvDebugRecord{severity, function, id, prefix, message});
  emit(formatRecord(recordHeader(severity, lineId) + tag, std::move(message)));
}

void EvDebug::handleMsgEventDebug(int severity, const char* function, long long id, const char* prefix,
                                  const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  handleMsgEventDebug_NEW(severity, function, 0, -1, id, prefix, fmt, args);
  va_end(args);
}

EvDebugFileInstance EvDebug::RefreshInstance() { return EvDebugFileInstance(); }

EvDebugObserver* EvDebug::installObserver(EvDebugObserver* observer) {
  return gObserver.exchange(observer, std::memory_order_acq_rel);
}

#include "BLR/BlrDebug.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "BLR/BlrUUID.h"
#include "BLR/BlrUtils.h"
#include "BLR/DwCriticalSection.h"
#include "host/config/DWPlatformInfo.h"
#include "host/base/DwClock.h"
#include "host/log/EvDebug.h"
#include "host/base/FXFormat.h"

namespace {

const char* const kPrefixes[] = {"BLR",      "BLR_VAIO", "BLR_SRC",  "BLR_CACHE",
                                 "BLR_NET",  "BLR_CTRL", "BLR_HEAD", "BLR_PERF",
                                 "BLR_CFG",  "BLR_BOOT", "BLR_WINFS"};
constexpr int kSubsystems = sizeof kPrefixes / sizeof kPrefixes[0];
constexpr time_t kLevelRefreshSecs = 60;

// Read and written without the module lock: a race costs an extra re-read.
struct LevelCache {
  std::atomic<int> level{0};  // 0: not set
  std::atomic<time_t> lastRead{0};
};
LevelCache gLevels[kSubsystems];
std::atomic<bool> gCopyToStderr{false};

thread_local BlrDebugCtx* tCurrentCtx = nullptr;

// Never destroyed: threads may log while the process exits.
DwCriticalSection& moduleLock() {
  static DwCriticalSection* cs = new DwCriticalSection;
  return *cs;
}
EvDebug* gSink = nullptr;  // under the module lock

int slotOf(int subsystem) { return subsystem >= 0 && subsystem < kSubsystems ? subsystem : 0; }

void rereadLevel(int slot, time_t now) {
  char key[64];
  std::snprintf(key, sizeof key, "%s_DEBUGLEVEL", kPrefixes[slot]);
  long long value = 0;
  if (DWPlatformInfo().getNumber("EventManager", key, &value))
    gLevels[slot].level.store(static_cast<int>(value), std::memory_order_relaxed);
  gLevels[slot].lastRead.store(now, std::memory_order_relaxed);
}

// Stale after a minute, or when the clock went back past the last read.
void refreshLevel(int slot, time_t now) {
  time_t last = gLevels[slot].lastRead.load(std::memory_order_relaxed);
  if (now > last + kLevelRefreshSecs || now < last) rereadLevel(slot, now);
}

void copyToStderr(const char* function, const char* fmt, va_list args) {
  std::string line = std::to_string(blrGetTid()) + ": ";
  if (function != nullptr && *function != '\0') line += std::string(function) + "(): ";
  line += FXFormatV(fmt, args);
  size_t fmtLen = std::strlen(fmt);
  if (fmtLen != 0 && fmt[fmtLen - 1] != '\n') line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// Hands one line to the sink, tagged with the thread's context.
void writeLine(int severity, const char* function, const char* fmt, va_list args) {
  if (fmt == nullptr) fmt = "";
  DwCriticalSectionLock lock(&moduleLock());
  if (gSink == nullptr) gSink = new EvDebug;
  std::string prefix;
  long long id = 0;
  if (const BlrDebugCtx* ctx = tCurrentCtx) {
    id = ctx->id();
    if (!ctx->name().empty()) prefix = "[" + ctx->name() + "] ";
    if (function != nullptr && *function != '\0') prefix += std::string(function) + "() - ";
    function = nullptr;  // already in the prefix
  }
  va_list copy;
  va_copy(copy, args);
  gSink->handleMsgEventDebug_NEW(severity, function, 0, -1, id, prefix.c_str(), fmt, copy);
  va_end(copy);
  if (gCopyToStderr.load(std::memory_order_relaxed)) copyToStderr(function, fmt, args);
}

void debugAt(int subsystem, const char* function, int level, const char* fmt, va_list args) {
  if (level <= blrGetDebugLevel(subsystem)) writeLine(1, function, fmt, args);
}

}  // namespace

#define BLR_DEFINE_DEBUG_FUNCTION(name, subsystem)                      \
  void name(const char* function, int level, const char* fmt, ...) {    \
    va_list args;                                                       \
    va_start(args, fmt);                                                \
    debugAt(subsystem, function, level, fmt, args);                     \
    va_end(args);                                                       \
  }

BLR_DEFINE_DEBUG_FUNCTION(blrDebug, BLR_DBG_BLR)
BLR_DEFINE_DEBUG_FUNCTION(blrVaioDebug, BLR_DBG_VAIO)
BLR_DEFINE_DEBUG_FUNCTION(blrSrcDebug, BLR_DBG_SRC)
BLR_DEFINE_DEBUG_FUNCTION(blrCacheDebug, BLR_DBG_CACHE)
BLR_DEFINE_DEBUG_FUNCTION(blrNetDebug, BLR_DBG_NET)
BLR_DEFINE_DEBUG_FUNCTION(blrCtrlDebug, BLR_DBG_CTRL)
BLR_DEFINE_DEBUG_FUNCTION(blrHeadDebug, BLR_DBG_HEAD)
BLR_DEFINE_DEBUG_FUNCTION(blrPerfDebug, BLR_DBG_PERF)
BLR_DEFINE_DEBUG_FUNCTION(blrCfgDebug, BLR_DBG_CFG)
BLR_DEFINE_DEBUG_FUNCTION(blrBootDebug, BLR_DBG_BOOT)
BLR_DEFINE_DEBUG_FUNCTION(blrWinFsDebug, BLR_DBG_WINFS)

#undef BLR_DEFINE_DEBUG_FUNCTION

void blrDebug(const char* function, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  debugAt(BLR_DBG_BLR, function, 1, fmt, args);
  va_end(args);
}

void blrError(const char* function, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  writeLine(-1, function, fmt, args);
  va_end(args);
}

int blrGetDebugLevel(int subsystem) {
  time_t now = DwClock::current()->now();
  int slot = slotOf(subsystem);
  refreshLevel(slot, now);
  if (slot != 0) refreshLevel(0, now);
  int level = gLevels[slot].level.load(std::memory_order_relaxed);
  if (level == 0) level = gLevels[0].level.load(std::memory_order_relaxed);
  return level == 0 ? 1 : level;
}

// An unknown subsystem number has no level of its own to set.
void blrSetDebugLevel(int subsystem, int level) {
  if (subsystem < 0 || subsystem >= kSubsystems) return;
  gLevels[subsystem].level.store(level, std::memory_order_relaxed);
}

void blrDebugCopyToStdout(bool copy) { gCopyToStderr.store(copy, std::memory_order_relaxed); }

long blrGetTid() { return static_cast<long>(syscall(SYS_gettid)); }

BlrDebugCtx::BlrDebugCtx(const std::string& name, int id)
    : name_(name), id_(id), previous_(tCurrentCtx), instance_(nullptr), threadLevel_(nullptr) {
  auto instance = std::make_unique<EvDebugFileInstance>(EvDebug().RefreshInstance());
  instance->setPrefix("[" + name + "]");
  instance->setId(id);
  threadLevel_ = new ThLvlEvDebugFileInstance(instance.get());
  instance_ = instance.release();
  tCurrentCtx = this;
}

BlrDebugCtx::~BlrDebugCtx() {
  if (tCurrentCtx == this) {
    tCurrentCtx = previous_;
  } else {
    // Destroyed out of order: unlink so no dangling context stays current.
    for (BlrDebugCtx* p = tCurrentCtx; p != nullptr; p = p->previous_) {
      if (p->previous_ == this) {
        p->previous_ = previous_;
        break;
      }
    }
  }
  delete threadLevel_;
  delete instance_;
}

void BlrDebugCtx::update(const std::string& name, int id) {
  name_ = name;
  id_ = id;
  instance_->setPrefix("[" + name + "]");
  instance_->setId(id);
}

BlrDebugCtx* blrGetDebugCtx() { return tCurrentCtx; }

// Journal records.

namespace {

constexpr uint32_t kJrnBitmapOffset = 28;

struct JrnMarker {
  const char* hex;
  const char* name;
  bool named;  // known to blrJrnGetMarkerName
};

const JrnMarker kJrnMarkers[] = {
    {"cd1036f5faeedae83ba684fc85ddcebb", "CCRP", true},
    {"3771de20d5fd1630d9a9e9fab2511fcc", "ACRP", true},
    {"6c9c35ccaeff1544e084deb8b024b656", "TIME", true},
    {"0da1d1b5d7fa5d277e5aabc9de023006", "STARTMON", false},
    {"e3c5e299469b28a1d9fe385457e68189", "FLUSH", true},
};

const char* findMarker(const char* hex, bool namedOnly) {
  for (const JrnMarker& m : kJrnMarkers)
    if ((m.named || !namedOnly) && std::strcmp(hex, m.hex) == 0) return m.name;
  return nullptr;
}

template <typename T>
T readAt(const unsigned char* record, size_t offset) {
  T value;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}

struct JrnHeader {
  unsigned long sequence;
  uint32_t length;
  unsigned field;
  int type;
};

long long countBitmapBits(const unsigned char* bitmap, size_t bytes) {
  const size_t kChunk = 1u << 30;
  long long bits = 0;
  for (size_t done = 0; done < bytes; done += kChunk) {
    size_t n = bytes - done < kChunk ? bytes - done : kChunk;
    bits += BlrUtils::countBits(bitmap + done, static_cast<int>(n));
  }
  return bits;
}

const char* jrnTypeName(int type) {
  switch (type) {
    case 1: return "BLR_JRN_MARKER";
    case 2: return "BLR_JRN_HYDRATED_WRITE";
    case 3: return "BLR_JRN_DEHYDRATED_WRITE";
    case 4: return "BLR_JRN_BITMAP_WRITE";
    case 5: return "BLR_JRN_NOOP";
    case 6: return "BLR_JRN_MSG";
    case 7: return "BLR_JRN_VMCONFIG";
    default: return "UNKNOWN";
  }
}

// Bytes a record of `type` must hold for its body fields to be read.
uint32_t jrnBodyEnd(int type) {
  switch (type) {
    case 1: return 36;
    case 2: case 3: case 7: return 28;
    case 4: return 24;
    case 6: return 20;
    default: return 0;  // the header alone
  }
}

void formatJrnBody(const unsigned char* r, const JrnHeader& h, char* buf, size_t size) {
  switch (h.type) {
    case 1: {
      char hex[33];
      uuid2hex(r + 20, hex);
      const char* name = findMarker(hex, false);
      std::snprintf(buf, size, "BLR_JRN_MARKER(%lu, 0x%04x, %s)", h.sequence, h.field, name ? name : hex);
      return;
    }
    case 2:
    case 3: {
      uint64_t start = readAt<uint64_t>(r, 16);
      int32_t count = readAt<int32_t>(r, 24);
      std::snprintf(buf, size, "%s(%lu, 0x%04x, %d, [%lu-%lu])", jrnTypeName(h.type), h.sequence,
                    h.field, count, static_cast<unsigned long>(start),
                    static_cast<unsigned long>(start + static_cast<int64_t>(count)));
      return;
    }
    case 4: {
      uint64_t first = readAt<uint64_t>(r, 16);
      size_t bytes = h.length > kJrnBitmapOffset ? h.length - kJrnBitmapOffset : 0;
      std::snprintf(buf, size, "BLR_JRN_BITMAP_WRITE(%lu...%lu, 0x%04x, %lld/%lld)",
                    static_cast<unsigned long>(first), h.sequence, h.field,
                    countBitmapBits(r + kJrnBitmapOffset, bytes), static_cast<long long>(bytes) * 8);
      return;
    }
    case 5:
      std::snprintf(buf, size, "BLR_JRN_NOOP(%lu)", h.sequence);
      return;
    case 6: {
      const char* text = reinterpret_cast<const char*>(r + 20);
      int textLen = static_cast<int>(strnlen(text, h.length - 20));
      std::snprintf(buf, size, "BLR_JRN_MSG(%lu, 0x%04x, %d, %.*s)", h.sequence, h.field,
                    readAt<int32_t>(r, 16), textLen, text);
      return;
    }
    case 7:
      std::snprintf(buf, size, "BLR_JRN_VMCONFIG(%lu, %u, %d, %d)", h.sequence, readAt<uint32_t>(r, 16),
                    static_cast<int>(readAt<uint16_t>(r, 20)), readAt<int32_t>(r, 24));
      return;
    default:
      std::snprintf(buf, size, "UNKNOWN");
  }
}

}  // namespace

extern "C" char* blrJrnLog(const void* record, char* buf, size_t size) {
  if (buf == nullptr || size == 0) return buf;
  const unsigned char* r = static_cast<const unsigned char*>(record);
  if (r == nullptr) {
    std::snprintf(buf, size, "UNKNOWN");
  } else {
    JrnHeader h;
    h.sequence = static_cast<unsigned long>(readAt<uint64_t>(r, 0));
    h.length = readAt<uint32_t>(r, 8);
    h.field = readAt<uint16_t>(r, 12);
    h.type = r[14];
    bool known = h.type >= 1 && h.type <= 7;
    // Never read past the record's own length.
    if (known && h.length < jrnBodyEnd(h.type)) {
      std::snprintf(buf, size, "%s(%lu, 0x%04x, truncated: %u bytes)", jrnTypeName(h.type), h.sequence,
                    h.field, h.length);
    } else {
      formatJrnBody(r, h, buf, size);
    }
  }
  buf[size - 1] = '\0';
  return buf;
}

extern "C" const char* blrJrnGetMarkerName(const void* markerId) {
  if (markerId == nullptr) return "UNKNOWN";
  char hex[33];
  uuid2hex(static_cast<const unsigned char*>(markerId), hex);
  const char* name = findMarker(hex, true);
  return name ? name : "UNKNOWN";
}

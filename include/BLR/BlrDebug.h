// Per-subsystem debug logging, the per-thread debug context and the journal
// record formatter.
#ifndef BLR_BLRDEBUG_H
#define BLR_BLRDEBUG_H

#include <cstddef>
#include <string>

#include "BLR/BlrExport.h"

#define BLR_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Logging subsystems; the number selects the configuration key
// "<prefix>_DEBUGLEVEL" of section "EventManager".
enum BlrDebugSubsystem {
  BLR_DBG_BLR = 0,     // "BLR"
  BLR_DBG_VAIO = 1,    // "BLR_VAIO"
  BLR_DBG_SRC = 2,     // "BLR_SRC"
  BLR_DBG_CACHE = 3,   // "BLR_CACHE"
  BLR_DBG_NET = 4,     // "BLR_NET"
  BLR_DBG_CTRL = 5,    // "BLR_CTRL"
  BLR_DBG_HEAD = 6,    // "BLR_HEAD"
  BLR_DBG_PERF = 7,    // "BLR_PERF"
  BLR_DBG_CFG = 8,     // "BLR_CFG"
  BLR_DBG_BOOT = 9,    // "BLR_BOOT"
  BLR_DBG_WINFS = 10,  // "BLR_WINFS"
};

// Each writes the line when `level` is at most the subsystem's level.
// `function` names the caller ("BlrCtrl::pairOp"); it may be null or empty.
BLR_API void blrDebug(const char* function, int level, const char* fmt, ...) BLR_PRINTF(3, 4);
BLR_API void blrVaioDebug(const char* function, int level, const char* fmt, ...) BLR_PRINTF(3, 4);
BLR_API void blrSrcDebug(const char* function, int level, const char* fmt, ...) BLR_PRINTF(3, 4);
BLR_API void blrCacheDebug(const char* function, int level, const char* fmt, ...) BLR_PRINTF(3, 4);
BLR_API void blrNetDebug(const char* function, int level, const char* fmt, ...) BLR_PRINTF(3, 4);
BLR_API void blrCtrlDebug(const char* function, int level, const char* fmt, ...) BLR_PRINTF(3, 4);
BLR_API void blrHeadDebug(const char* function, int level, const char* fmt, ...) BLR_PRINTF(3, 4);
BLR_API void blrPerfDebug(const char* function, int level, const char* fmt, ...) BLR_PRINTF(3, 4);
BLR_API void blrCfgDebug(const char* function, int level, const char* fmt, ...) BLR_PRINTF(3, 4);
BLR_API void blrBootDebug(const char* function, int level, const char* fmt, ...) BLR_PRINTF(3, 4);
BLR_API void blrWinFsDebug(const char* function, int level, const char* fmt, ...) BLR_PRINTF(3, 4);

// Subsystem 0 at level 1.
BLR_API void blrDebug(const char* function, const char* fmt, ...) BLR_PRINTF(2, 3);
// Always written, whatever the levels.
BLR_API void blrError(const char* function, const char* fmt, ...) BLR_PRINTF(2, 3);

BLR_API int blrGetDebugLevel(int subsystem);
BLR_API void blrSetDebugLevel(int subsystem, int level);
BLR_API void blrDebugCopyToStdout(bool copy);
BLR_API long blrGetTid();

class EvDebugFileInstance;
class ThLvlEvDebugFileInstance;

// Tags every line the thread writes while it lives with "[name]" and `id`.
// Contexts nest per thread and must be destroyed in reverse order of creation.
class BLR_API BlrDebugCtx {
 public:
  BlrDebugCtx(const std::string& name, int id);
  ~BlrDebugCtx();
  BlrDebugCtx(const BlrDebugCtx&) = delete;
  BlrDebugCtx& operator=(const BlrDebugCtx&) = delete;

  void update(const std::string& name, int id);

  const std::string& name() const { return name_; }
  int id() const { return id_; }

 private:
  std::string name_;
  int id_;
  BlrDebugCtx* previous_;
  EvDebugFileInstance* instance_;           // owned copy of the process's instance
  ThLvlEvDebugFileInstance* threadLevel_;   // owned; makes the copy the thread's
};

// The calling thread's current context, or null.
BLR_API BlrDebugCtx* blrGetDebugCtx();

extern "C" {
// One-line text of a journal record into `buf` (size >= 1); returns `buf`.
BLR_API char* blrJrnLog(const void* record, char* buf, size_t size);
// Name of a journal marker id: "CCRP", "ACRP", "TIME", "FLUSH" or "UNKNOWN".
BLR_API const char* blrJrnGetMarkerName(const void* markerId);
}

#endif  // BLR_BLRDEBUG_H

// A process-wide cache of large heap buffers.
//
// Buffers of 1 KiB to just under 4 MiB are kept in twelve size classes: class
// k holds buffers whose size lies in [1024 * 2^k, 1024 * 2^(k+1)).  Within a
// class the buffer a thread returned last is the one its next get() reuses
// first; that buffer stays the thread's own (at most one per class) until
// the thread returns another of its class or ends, and the others are shared
// by every thread, newest first.  When more than 256 MiB are cached (shared,
// and the calling thread's own), the next get() frees the shared buffers
// returned longest ago.  A cached buffer holds
// the cache's bookkeeping in its first bytes, so its contents are not
// preserved.  Any thread may call get() and put().
//
// Every buffer is a heap block that free() may release.  Those of 2 MiB and
// more that the cache allocates start on a 2 MiB boundary and ask the kernel
// for transparent huge pages over their whole 2 MiB stretches, where it
// offers them: such a buffer is resident in whole 2 MiB pages once written,
// never beyond its own length.
#ifndef BLR_BLRBUFCACHE_H
#define BLR_BLRBUFCACHE_H

#include <atomic>
#include <cstdint>

#include "BLR/BlrExport.h"
#include "BLR/DwCriticalSection.h"

// Links of the cache's lists; they live inside the cached buffers.
struct BlrBufLink {
  BlrBufLink* prev;
  BlrBufLink* next;
};

class BLR_API BlrBufCache {
 public:
  static constexpr int kClasses = 12;
  static constexpr int kMinCachedSize = 1024;
  static constexpr int64_t kTrimAbove = int64_t{1} << 28;

  // A buffer of at least `size` bytes and its real size in *actualSize (the
  // size to give back to put).  Requests above 2 MiB always get a fresh
  // buffer of exactly `size` bytes; once put, it serves later requests of the
  // top class (1 to 2 MiB).  Null (and *actualSize 0) when the heap is
  // exhausted.
  static void* get(int size, int* actualSize);
  // Takes back a buffer from get() or malloc(); `size` is its real size.
  // Buffers below 1 KiB or of 4 MiB and more are freed at once.
  static void put(void* buf, int size);

  // Bytes currently cached: the shared buffers and the calling thread's own.
  static int64_t cachedBytes();
  // Frees the shared buffers and the calling thread's own.
  static void clear();

 private:
  friend class BlrBufCacheInit;
  friend struct BlrBufCacheExit;

  // get() and put() beyond the thread's own buffers; k is the class.
  static void* getSlowly(int size, int k, int* actualSize);
  static void putSlowly(void* buf, int size, int k);
  static void trim();
  // Writes the bookkeeping of a buffer of `size` bytes and links it into the
  // shared lists of class k.
  static void shelve(void* buf, int size, int k);
  // Hands the calling thread's own buffers to the shared lists.
  static void handBack();
  static void addShared(int64_t bytes);

  static BlrBufLink allBuffers_;         // shared buffers, newest first
  static BlrBufLink classes_[kClasses];  // per class, newest first
  static std::atomic<int64_t> sharedSize_;  // changed under lock_, read without
  static DwCriticalSection lock_;
};

#endif  // BLR_BLRBUFCACHE_H

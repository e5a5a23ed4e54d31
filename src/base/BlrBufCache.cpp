#include "BLR/BlrBufCache.h"

#include <sys/mman.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/BlrTesting.h"

namespace {

using Link = BlrBufLink;

// The bookkeeping at the start of a cached buffer.
struct Header {
  Link all;      // in allBuffers_
  Link inClass;  // in classes_[k]
  int32_t size;  // the buffer's real size
};

void makeEmpty(Link* head) { head->prev = head->next = head; }

bool isEmpty(const Link* head) { return head->next == head; }

void linkFirst(Link* head, Link* node) {
  node->prev = head;
  node->next = head->next;
  head->next->prev = node;
  head->next = node;
}

void unlink(Link* node) {
  node->prev->next = node->next;
  node->next->prev = node->prev;
}

// floor(log2(n)) for n > 0.
int log2Floor(uint32_t n) { return 31 - __builtin_clz(n); }

const int kMinShift = 10;  // log2(kMinCachedSize)
static_assert(BlrBufCache::kMinCachedSize == 1 << kMinShift, "classes start at 2^kMinShift");

// Smallest class whose lower bound holds `size`, or -1 above 2 MiB.
int classForRequest(int size) {
  if (size <= BlrBufCache::kMinCachedSize) return 0;
  int k = log2Floor(static_cast<uint32_t>(size) - 1) + 1 - kMinShift;
  return k < BlrBufCache::kClasses ? k : -1;
}

// Class of a buffer of `size` bytes, or -1 below 1 KiB and from 4 MiB on.
int classOfBuffer(int size) {
  if (size < BlrBufCache::kMinCachedSize) return -1;
  int k = log2Floor(static_cast<uint32_t>(size)) - kMinShift;
  return k < BlrBufCache::kClasses ? k : -1;
}

// Buffers of 2 MiB and more are placed on 2 MiB boundaries and their whole
// 2 MiB stretches are advised for transparent huge pages: a 2 MiB buffer is
// then one page instead of 512, and a cycle that writes to every page of it
// stops missing the TLB (on a virtual machine each miss is a two-level walk).
// Smaller classes gain nothing measurable from huge pages and stay plain.
// The buffers remain ordinary heap blocks that free() takes back, and no huge
// page reaches beyond its buffer, so the resident size of a buffer never
// exceeds its length; the cost is that a buffer written in one place only is
// resident in whole 2 MiB pages.  Where the kernel offers no huge pages
// (setting "never", or no support at all), buffers come from malloc() as
// before.
const size_t kHugePage = size_t{1} << 21;

std::atomic<bool> gAllowHugePages{true};

// Whether the kernel gives huge pages to advised regions: its setting, e.g.
// "always [madvise] never", has the choice in brackets.
bool kernelOffersHugePages() {
  FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r");
  if (f == nullptr) return false;
  char text[128] = {};
  bool offered = std::fgets(text, sizeof text, f) != nullptr &&
                 (std::strstr(text, "[always]") != nullptr || std::strstr(text, "[madvise]") != nullptr);
  std::fclose(f);
  return offered;
}

bool useHugePages() {
  static const bool offered = kernelOffersHugePages();
  return offered && gAllowHugePages.load(std::memory_order_relaxed);
}

// A heap block of `bytes` for the cache to hand out.
void* allocate(size_t bytes) {
  if (bytes < kHugePage || !useHugePages()) return std::malloc(bytes);
  void* buf = nullptr;
  if (posix_memalign(&buf, kHugePage, bytes) != 0) return std::malloc(bytes);
  madvise(buf, bytes & ~(kHugePage - 1), MADV_HUGEPAGE);  // failing, the pages stay small
  return buf;
}

// Frees a chain of buffers linked through their `all.next`, ending in null.
void freeChain(Link* node) {
  while (node != nullptr) {
    Link* next = node->next;
    std::free(node);
    node = next;
  }
}

}  // namespace

// The newest buffer of each class that this thread put, kept for its own
// next get() of the class: the common cycle of one thread, get then put,
// takes no lock.  Plain data, reached at a fixed offset from the thread
// pointer (initial-exec: the library is loaded with the program, or by
// dlopen into the static TLS room glibc keeps for that).
// Their sizes are kept here and their bookkeeping is written only when they
// join the shared lists, so that this cycle reads and writes nothing in the
// buffer itself.
struct BlrBufCacheFront {
  void* newest[BlrBufCache::kClasses];
  int32_t sizes[BlrBufCache::kClasses];  // of newest[k]
  int64_t bytes;     // of those buffers
  bool handsBack;    // at the thread's end, see below
};

// Gives the thread's own buffers to the shared lists when the thread ends.
struct BlrBufCacheExit {
  ~BlrBufCacheExit() { BlrBufCache::handBack(); }
};

namespace {

__attribute__((tls_model("initial-exec"))) thread_local BlrBufCacheFront tFront;

void handBackAtExit() {
  static thread_local BlrBufCacheExit atExit;  // registered on first use
  (void)atExit;
}

}  // namespace

Link BlrBufCache::allBuffers_;
Link BlrBufCache::classes_[BlrBufCache::kClasses];
std::atomic<int64_t> BlrBufCache::sharedSize_{0};
DwCriticalSection BlrBufCache::lock_;

// Empties the list heads at load time.
class BlrBufCacheInit {
 public:
  BlrBufCacheInit() {
    makeEmpty(&BlrBufCache::allBuffers_);
    for (Link& head : BlrBufCache::classes_) makeEmpty(&head);
  }
};

static BlrBufCacheInit blrBufCacheInit;

static_assert(offsetof(Header, all) == 0, "a buffer's address is its all-link");
static_assert(sizeof(Header) <= BlrBufCache::kMinCachedSize, "bookkeeping fits");

// The common cycle, kept free of calls so that it saves no registers: a
// cycle that writes to every page of a buffer is bound by the store queue,
// and every store of the cache's own counts.
void* BlrBufCache::get(int size, int* actualSize) {
  const int k = classForRequest(size);
  BlrBufCacheFront& front = tFront;
  if (k >= 0 && front.newest[k] != nullptr &&
      sharedSize_.load(std::memory_order_relaxed) + front.bytes <= kTrimAbove) {
    void* buf = front.newest[k];
    const int bytes = front.sizes[k];
    front.newest[k] = nullptr;
    front.bytes -= bytes;
    if (actualSize != nullptr) *actualSize = bytes;
    return buf;
  }
  return getSlowly(size, k, actualSize);
}

void* BlrBufCache::getSlowly(int size, int k, int* actualSize) {
  BlrBufCacheFront& front = tFront;
  if (sharedSize_.load(std::memory_order_relaxed) + front.bytes > kTrimAbove) trim();
  void* buf = nullptr;
  int bytes = 0;
  if (k >= 0 && front.newest[k] != nullptr) {
    buf = front.newest[k];
    bytes = front.sizes[k];
    front.newest[k] = nullptr;
    front.bytes -= bytes;
  } else if (k >= 0) {
    DwCriticalSectionLock guard(&lock_);
    if (!isEmpty(&classes_[k])) {
      Link* newest = classes_[k].next;
      Header* reused = reinterpret_cast<Header*>(reinterpret_cast<char*>(newest) - offsetof(Header, inClass));
      unlink(&reused->all);
      unlink(&reused->inClass);
      addShared(-reused->size);
      buf = reused;
      bytes = reused->size;
    }
  }
  if (buf == nullptr) {
    bytes = k >= 0 ? kMinCachedSize << k : size;
    buf = allocate(static_cast<size_t>(bytes));
  }
  if (actualSize != nullptr) *actualSize = buf ? bytes : 0;
  return buf;
}

// Frees the shared buffers returned longest ago until no more than 256 MiB
// stay cached, counting the calling thread's own; those of the threads are
// out of reach.
void BlrBufCache::trim() {
  Link* trimmed = nullptr;
  {
    DwCriticalSectionLock guard(&lock_);
    while (sharedSize_.load(std::memory_order_relaxed) + tFront.bytes > kTrimAbove && !isEmpty(&allBuffers_)) {
      Header* oldest = reinterpret_cast<Header*>(allBuffers_.prev);
      unlink(&oldest->all);
      unlink(&oldest->inClass);
      addShared(-oldest->size);
      oldest->all.next = trimmed;
      trimmed = &oldest->all;
    }
  }
  freeChain(trimmed);  // outside the lock
}

void BlrBufCache::put(void* buf, int size) {
  const int k = classOfBuffer(size);
  BlrBufCacheFront& front = tFront;
  if (buf != nullptr && k >= 0 && front.handsBack && front.newest[k] == nullptr) {
    front.newest[k] = buf;
    front.sizes[k] = size;
    front.bytes += size;
    return;
  }
  putSlowly(buf, size, k);
}

void BlrBufCache::putSlowly(void* buf, int size, int k) {
  if (buf == nullptr) return;
  if (k < 0) {
    std::free(buf);
    return;
  }
  // The thread keeps the newest; the one it kept before joins the shared ones.
  BlrBufCacheFront& front = tFront;
  if (!front.handsBack) {
    front.handsBack = true;
    handBackAtExit();
  }
  void* older = front.newest[k];
  const int olderSize = older ? front.sizes[k] : 0;
  front.newest[k] = buf;
  front.sizes[k] = size;
  front.bytes += size - olderSize;
  if (older != nullptr) shelve(older, olderSize, k);
}

void BlrBufCache::shelve(void* buf, int size, int k) {
  Header* h = new (buf) Header;
  h->size = size;
  DwCriticalSectionLock guard(&lock_);
  linkFirst(&allBuffers_, &h->all);
  linkFirst(&classes_[k], &h->inClass);
  addShared(h->size);
}

void BlrBufCache::handBack() {
  BlrBufCacheFront& front = tFront;
  for (int k = 0; k < kClasses; ++k) {
    if (front.newest[k] == nullptr) continue;
    shelve(front.newest[k], front.sizes[k], k);
    front.newest[k] = nullptr;
  }
  front.bytes = 0;
}

// Under the lock, so that a plain load and store do.
void BlrBufCache::addShared(int64_t bytes) {
  sharedSize_.store(sharedSize_.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
}

int64_t BlrBufCache::cachedBytes() { return sharedSize_.load(std::memory_order_relaxed) + tFront.bytes; }

void BlrBufCache::clear() {
  handBack();  // the calling thread's own go with the shared ones
  Link* all = nullptr;
  {
    DwCriticalSectionLock guard(&lock_);
    if (!isEmpty(&allBuffers_)) {
      allBuffers_.prev->next = nullptr;  // turn the ring into a null-ended chain
      all = allBuffers_.next;
    }
    makeEmpty(&allBuffers_);
    for (Link& head : classes_) makeEmpty(&head);
    sharedSize_.store(0, std::memory_order_relaxed);
  }
  freeChain(all);
}

void blrBufCacheAllowHugePagesForTesting(bool allow) { gAllowHugePages.store(allow, std::memory_order_relaxed); }

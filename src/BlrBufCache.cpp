#include "BLR/BlrBufCache.h"

#include <cstddef>
#include <cstdlib>
#include <new>

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
struct BlrBufCacheFront {
  void* newest[BlrBufCache::kClasses];
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

void* BlrBufCache::get(int size, int* actualSize) {
  const int k = classForRequest(size);
  BlrBufCacheFront& front = tFront;
  if (sharedSize_.load(std::memory_order_relaxed) + front.bytes > kTrimAbove) trim();
  Header* reused = nullptr;
  if (k >= 0 && front.newest[k] != nullptr) {
    reused = static_cast<Header*>(front.newest[k]);
    front.newest[k] = nullptr;
    front.bytes -= reused->size;
  } else if (k >= 0) {
    DwCriticalSectionLock guard(&lock_);
    if (!isEmpty(&classes_[k])) {
      Link* newest = classes_[k].next;
      reused = reinterpret_cast<Header*>(reinterpret_cast<char*>(newest) - offsetof(Header, inClass));
      unlink(&reused->all);
      unlink(&reused->inClass);
      addShared(-reused->size);
    }
  }

  int bytes = reused ? reused->size : k >= 0 ? kMinCachedSize << k : size;
  void* buf = reused ? static_cast<void*>(reused) : std::malloc(static_cast<size_t>(bytes));
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
  if (buf == nullptr) return;
  // The class is settled before anything is written: a buffer that is not
  // kept may be too small for the bookkeeping.
  int k = classOfBuffer(size);
  if (k < 0) {
    std::free(buf);
    return;
  }
  Header* h = new (buf) Header;
  h->size = size;
  // The thread keeps the newest; the one it kept before joins the shared ones.
  BlrBufCacheFront& front = tFront;
  if (!front.handsBack) {
    front.handsBack = true;
    handBackAtExit();
  }
  Header* older = static_cast<Header*>(front.newest[k]);
  front.newest[k] = h;
  front.bytes += size - (older ? older->size : 0);
  if (older != nullptr) shelve(older, k);
}

void BlrBufCache::shelve(void* buf, int k) {
  Header* h = static_cast<Header*>(buf);
  DwCriticalSectionLock guard(&lock_);
  linkFirst(&allBuffers_, &h->all);
  linkFirst(&classes_[k], &h->inClass);
  addShared(h->size);
}

void BlrBufCache::handBack() {
  BlrBufCacheFront& front = tFront;
  for (int k = 0; k < kClasses; ++k) {
    if (front.newest[k] == nullptr) continue;
    shelve(front.newest[k], k);
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

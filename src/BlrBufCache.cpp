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

Link BlrBufCache::allBuffers_;
Link BlrBufCache::classes_[BlrBufCache::kClasses];
int64_t BlrBufCache::totalSize_ = 0;
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
  int k = classForRequest(size);
  Link* trimmed = nullptr;
  Header* reused = nullptr;
  {
    DwCriticalSectionLock guard(&lock_);
    // Detach the oldest buffers until no more than 256 MiB stay; they are
    // freed once the lock is left.
    while (totalSize_ > kTrimAbove) {
      Header* oldest = reinterpret_cast<Header*>(allBuffers_.prev);
      unlink(&oldest->all);
      unlink(&oldest->inClass);
      totalSize_ -= oldest->size;
      oldest->all.next = trimmed;
      trimmed = &oldest->all;
    }
    if (k >= 0 && !isEmpty(&classes_[k])) {
      Link* newest = classes_[k].next;
      reused = reinterpret_cast<Header*>(reinterpret_cast<char*>(newest) -
                                         offsetof(Header, inClass));
      unlink(&reused->all);
      unlink(&reused->inClass);
      totalSize_ -= reused->size;
    }
  }
  freeChain(trimmed);

  int bytes = reused ? reused->size : k >= 0 ? kMinCachedSize << k : size;
  void* buf = reused ? static_cast<void*>(reused) : std::malloc(static_cast<size_t>(bytes));
  if (actualSize != nullptr) *actualSize = buf ? bytes : 0;
  return buf;
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
  DwCriticalSectionLock guard(&lock_);
  linkFirst(&allBuffers_, &h->all);
  linkFirst(&classes_[k], &h->inClass);
  totalSize_ += size;
}

int64_t BlrBufCache::cachedBytes() {
  DwCriticalSectionLock guard(&lock_);
  return totalSize_;
}

void BlrBufCache::clear() {
  Link* all = nullptr;
  {
    DwCriticalSectionLock guard(&lock_);
    if (!isEmpty(&allBuffers_)) {
      allBuffers_.prev->next = nullptr;  // turn the ring into a null-ended chain
      all = allBuffers_.next;
    }
    makeEmpty(&allBuffers_);
    for (Link& head : classes_) makeEmpty(&head);
    totalSize_ = 0;
  }
  freeChain(all);
}

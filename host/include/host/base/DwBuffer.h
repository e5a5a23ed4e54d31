// A growable block of bytes on the heap.  Copies are deep.
#ifndef HOST_DWBUFFER_H
#define HOST_DWBUFFER_H

#include <cstddef>

#include "host/base/CZuError.h"

class DwBuffer {
 public:
  DwBuffer() noexcept : data_(nullptr), size_(0), capacity_(0) {}
  // `size` bytes of unspecified content; throws std::bad_alloc when the heap
  // can't supply them.
  explicit DwBuffer(size_t size);
  ~DwBuffer();

  DwBuffer(const DwBuffer& other);  // throws std::bad_alloc
  DwBuffer& operator=(const DwBuffer& other);
  DwBuffer(DwBuffer&& other) noexcept;
  DwBuffer& operator=(DwBuffer&& other) noexcept;

  size_t getSize() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Changes the size and keeps the first min(old, new) bytes; bytes added at
  // the end have unspecified content.  Shrinking keeps the memory for later
  // growth.  On failure the buffer is left as it was.
  CZuError resize(size_t size);

  // The bytes; null while nothing was ever allocated.
  char* data() { return data_; }
  const char* data() const { return data_; }

 private:
  void swap(DwBuffer& other) noexcept;

  char* data_;
  size_t size_;
  size_t capacity_;
};

#endif  // HOST_DWBUFFER_H

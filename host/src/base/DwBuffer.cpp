#include "host/base/DwBuffer.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

DwBuffer::DwBuffer(size_t size) : DwBuffer() {
  if (resize(size).IsError()) throw std::bad_alloc();
}

DwBuffer::~DwBuffer() { std::free(data_); }

DwBuffer::DwBuffer(const DwBuffer& other) : DwBuffer(other.size_) {
  if (size_ != 0) std::memcpy(data_, other.data_, size_);
}

DwBuffer& DwBuffer::operator=(const DwBuffer& other) {
  if (this != &other) {
    DwBuffer copy(other);
    swap(copy);
  }
  return *this;
}

DwBuffer::DwBuffer(DwBuffer&& other) noexcept : DwBuffer() { swap(other); }

DwBuffer& DwBuffer::operator=(DwBuffer&& other) noexcept {
  DwBuffer taken(std::move(other));
  swap(taken);
  return *this;
}

void DwBuffer::swap(DwBuffer& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
}

CZuError DwBuffer::resize(size_t size) {
  if (size <= capacity_) {
    size_ = size;
    return CZuError();
  }
  // Grow by half again so that a run of small increases stays linear; fall
  // back to the exact size when that much is not to be had.
  size_t grown = capacity_ + capacity_ / 2;
  size_t wanted = grown > size ? grown : size;
  void* bigger = std::realloc(data_, wanted);
  if (bigger == nullptr && wanted != size) bigger = std::realloc(data_, wanted = size);
  if (bigger == nullptr)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't allocate a buffer of %zu bytes", size);
  data_ = static_cast<char*>(bigger);
  size_ = size;
  capacity_ = wanted;
  return CZuError();
}

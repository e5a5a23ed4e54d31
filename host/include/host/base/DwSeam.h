// A process-wide implementation behind an interface that tests may replace
// (the clock, the file layer): the default one unless another is installed.
// Reading it takes no lock, so it may be done on every call.
#ifndef HOST_DWSEAM_H
#define HOST_DWSEAM_H

#include <atomic>

template <class T>
class DwSeam {
 public:
  // `fallback` is the default implementation; it must outlive the seam.
  explicit constexpr DwSeam(T* fallback) : fallback_(fallback) {}
  DwSeam(const DwSeam&) = delete;
  DwSeam& operator=(const DwSeam&) = delete;

  T* current() const {
    T* t = installed_.load(std::memory_order_acquire);
    return t ? t : fallback_;
  }
  // Makes `t` current (null restores the default) and returns the previous
  // one.  The caller keeps ownership.
  T* install(T* t) {
    T* previous = installed_.exchange(t, std::memory_order_acq_rel);
    return previous ? previous : fallback_;
  }

 private:
  T* const fallback_;
  std::atomic<T*> installed_{nullptr};
};

#endif  // HOST_DWSEAM_H

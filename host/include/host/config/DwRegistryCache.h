// Values read from the registry, one per key, kept until the registry
// changes (DWPlatformInfo::generation): for settings asked for on every
// request or every open.  At most `maxKeys` are kept; past that the cache
// starts over.  Shared by threads.
#ifndef HOST_CONFIG_DWREGISTRYCACHE_H
#define HOST_CONFIG_DWREGISTRYCACHE_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/config/DWPlatformInfo.h"

template <typename T>
class DwRegistryCache {
 public:
  using Shared = std::shared_ptr<const T>;

  explicit DwRegistryCache(size_t maxKeys = 4096) : maxKeys_(maxKeys) {}
  DwRegistryCache(const DwRegistryCache&) = delete;
  DwRegistryCache& operator=(const DwRegistryCache&) = delete;

  // The value of `key`: the one kept, unless the registry changed since it
  // was read or `stillGood(value)` refuses it; else the one `read(T*)`
  // fills, kept when `read` returns true.  False when `read` failed.
  template <typename Read, typename StillGood>
  bool get(const std::string& key, Shared* out, Read read, StillGood stillGood) {
    const uint64_t generation = DWPlatformInfo::generation();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (generation != generation_) {
        values_.clear();
        generation_ = generation;
      }
      auto it = values_.find(key);
      if (it != values_.end() && stillGood(*it->second)) {
        *out = it->second;
        return true;
      }
    }
    auto fresh = std::make_shared<T>();
    if (!read(fresh.get())) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    // Read under a registry that changed since is read again next time.
    if (generation == generation_) {
      if (values_.size() >= maxKeys_) values_.clear();
      values_[key] = fresh;
    }
    *out = std::move(fresh);
    return true;
  }

  template <typename Read>
  bool get(const std::string& key, Shared* out, Read read) {
    return get(key, out, read, [](const T&) { return true; });
  }

 private:
  const size_t maxKeys_;
  std::mutex mutex_;
  uint64_t generation_ = 0;
  std::map<std::string, Shared> values_;
};

#endif  // HOST_CONFIG_DWREGISTRYCACHE_H

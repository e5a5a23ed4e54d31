// Places shared among source addresses so that no crowd of them can keep a
// newcomer out: when the places run out, a newcomer is always let in, and
// the place given up is the one held longest by the address holding most
// (or by the newcomer's own address, once it holds its full share).  An
// address with one place among many that hold several keeps it; a fresh
// place is only given up after every older place of an equal share.
#ifndef HOST_DWFAIRSHARE_H
#define HOST_DWFAIRSHARE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>

template <typename Key>
class DwFairShare {
 public:
  DwFairShare(size_t capacity, size_t perAddress)
      : capacity_(capacity < 1 ? 1 : capacity), perAddress_(perAddress < 1 ? 1 : perAddress) {}

  // Whether `address` can take a place without another giving one up.
  bool roomFor(const std::string& address) const {
    auto it = byAddress_.find(address);
    const size_t held = it == byAddress_.end() ? 0 : it->second.size();
    return size_ < capacity_ && held < perAddress_;
  }

  // The place to give up so that `address` may take one; only when there is
  // no room and something is held.
  Key victim(const std::string& address) const {
    auto own = byAddress_.find(address);
    if (own != byAddress_.end() && own->second.size() >= perAddress_)
      return own->second.front().second;
    const Places* most = nullptr;
    for (const auto& entry : byAddress_) {
      const Places& places = entry.second;
      if (!most || places.size() > most->size() ||
          (places.size() == most->size() && places.front().first < most->front().first))
        most = &places;
    }
    return most->front().second;
  }

  void add(const std::string& address, Key key) {
    byAddress_[address].emplace_back(next_++, key);
    ++size_;
  }

  void remove(const std::string& address, Key key) {
    auto it = byAddress_.find(address);
    if (it == byAddress_.end()) return;
    Places& places = it->second;
    for (auto p = places.begin(); p != places.end(); ++p) {
      if (p->second != key) continue;
      places.erase(p);
      --size_;
      break;
    }
    if (places.empty()) byAddress_.erase(it);
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  using Places = std::deque<std::pair<uint64_t, Key>>;  // oldest first

  size_t capacity_;
  size_t perAddress_;
  std::map<std::string, Places> byAddress_;
  size_t size_ = 0;
  uint64_t next_ = 0;
};

#endif  // HOST_DWFAIRSHARE_H

// Places shared among source addresses so that no crowd of them can keep a
// newcomer out.  An address holding fewer places than any other always gets
// one: when they have run out, the place held longest by the address holding
// most gives way.  Only an address at its full share, or holding as many as
// any other when every place is taken, is refused.  So an address with one
// place among others that hold several keeps it, and a fresh place is only
// given up after every older place of an equal share.
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

  enum class Verdict { kTake, kReplace, kRefuse };

  // Whether a newcomer from `address` takes a free place, replaces
  // `*victim` (the place held longest by the address holding most), or is
  // refused: its address holds its full share, or, when every place is
  // taken, as many as any other.
  Verdict judge(const std::string& address, Key* victim) const {
    auto own = byAddress_.find(address);
    const size_t held = own == byAddress_.end() ? 0 : own->second.size();
    if (held >= perAddress_) return Verdict::kRefuse;
    if (size_ < capacity_) return Verdict::kTake;
    const Places& most = largest();
    if (held >= most.size()) return Verdict::kRefuse;
    *victim = most.front().second;
    return Verdict::kReplace;
  }

  // The place held longest by the address holding most; only when not empty.
  Key oldestOfLargest() const { return largest().front().second; }

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

  // Of equal holdings, the one whose oldest place is older.
  const Places& largest() const {
    const Places* most = nullptr;
    for (const auto& entry : byAddress_) {
      const Places& places = entry.second;
      if (!most || places.size() > most->size() ||
          (places.size() == most->size() && places.front().first < most->front().first))
        most = &places;
    }
    return *most;
  }

  size_t capacity_;
  size_t perAddress_;
  std::map<std::string, Places> byAddress_;
  size_t size_ = 0;
  uint64_t next_ = 0;
};

#endif  // HOST_DWFAIRSHARE_H

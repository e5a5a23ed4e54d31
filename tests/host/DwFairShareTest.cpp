// Fair shares of places among source addresses, checked against a model
// over random arrivals and departures.
#include "host/link/DwFairShare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

namespace {

struct Place {
  int key;
  std::string address;
};

// What the rules say of a newcomer from `address`: -1 takes a free place,
// -2 is refused, otherwise the key of the place that gives way.
int expectedVerdict(const std::vector<Place>& places, const std::string& address, size_t capacity,
                    size_t perAddress) {
  std::map<std::string, size_t> held;
  for (const Place& p : places) ++held[p.address];
  if (held[address] >= perAddress) return -2;
  if (places.size() < capacity) return -1;
  size_t most = 0;
  for (const auto& h : held) most = std::max(most, h.second);
  if (held[address] >= most) return -2;
  for (const Place& p : places)  // oldest first
    if (held[p.address] == most) return p.key;
  return -3;
}

TEST(DwFairShareTest, OnlyAnAddressHoldingItsShareOrTheMostIsRefused) {
  using Verdict = DwFairShare<int>::Verdict;
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  for (int round = 0; round < 50; ++round) {
    const size_t capacity = 1 + random() % 40, perAddress = 1 + random() % 10;
    const int addresses = 1 + random() % 60;
    DwFairShare<int> share(capacity, perAddress);
    std::vector<Place> model;
    for (int key = 0; key < 2000; ++key) {
      const std::string address = "10.0.0." + std::to_string(random() % addresses);
      if (!model.empty() && random() % 4 == 0) {  // one leaves
        size_t i = random() % model.size();
        share.remove(model[i].address, model[i].key);
        model.erase(model.begin() + static_cast<long>(i));
      }
      int victim = -1;
      const Verdict verdict = share.judge(address, &victim);
      const int expected = expectedVerdict(model, address, capacity, perAddress);
      ASSERT_EQ(verdict == Verdict::kTake ? -1 : verdict == Verdict::kRefuse ? -2 : victim, expected)
          << "round " << round << ", key " << key;
      if (verdict == Verdict::kRefuse) continue;
      if (verdict == Verdict::kReplace) {
        auto it = std::find_if(model.begin(), model.end(), [&](const Place& p) { return p.key == victim; });
        share.remove(it->address, victim);
        model.erase(it);
      }
      share.add(address, key);
      model.push_back({key, address});
      ASSERT_EQ(share.size(), model.size());
      ASSERT_LE(share.size(), capacity);
    }
  }
}

}  // namespace

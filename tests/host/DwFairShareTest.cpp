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

// However many addresses a crowd uses, a newcomer from an address of its own
// gets in, and its place outlives as many later arrivals as there are places,
// less one.
TEST(DwFairShareTest, AFreshPlaceOutlivesAFullRoundOfArrivals) {
  using Verdict = DwFairShare<int>::Verdict;
  for (int crowd : {1, 8, 50, 200, 1000}) {
    DwFairShare<int> share(128, 16);
    std::map<int, std::string> addressOf;
    int next = 0;
    auto arrive = [&](const std::string& address) {
      int victim = -1;
      Verdict verdict = share.judge(address, &victim);
      if (verdict == Verdict::kRefuse) return false;
      if (verdict == Verdict::kReplace) {
        EXPECT_NE(victim, 0) << crowd << " addresses: the good place gave way";
        share.remove(addressOf[victim], victim);
      }
      addressOf[++next] = address;
      share.add(address, next);
      return true;
    };
    for (int i = 0; i < 5000; ++i) arrive("x" + std::to_string(i % crowd));
    ASSERT_TRUE(share.judge("good", &next) != Verdict::kRefuse);
    addressOf[0] = "good";
    int victim = -1;
    if (share.judge("good", &victim) == Verdict::kReplace) share.remove(addressOf[victim], victim);
    share.add("good", 0);
    for (int i = 0; i < 127; ++i) arrive("x" + std::to_string((5000 + i) % crowd));
  }
}

}  // namespace

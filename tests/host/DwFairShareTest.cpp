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

// The place the rules say must give way for a newcomer from `address`.
int expectedVictim(const std::vector<Place>& places, const std::string& address, size_t perAddress) {
  std::map<std::string, size_t> held;
  for (const Place& p : places) ++held[p.address];
  size_t most = 0;
  for (const auto& h : held) most = std::max(most, h.second);
  for (const Place& p : places)  // oldest first
    if (held[address] >= perAddress ? p.address == address : held[p.address] == most) return p.key;
  return -1;
}

TEST(DwFairShareTest, NewcomersAlwaysGetInAndTheOldestOfTheLargestShareGivesWay) {
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
      if (!share.roomFor(address)) {
        const int victim = share.victim(address);
        ASSERT_EQ(victim, expectedVictim(model, address, perAddress)) << "round " << round;
        auto it = std::find_if(model.begin(), model.end(), [&](const Place& p) { return p.key == victim; });
        share.remove(it->address, victim);
        model.erase(it);
      }
      share.add(address, key);
      model.push_back({key, address});
      ASSERT_LE(share.size(), capacity);
      ASSERT_EQ(share.size(), model.size());
      ASSERT_LE(std::count_if(model.begin(), model.end(), [&](const Place& p) { return p.address == address; }),
                static_cast<long>(perAddress));
    }
  }
}

// However many addresses the others use, a newcomer's place outlives the
// arrival of as many others as there are places, less one.
TEST(DwFairShareTest, AFreshPlaceOutlivesAFullRoundOfArrivals) {
  for (int attackers : {1, 8, 50, 200, 1000}) {
    DwFairShare<int> share(128, 16);
    int next = 0;
    auto arrive = [&](const std::string& address) {
      if (!share.roomFor(address)) {
        const int victim = share.victim(address);
        share.remove(victim == 0 ? "good" : "x" + std::to_string(victim % attackers), victim);
        return victim;
      }
      return -1;
    };
    for (int i = 0; i < 5000; ++i) {
      ++next;
      arrive("x" + std::to_string(next % attackers));
      share.add("x" + std::to_string(next % attackers), next);
    }
    arrive("good");
    share.add("good", 0);
    for (int i = 0; i < 127; ++i) {
      ++next;
      ASSERT_NE(arrive("x" + std::to_string(next % attackers)), 0) << attackers << " addresses";
      share.add("x" + std::to_string(next % attackers), next);
    }
  }
}

}  // namespace

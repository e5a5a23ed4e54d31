// What a request link server has carried: per service and request name, the
// requests answered, those that failed and their latency; frames and bytes in
// each direction.  Connection threads update it with atomics alone (a name
// seen for the first time takes a lock once); a scrape reads it at any time.
#ifndef HOST_DWLINKTRAFFIC_H
#define HOST_DWLINKTRAFFIC_H

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "host/metrics/DwMetrics.h"

class DwLinkTraffic {
 public:
  // Distinct names kept apart; later ones are counted under kOtherName, so
  // that peers sending made-up names cannot grow the figures without bound.
  static constexpr int kMaxNames = 64;
  static constexpr const char* kOtherName = "other";

  struct Request {
    Request(std::string service, std::string name)
        : service(std::move(service)), name(std::move(name)), latency(dwLatencyBuckets()) {}
    const std::string service;
    const std::string name;
    DwCounter answered;
    DwCounter failed;
    DwHistogram latency;  // seconds from the whole request to the last frame sent
  };

  DwLinkTraffic();
  DwLinkTraffic(const DwLinkTraffic&) = delete;
  DwLinkTraffic& operator=(const DwLinkTraffic&) = delete;

  void frameIn(size_t bytes) { framesIn_.add(); bytesIn_.add(bytes); }
  void frameOut(size_t bytes) { framesOut_.add(); bytesOut_.add(bytes); }
  void answered(const std::string& service, const std::string& name, double seconds, bool failed);

  uint64_t framesIn() const { return framesIn_.value(); }
  uint64_t framesOut() const { return framesOut_.value(); }
  uint64_t bytesIn() const { return bytesIn_.value(); }
  uint64_t bytesOut() const { return bytesOut_.value(); }
  // Every name seen so far, in order of first sight.
  void forEachRequest(const std::function<void(const Request&)>& visit) const;

 private:
  Request* find(const std::string& service, const std::string& name);

  DwCounter framesIn_, framesOut_, bytesIn_, bytesOut_;
  std::array<std::unique_ptr<Request>, kMaxNames> requests_;
  std::atomic<int> used_{0};  // requests_[0, used_) are set and never change
  std::mutex addMu_;
  Request other_;
};

#endif  // HOST_DWLINKTRAFFIC_H

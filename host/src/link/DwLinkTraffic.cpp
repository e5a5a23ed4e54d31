#include "host/link/DwLinkTraffic.h"

DwLinkTraffic::DwLinkTraffic() : other_(kOtherName, kOtherName) {}

DwLinkTraffic::Request* DwLinkTraffic::find(const std::string& service, const std::string& name) {
  int used = used_.load(std::memory_order_acquire);
  for (int i = 0; i < used; ++i)
    if (requests_[i]->name == name && requests_[i]->service == service) return requests_[i].get();
  std::lock_guard<std::mutex> lock(addMu_);
  used = used_.load(std::memory_order_relaxed);
  for (int i = 0; i < used; ++i)
    if (requests_[i]->name == name && requests_[i]->service == service) return requests_[i].get();
  if (used == kMaxNames) return &other_;
  requests_[used].reset(new Request(service, name));
  used_.store(used + 1, std::memory_order_release);
  return requests_[used].get();
}

void DwLinkTraffic::answered(const std::string& service, const std::string& name, double seconds,
                             bool failed) {
  Request* r = find(service, name);
  r->answered.add();
  if (failed) r->failed.add();
  r->latency.observe(seconds);
}

void DwLinkTraffic::forEachRequest(const std::function<void(const Request&)>& visit) const {
  int used = used_.load(std::memory_order_acquire);
  for (int i = 0; i < used; ++i) visit(*requests_[i]);
  if (other_.answered.value() > 0) visit(other_);
}

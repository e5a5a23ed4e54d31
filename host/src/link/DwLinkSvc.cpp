#include "host/link/DwLinkSvc.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <mutex>
#include <random>
#include <vector>

#include "host/log/EvDebug.h"

namespace {

// Live services, oldest first.
struct Registry {
  std::mutex mu;
  std::vector<DwLinkSvc*> services;
};

Registry& registry() {
  static Registry* r = new Registry;  // outlives services destroyed at exit
  return *r;
}

// Names one failed request in the server's log and in the requester's error.
std::string newRequestId() {
  std::random_device random;
  uint64_t id = (static_cast<uint64_t>(random()) << 32) | random();
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, id);
  return text;
}

// The error's messages and code on one line, without source locations.
std::string oneLine(const CZuError& err, const std::string& requestId) {
  std::string text = err.Summary();
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text + " (code " + std::to_string(err.Code()) + ", request " + requestId + ")";
}

}  // namespace

DwLinkSvc::DwLinkSvc(const std::string& name) : acceptsRemote(false), name_(name) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.services.push_back(this);
}

DwLinkSvc::~DwLinkSvc() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.services.erase(std::remove(r.services.begin(), r.services.end(), this), r.services.end());
}

CZuError DwLinkSvc::dispatch2(const Map&, KrpSocket*) {
  return FXErrorUtil::ErrorInt(FXLOC, 1, "Service %s doesn't take over connections", name_.c_str());
}

namespace {

// Gathers the pieces of an answer, for requesters that take it whole.
class GatheringReply : public DwLinkReply {
 public:
  CZuError append(const std::string& key, std::string piece) override {
    gathered_[key] += piece;
    return CZuError();
  }
  // The pieces come before what the service left in `resp`.
  void finish(DwLinkSvc::Map* resp) {
    for (auto& kv : gathered_) {
      std::string& value = (*resp)[kv.first];
      value.insert(0, kv.second);
    }
  }

 private:
  DwLinkSvc::Map gathered_;
};

}  // namespace

CZuError DwLinkSvc::dispatchPieces(const Map& req, Map* resp, DwLinkReply*,
                                   const std::string& from, const KRP_Cert& cert) {
  return dispatch(req, resp, from, cert);
}

void DwLinkSvc::answer(const Map& req, Map* resp, const std::string& from, const KRP_Cert& cert) {
  GatheringReply reply;
  answer(req, resp, &reply, from, cert);
  if (!resp->count("error")) reply.finish(resp);
}

void DwLinkSvc::answer(const Map& req, Map* resp, DwLinkReply* reply, const std::string& from,
                       const KRP_Cert& cert) {
  CZuError err;
  try {
    err = dispatchPieces(req, resp, reply, from, cert);
  } catch (const CZuError& thrown) {
    err = thrown;
  } catch (const std::exception& e) {
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "Service %s failed: %s", name_.c_str(), e.what());
  } catch (...) {
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "Service %s failed", name_.c_str());
  }
  if (!err.IsError()) return;
  // The whole stack stays in the server's log; the requester gets the
  // summary and the id that finds it there.
  const std::string requestId = newRequestId();
  auto it = req.find("req");
  EvDebug().handleMsgEventDebug(-1, "DwLinkSvc::answer", 0, nullptr,
                                "Request %s \"%s\" on link %s from %s failed (code %d):\n%s",
                                requestId.c_str(), it == req.end() ? "" : it->second.c_str(),
                                name_.c_str(), from.c_str(), err.Code(), err.AsString().c_str());
  (*resp)["error"] = oneLine(err, requestId);
}

DwLinkSvc* DwLinkSvc::find(const std::string& name) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  for (auto it = r.services.rbegin(); it != r.services.rend(); ++it)
    if ((*it)->name_ == name) return *it;
  return nullptr;
}

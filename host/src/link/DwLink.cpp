#include "host/link/DwLink.h"

#include <cstdlib>

#include "host/config/DWPlatformInfo.h"
#include "host/link/DwLinkFrame.h"
#include "host/link/DwLinkPool.h"
#include "host/link/DwLinkSvc.h"

namespace {

// Pieces gathered for a caller that takes the answer whole.
struct Gathered {
  DwLink::Map values;
  CZuError add(const std::string& key, std::string& piece) {
    values[key] += piece;
    return CZuError();
  }
  // The pieces come before the last frame's values.
  void finish(DwLink::Map* resp) {
    for (auto& kv : values) (*resp)[kv.first].insert(0, kv.second);
  }
};

// Hands a service's pieces straight to an in-process caller.
class CallbackReply : public DwLinkReply {
 public:
  explicit CallbackReply(const DwLink::PieceFn& onPiece) : onPiece_(onPiece) {}
  CZuError append(const std::string& key, std::string piece) override {
    return onPiece_(key, piece);
  }

 private:
  const DwLink::PieceFn& onPiece_;
};

}  // namespace

CZuError DwLink::makeReqToAnchor(const Map& req, Map* resp, const char* server) {
  Map scratch;
  if (resp == nullptr) resp = &scratch;
  Gathered gathered;
  onRestart_ = [&] { gathered.values.clear(); };
  CZuError err = makeReqPieces(
      req, resp, [&](const std::string& key, std::string& piece) { return gathered.add(key, piece); },
      server);
  onRestart_ = nullptr;
  if (!err.IsError() && !resp->count("error")) gathered.finish(resp);
  return err;
}

namespace {
// The sender that in-process requests of this thread name; empty: this machine.
thread_local std::string tActingFor;
}  // namespace

DwLink::ActingFor::ActingFor(const std::string& actor) : previous_(tActingFor) {
  tActingFor = actor;
}

DwLink::ActingFor::~ActingFor() { tActingFor = previous_; }

CZuError DwLink::makeReqPieces(const Map& req, Map* resp, const PieceFn& onPiece,
                               const char* server) {
  Map scratch;
  if (resp == nullptr) resp = &scratch;
  bool explicitServer = server != nullptr && *server != '\0';
  if (!explicitServer && config_ != nullptr) return exchange(*config_, req, resp, onPiece);
  if (!explicitServer) {
    if (DwLinkSvc* svc = DwLinkSvc::find(name_)) {
      KRP_Cert cert;  // the caller is this process
      cert.kind = KRP_CERT_KIND_LOCAL;
      DWPlatformInfo info;  // owns the text getPhysicalMachine returns
      const char* local = info.getPhysicalMachine();
      cert.clientName = !tActingFor.empty() ? tActingFor : local ? local : "localhost";
      cert.issuerName = "in-process";
      CallbackReply reply(onPiece);
      svc->answer(req, resp, &reply, cert.clientName, cert);
      return CZuError();
    }
  }
  std::shared_ptr<const DwLinkClientConfig> config;
  CZuError err = DwLinkClientConfig::current(&config, explicitServer ? server : "");
  if (err.IsError()) return err.Push(FXLOC, "Couldn't send request on link %s", name_.c_str());
  return exchange(*config, req, resp, onPiece);
}

CZuError DwLink::makeRemoteReq(const DwLinkClientConfig& config, const Map& req, Map* resp) {
  Map scratch;
  if (resp == nullptr) resp = &scratch;
  Gathered gathered;
  onRestart_ = [&] { gathered.values.clear(); };
  CZuError err = exchange(
      config, req, resp,
      [&](const std::string& key, std::string& piece) { return gathered.add(key, piece); });
  onRestart_ = nullptr;
  if (!err.IsError() && !resp->count("error")) gathered.finish(resp);
  return err;
}

CZuError DwLink::exchange(const DwLinkClientConfig& config, const Map& req, Map* resp,
                          const PieceFn& onPiece) {
  if (name_.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't send request: empty link name");
  if (config.servers.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't send request on link %s: no server named",
                                 name_.c_str());
  DwLinkMessage msg;
  msg.name = name_;
  msg.entries = req;
  msg.acceptsPieces = true;
  std::string frame;
  CZuError err = dwLinkEncode(msg, kDwLinkMaxFrameBytes, &frame);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't send request on link %s", name_.c_str());
  const std::vector<DwLinkAddress>& servers = config.servers;
  std::string listKey;  // only a list of several has one that answered last
  size_t first = 0;
  if (servers.size() > 1) {
    for (const DwLinkAddress& a : servers) listKey += a.text() + ",";
    first = DwLinkPool::instance().preferred(listKey) % servers.size();
  }
  // Each server once, from the one that answered last.
  for (size_t i = 0;; ++i) {
    const DwLinkAddress& server = servers[(first + i) % servers.size()];
    bool sent = false, answerFailed = false, piecesTaken = false;
    err = exchangeWith(config, server, frame, resp, onPiece, &sent, &answerFailed, &piecesTaken);
    if (!err.IsError()) {
      if (i > 0) DwLinkPool::instance().prefer(listKey, (first + i) % servers.size());
      return err;
    }
    const bool resent = !sent || (resendable_ && (!piecesTaken || onRestart_));
    if (answerFailed || !resent || i + 1 >= servers.size()) return err;
    if (piecesTaken) onRestart_();
  }
}

// One try on `server`.  `answerFailed`: the server answered,
// with a failure or an answer that can't be read, or `onPiece` failed, so
// that no other server would do better; `piecesTaken`: some of the answer
// was handed to `onPiece`.
CZuError DwLink::exchangeWith(const DwLinkClientConfig& config, const DwLinkAddress& server,
                              const std::string& frame, Map* resp, const PieceFn& onPiece, bool* sent,
                              bool* answerFailed, bool* piecesTaken) {
  Map last;
  CZuError err = DwLinkPool::instance().exchange(
      config, server, frame,
      [&](std::string& payload, bool* more) {
        DwLinkMessage answer;
        CZuError e = dwLinkDecode(payload.data(), payload.size(), &answer);
        std::string().swap(payload);
        if (!e.IsError() && !answer.failure.empty())
          e = FXErrorUtil::ErrorInt(FXLOC, 1, "%s", answer.failure.c_str());
        *more = answer.more;
        if (e.IsError() || !answer.more) {
          last.swap(answer.entries);
          *answerFailed = e.IsError();
          return e;
        }
        for (auto& kv : answer.entries) {
          *piecesTaken = true;
          e = onPiece(kv.first, kv.second);
          if (e.IsError()) {
            *answerFailed = true;
            return e;
          }
        }
        return e;
      },
      sent);
  if (err.IsError()) {
    const char* what = *sent ? "Couldn't receive the answer on link %s from %s"
                             : "Couldn't send request on link %s to %s";
    return err.Push(FXLOC, what, name_.c_str(), server.text().c_str());
  }
  for (auto& kv : last) (*resp)[kv.first] = std::move(kv.second);
  return CZuError();
}

#include "host/DwLink.h"

#include <cstdlib>

#include "host/DWPlatformInfo.h"
#include "host/DwLinkFrame.h"
#include "host/DwLinkPool.h"
#include "host/DwLinkSvc.h"

namespace {

// Splits "host:port", "[v6]:port", "host" or "[v6]".
CZuError parseServer(const std::string& text, std::string* host, int* port) {
  std::string h = text, p;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid server address \"%s\"", text.c_str());
    h = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':')
        return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid server address \"%s\"", text.c_str());
      p = text.substr(close + 2);
    }
  } else if (text.find(':') != std::string::npos && text.find(':') == text.rfind(':')) {
    h = text.substr(0, text.find(':'));
    p = text.substr(text.find(':') + 1);
  }
  if (!p.empty()) {
    char* end = nullptr;
    long value = std::strtol(p.c_str(), &end, 10);
    if (*end != '\0' || value < 1 || value > 65535)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid port in server address \"%s\"", text.c_str());
    *port = static_cast<int>(value);
  }
  if (h.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Invalid server address \"%s\"", text.c_str());
  *host = h;
  return CZuError();
}

}  // namespace

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
  CZuError err = makeReqPieces(
      req, resp, [&](const std::string& key, std::string& piece) { return gathered.add(key, piece); },
      server);
  if (!err.IsError() && !resp->count("error")) gathered.finish(resp);
  return err;
}

CZuError DwLink::makeReqPieces(const Map& req, Map* resp, const PieceFn& onPiece,
                               const char* server) {
  Map scratch;
  if (resp == nullptr) resp = &scratch;
  bool explicitServer = server != nullptr && *server != '\0';
  if (!explicitServer) {
    if (DwLinkSvc* svc = DwLinkSvc::find(name_)) {
      KRP_Cert cert;  // the caller is this process
      cert.kind = KRP_CERT_KIND_LOCAL;
      DWPlatformInfo info;  // owns the text getPhysicalMachine returns
      const char* local = info.getPhysicalMachine();
      cert.clientName = local ? local : "localhost";
      cert.issuerName = "in-process";
      CallbackReply reply(onPiece);
      svc->answer(req, resp, &reply, cert.clientName, cert);
      return CZuError();
    }
  }
  DwLinkClientConfig config;
  CZuError err = DwLinkClientConfig::fromRegistry(&config);
  if (!err.IsError() && explicitServer) err = parseServer(server, &config.host, &config.port);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't send request on link %s", name_.c_str());
  return exchange(config, req, resp, onPiece);
}

CZuError DwLink::makeRemoteReq(const DwLinkClientConfig& config, const Map& req, Map* resp) {
  Map scratch;
  if (resp == nullptr) resp = &scratch;
  Gathered gathered;
  CZuError err = exchange(
      config, req, resp,
      [&](const std::string& key, std::string& piece) { return gathered.add(key, piece); });
  if (!err.IsError() && !resp->count("error")) gathered.finish(resp);
  return err;
}

CZuError DwLink::exchange(const DwLinkClientConfig& config, const Map& req, Map* resp,
                          const PieceFn& onPiece) {
  if (name_.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't send request: empty link name");
  if (config.host.empty())
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "Couldn't send request on link %s: no central server configured "
                                 "(registry [Link] sServerHost)",
                                 name_.c_str());
  DwLinkMessage msg;
  msg.name = name_;
  msg.entries = req;
  msg.acceptsPieces = true;
  std::string frame;
  bool sent = false;
  Map last;
  CZuError err = dwLinkEncode(msg, kDwLinkMaxFrameBytes, &frame);
  if (!err.IsError())
    err = DwLinkPool::instance().exchange(
        config, frame,
        [&](std::string& payload, bool* more) {
          DwLinkMessage answer;
          CZuError e = dwLinkDecode(payload.data(), payload.size(), &answer);
          std::string().swap(payload);
          if (!e.IsError() && !answer.failure.empty())
            e = FXErrorUtil::ErrorInt(FXLOC, 1, "%s", answer.failure.c_str());
          *more = answer.more;
          if (e.IsError() || !answer.more) {
            last.swap(answer.entries);
            return e;
          }
          for (auto& kv : answer.entries) {
            e = onPiece(kv.first, kv.second);
            if (e.IsError()) return e;
          }
          return e;
        },
        &sent);
  if (err.IsError()) {
    const char* what = sent ? "Couldn't receive the answer on link %s from %s:%d"
                            : "Couldn't send request on link %s to %s:%d";
    return err.Push(FXLOC, what, name_.c_str(), config.host.c_str(), config.port);
  }
  for (auto& kv : last) (*resp)[kv.first] = std::move(kv.second);
  return CZuError();
}

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

CZuError DwLink::makeReqToAnchor(const Map& req, Map* resp, const char* server) {
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
      svc->answer(req, resp, cert.clientName, cert);
      return CZuError();
    }
  }
  DwLinkClientConfig config;
  CZuError err = DwLinkClientConfig::fromRegistry(&config);
  if (!err.IsError() && explicitServer) err = parseServer(server, &config.host, &config.port);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't send request on link %s", name_.c_str());
  return makeRemoteReq(config, req, resp);
}

CZuError DwLink::makeRemoteReq(const DwLinkClientConfig& config, const Map& req, Map* resp) {
  Map scratch;
  if (resp == nullptr) resp = &scratch;
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
  std::string frame, payload;
  CZuError err = dwLinkEncode(msg, kDwLinkMaxFrameBytes, &frame);
  if (!err.IsError()) err = DwLinkPool::instance().exchange(config, frame, &payload);
  DwLinkMessage answer;
  if (!err.IsError()) err = dwLinkDecode(payload.data(), payload.size(), &answer);
  if (!err.IsError() && !answer.failure.empty())
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "%s", answer.failure.c_str());
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't send request on link %s to %s:%d", name_.c_str(),
                    config.host.c_str(), config.port);
  for (auto& kv : answer.entries) (*resp)[kv.first] = std::move(kv.second);
  return CZuError();
}

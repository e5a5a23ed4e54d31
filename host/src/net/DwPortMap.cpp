#include "host/net/DwPortMap.h"

#include <cstdlib>

#include "host/net/DwHostName.h"
#include "host/link/DwLink.h"

namespace {

constexpr char kLookupReq[] = "lookup_port";

// A decimal port taking the whole text, within [min, 65535].
bool parsePort(const std::string& text, int min, int* port) {
  if (text.empty() || text.size() > 5) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < min || v > 65535) return false;
  *port = static_cast<int>(v);
  return true;
}

}  // namespace

void DwPortMapSvc::setPorts(const std::string& service, int port, int port2) {
  std::lock_guard<std::mutex> lock(mu_);
  ports_[service] = {port, port2};
}

void DwPortMapSvc::removePorts(const std::string& service) {
  std::lock_guard<std::mutex> lock(mu_);
  ports_.erase(service);
}

CZuError DwPortMapSvc::dispatch(const Map& req, Map* resp, const std::string&, const KRP_Cert&) {
  auto kind = req.find("req");
  auto service = req.find("service");
  if (kind == req.end() || kind->second != kLookupReq || service == req.end())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Unknown port lookup request");
  std::lock_guard<std::mutex> lock(mu_);
  auto it = ports_.find(service->second);
  if (it == ports_.end())
    return FXErrorUtil::ErrorInt(FXLOC, 1, "No service \"%s\" on this machine",
                                 service->second.c_str());
  (*resp)["port"] = std::to_string(it->second.first);
  (*resp)["port2"] = std::to_string(it->second.second);
  return CZuError();
}

CZuError DwPortResponder::start(DwLinkServerConfig config) {
  config.service = &table_;
  CZuError err = server_.start(config);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't start port lookup on port %d", config.port);
  return err;
}

CZuError DwLink::lookupPort(const std::string& host, const std::string& service, int* port,
                            int* port2) {
  std::string netHost, clientName;
  int dwdPort = 0, evmgrcPort = 0;
  if (!DemangleHostName(host.c_str(), netHost, clientName, dwdPort, evmgrcPort) || dwdPort == 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Unknown host \"%s\": not a mangled host name",
                                 host.c_str());
  // Asked of that machine alone, whatever central servers the registry names.
  std::shared_ptr<const DwLinkClientConfig> shared;
  CZuError err = DwLinkClientConfig::current(&shared, DwLinkAddress{netHost, dwdPort}.text());
  if (err.IsError()) return err.Push(FXLOC, "Couldn't lookup port of %s", service.c_str());
  DwLinkClientConfig config = *shared;
  // Port numbers are not trusted: the connection made with them authenticates
  // on its own.  So any certificate of the authority will do here.
  config.serverName.clear();
  config.allowBuiltinCerts = true;
  Map req{{"req", kLookupReq}, {"service", service}}, resp;
  err = DwLink(kDwPortMapLink).makeRemoteReq(config, req, &resp);
  if (!err.IsError() && resp.count("error"))
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "%s", resp["error"].c_str());
  int first = 0, second = 0;
  if (!err.IsError() && (!parsePort(resp["port"], 1, &first) || !parsePort(resp["port2"], 0, &second)))
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "Malformed answer: port \"%s\", port2 \"%s\"",
                                resp["port"].c_str(), resp["port2"].c_str());
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't lookup port of %s on %s", service.c_str(), host.c_str());
  *port = first;
  *port2 = second;
  return CZuError();
}

#include "host/DWClient.h"

#include <cstdlib>
#include <map>

#include "host/DwLink.h"

int DWClient::getNetworkHostnameMangled(std::string& out, void*) {
  std::map<std::string, std::string> req{{"req", "get_client"}, {"id", std::to_string(clientId_)}};
  std::map<std::string, std::string> resp;
  CZuError err = DwLink("CLIENTS").makeReqToAnchor(req, &resp, nullptr);
  if (!err.IsError() && resp.count("error"))
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "%s", resp["error"].c_str());
  if (!err.IsError() && !resp.count("mangled"))
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "The client directory answered without a host name");
  if (err.IsError()) {
    lastError_ = err.Push(FXLOC, "Couldn't get the host name of client %d", clientId_);
    return err.Code() != 0 ? err.Code() : 1;
  }
  lastError_ = CZuError();
  out = resp["mangled"];
  return 0;
}

CZuError DWClient::listAll(std::vector<DWClientInfo>* clients) {
  std::map<std::string, std::string> req{{"req", "list_clients"}}, resp;
  CZuError err = DwLink("CLIENTS").makeReqToAnchor(req, &resp, nullptr);
  if (!err.IsError() && resp.count("error"))
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "%s", resp["error"].c_str());
  if (err.IsError()) return err.Push(FXLOC, "Couldn't list the clients of the central server");
  clients->clear();
  long count = std::strtol(resp["count"].c_str(), nullptr, 10);
  if (count < 0 || count > static_cast<long>(resp.size()))  // five fields per client
    return FXErrorUtil::ErrorInt(FXLOC, 1, "The client directory answered a malformed list");
  for (long i = 0; i < count; ++i) {
    std::string n = "." + std::to_string(i);
    DWClientInfo c;
    c.id = std::atoi(resp["id" + n].c_str());
    c.name = resp["name" + n];
    c.netHostName = resp["host" + n];
    c.dwdPort = std::atoi(resp["dwdPort" + n].c_str());
    c.evmgrcPort = std::atoi(resp["evmgrcPort" + n].c_str());
    clients->push_back(c);
  }
  return CZuError();
}

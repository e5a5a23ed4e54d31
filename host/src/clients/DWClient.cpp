#include "host/clients/DWClient.h"

#include <cstdlib>
#include <map>

#include "host/link/DwLink.h"

namespace {

using Map = std::map<std::string, std::string>;

// One request to the directory; the server's refusal becomes an error.
CZuError ask(Map req, Map* resp) {
  DwLink link("CLIENTS");
  // Look-ups may be sent again to another central server; edits may not.
  link.setResendable(req["req"] == DWClientDirectory::kGetClient || req["req"] == DWClientDirectory::kListClients);
  CZuError err = link.makeReqToAnchor(req, resp, nullptr);
  if (!err.IsError() && resp->count("error"))
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "%s", (*resp)["error"].c_str());
  return err;
}

int number(const Map& resp, const std::string& key) {
  auto it = resp.find(key);
  return it == resp.end() ? 0 : std::atoi(it->second.c_str());
}

std::string text(const Map& resp, const std::string& key) {
  auto it = resp.find(key);
  return it == resp.end() ? std::string() : it->second;
}

}  // namespace

int DWClient::getNetworkHostnameMangled(std::string& out, void*) {
  lastError_ = lookUp(&out);
  if (!lastError_.IsError()) return 0;
  return lastError_.Code() != 0 ? lastError_.Code() : 1;
}

CZuError DWClient::lookUp(std::string* mangled) {
  Map resp;
  CZuError err =
      ask({{"req", DWClientDirectory::kGetClient}, {"id", std::to_string(clientId_)}}, &resp);
  if (!err.IsError() && !resp.count("mangled"))
    err = FXErrorUtil::ErrorInt(FXLOC, 1, "The client directory answered without a host name");
  if (err.IsError()) return err.Push(FXLOC, "Couldn't get the host name of client %d", clientId_);
  *mangled = resp["mangled"];
  return CZuError();
}

CZuError DWClient::add(const DWClientInfo& c) {
  Map resp;
  return ask({{"req", DWClientDirectory::kAddClient},
              {"id", std::to_string(c.id)},
              {"name", c.name},
              {"host", c.netHostName},
              {"dwdPort", std::to_string(c.dwdPort)},
              {"evmgrcPort", std::to_string(c.evmgrcPort)}},
             &resp);
}

CZuError DWClient::remove(int id) {
  Map resp;
  return ask({{"req", DWClientDirectory::kRemoveClient}, {"id", std::to_string(id)}}, &resp);
}

CZuError DWClient::list(std::vector<DWClientInfo>* clients, int onlyId) {
  Map req{{"req", DWClientDirectory::kListClients}}, resp;
  if (onlyId > 0) req["id"] = std::to_string(onlyId);
  CZuError err = ask(req, &resp);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't list clients");
  std::vector<DWClientInfo> found;
  for (int i = 0, count = number(resp, "count"); i < count; ++i) {
    std::string n = "." + std::to_string(i);
    if (!resp.count("id" + n))
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't list clients: client %d of %d missing", i,
                                   count);
    DWClientInfo c;
    c.id = number(resp, "id" + n);
    c.name = text(resp, "name" + n);
    c.netHostName = text(resp, "host" + n);
    c.dwdPort = number(resp, "dwdPort" + n);
    c.evmgrcPort = number(resp, "evmgrcPort" + n);
    found.push_back(c);
  }
  clients->swap(found);
  return CZuError();
}

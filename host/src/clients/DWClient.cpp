#include "host/DWClient.h"

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

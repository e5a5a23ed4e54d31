// One client of the installation, looked up in the central server's client
// directory over the request link (DWClientDirectory.h), and the directory's
// edits made the same way.  Usable from any process with link access; no
// database credentials needed.
#ifndef HOST_DWCLIENT_H
#define HOST_DWCLIENT_H

#include <string>
#include <vector>

#include "host/base/CZuError.h"
#include "host/clients/DWClientDirectory.h"

class DWClient {
 public:
  explicit DWClient(int clientId) : clientId_(clientId) {}

  // The client's mangled host name (DwHostName.h) into `out`: 0 on success,
  // otherwise non-zero (the error's code) with `out` untouched and the
  // reason in lastError().  The second argument is unused.
  int getNetworkHostnameMangled(std::string& out, void* unused);
  // The same as an error value, which names the client.
  CZuError lookUp(std::string* mangled);

  const CZuError& lastError() const { return lastError_; }

  // Directory edits and listing through the central server; the server's
  // refusal comes back as the error's text.
  static CZuError add(const DWClientInfo& client);
  static CZuError remove(int id);
  // Every client, by id; with `onlyId` above 0 that client alone, if any.
  static CZuError list(std::vector<DWClientInfo>* clients, int onlyId = 0);

 private:
  int clientId_;
  CZuError lastError_;
};

#endif  // HOST_DWCLIENT_H

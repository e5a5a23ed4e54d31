// One client of the installation, looked up in the central server's client
// directory over the request link (DWClientDirectory.h).  Usable from any
// process with link access; no database credentials needed.
#ifndef HOST_DWCLIENT_H
#define HOST_DWCLIENT_H

#include <string>
#include <vector>

#include "host/CZuError.h"
#include "host/DWClientDirectory.h"

class DWClient {
 public:
  explicit DWClient(int clientId) : clientId_(clientId) {}

  // The client's mangled host name (DwHostName.h) into `out`: 0 on success,
  // otherwise non-zero (the error's code) with `out` untouched and the
  // reason in lastError().  The second argument is unused.
  int getNetworkHostnameMangled(std::string& out, void* unused);

  const CZuError& lastError() const { return lastError_; }

  // Every client of the directory, asked of the central server.
  static CZuError listAll(std::vector<DWClientInfo>* clients);

 private:
  int clientId_;
  CZuError lastError_;
};

#endif  // HOST_DWCLIENT_H

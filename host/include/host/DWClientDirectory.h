// The central server's directory of clients (table APP_Client of "Anchor"):
// how to reach each client of the installation.  The central server edits it
// and serves lookups to other processes on the link "CLIENTS" (request
// "get_client" with "id"; answer "name", "host", "dwdPort", "evmgrcPort" and
// "mangled", the mangled host name of DwHostName.h; request "list_clients";
// answer "count" and those fields of the i-th client under "<field>.<i>").
#ifndef HOST_DWCLIENTDIRECTORY_H
#define HOST_DWCLIENTDIRECTORY_H

#include <string>
#include <vector>

#include "host/CZuError.h"
#include "host/DwLinkSvc.h"

struct DWClientInfo {
  int id = 0;
  std::string name;         // client name
  std::string netHostName;  // network host name or address
  int dwdPort = 0;
  int evmgrcPort = 0;
};

namespace DWClientDirectory {

// Fails when the id is taken or a field is out of range (id above 0, name
// and host not empty, ports 1..65535).
CZuError add(const DWClientInfo& client);
// Fails when there is no such client.
CZuError remove(int id);
// Every client, by id.
CZuError list(std::vector<DWClientInfo>* clients);
// `found` tells whether the client exists; `client` is set when it does.
CZuError find(int id, DWClientInfo* client, bool* found);

}  // namespace DWClientDirectory

// The lookup service; registers itself under "CLIENTS" while it lives and
// accepts requests from other processes.
class DWClientDirectorySvc : public DwLinkSvc {
 public:
  DWClientDirectorySvc();
  CZuError dispatch(const Map& req, Map* resp, const std::string& from,
                    const KRP_Cert& cert) override;
};

#endif  // HOST_DWCLIENTDIRECTORY_H

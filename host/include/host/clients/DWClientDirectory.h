// The central server's directory of clients (table APP_Client of "Anchor"):
// how to reach each client of the installation.  The central server serves
// it to other processes on the link "CLIENTS" (DWClient.h is their side):
//   "get_client"    "id"; answer "name", "host", "dwdPort", "evmgrcPort" and
//                   "mangled", the mangled host name of DwHostName.h
//   "list_clients"  optional "id" (only that client); answer "count" and, for
//                   each client i from 0, "id.i", "name.i", "host.i",
//                   "dwdPort.i", "evmgrcPort.i"
//   "add_client"    "id", "name", "host", "dwdPort", "evmgrcPort"
//   "remove_client" "id"
// Only the operator names given to the service (and in-process callers) may
// edit the directory: a client able to re-point another client's id could
// have its connections sent to itself.  Everyone admitted may read it.
#ifndef HOST_DWCLIENTDIRECTORY_H
#define HOST_DWCLIENTDIRECTORY_H

#include <set>
#include <string>
#include <vector>

#include "host/base/CZuError.h"
#include "host/link/DwLinkSvc.h"

struct DWClientInfo {
  int id = 0;
  std::string name;         // client name
  std::string netHostName;  // network host name or address
  int dwdPort = 0;
  int evmgrcPort = 0;
};

namespace DWClientDirectory {

// Request names on the link "CLIENTS".
inline constexpr char kGetClient[] = "get_client";
inline constexpr char kListClients[] = "list_clients";
inline constexpr char kAddClient[] = "add_client";
inline constexpr char kRemoveClient[] = "remove_client";

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
  explicit DWClientDirectorySvc(std::set<std::string> editors = {});
  CZuError dispatch(const Map& req, Map* resp, const std::string& from,
                    const KRP_Cert& cert) override;

 private:
  const std::set<std::string> editors_;
};

#endif  // HOST_DWCLIENTDIRECTORY_H

// The port lookup of a client machine: which two ports each of its named
// services listens on.  The machine answers on its dwdPort (the third field
// of its mangled host name, DwHostName.h), in the request link's wire format
// over TLS (DwLinkFrame.h, KrpSocket.h), as link "DwPortMap":
//   request  {"req": "lookup_port", "service": <name>}
//   answer   {"port": <decimal>, "port2": <decimal, 0 when there is one port>}
// An unknown service is answered with an error.  DwLink::lookupPort asks.
#ifndef HOST_DWPORTMAP_H
#define HOST_DWPORTMAP_H

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "host/link/DwLinkServer.h"
#include "host/link/DwLinkSvc.h"

constexpr char kDwPortMapLink[] = "DwPortMap";

// The table of services and their ports.  Reachable only through a
// DwPortResponder (acceptsRemote stays false).
class DwPortMapSvc : public DwLinkSvc {
 public:
  DwPortMapSvc() : DwLinkSvc(kDwPortMapLink) {}

  void setPorts(const std::string& service, int port, int port2);
  void removePorts(const std::string& service);

  CZuError dispatch(const Map& req, Map* resp, const std::string& from,
                    const KRP_Cert& cert) override;

 private:
  std::mutex mu_;
  std::map<std::string, std::pair<int, int>> ports_;
};

// A port table served on its own listening socket.
class DwPortResponder {
 public:
  DwPortResponder() = default;
  ~DwPortResponder() { stop(); }

  // Listens on `config`'s address and port (normally [Host] nDwdPort);
  // config.service is set to this responder's table.
  CZuError start(DwLinkServerConfig config);
  void stop() { server_.stop(); }

  int port() const { return server_.port(); }
  DwPortMapSvc& table() { return table_; }

 private:
  DwPortMapSvc table_;
  DwLinkServer server_;  // declared last: stops before the table goes
};

#endif  // HOST_DWPORTMAP_H

// Base of the services reached through the request link.  A service registers
// itself process-wide under its link name for its whole life; DwLink calls a
// service of its own process directly, and DwLinkServer delivers requests
// from the network to the services whose `acceptsRemote` is true.
//
// When several live services share a name the most recently constructed one
// is used.  A service must not be destroyed while a request may reach it.
#ifndef HOST_DWLINKSVC_H
#define HOST_DWLINKSVC_H

#include <map>
#include <string>

#include "host/CZuError.h"
#include "host/KrpSocket.h"

class DwLinkSvc {
 public:
  using Map = std::map<std::string, std::string>;

  explicit DwLinkSvc(const std::string& name);
  virtual ~DwLinkSvc();
  DwLinkSvc(const DwLinkSvc&) = delete;
  DwLinkSvc& operator=(const DwLinkSvc&) = delete;

  // Answers one request.  `from` is the requester's client name, `cert` the
  // certificate it authenticated with (kind KRP_CERT_KIND_LOCAL in-process).
  // A failure is returned to the requester as the text of "error".
  virtual CZuError dispatch(const Map& req, Map* resp, const std::string& from,
                            const KRP_Cert& cert) = 0;
  // For services that take over a connection after its first request; the
  // base supports none.
  virtual CZuError dispatch2(const Map& req, KrpSocket* socket);

  // Calls dispatch; a failure, returned or thrown, becomes the answer's
  // "error": the error's messages on one line with its code and a request
  // id, "<messages> (code <n>, request <16 hex digits>)".  The whole stack,
  // with source locations, is logged under that id and never sent.
  void answer(const Map& req, Map* resp, const std::string& from, const KRP_Cert& cert);

  const std::string& linkName() const { return name_; }

  // The live service registered under `name`, or null.
  static DwLinkSvc* find(const std::string& name);

  // Whether DwLinkServer delivers requests from other processes to this
  // service; false keeps it reachable in-process only.
  bool acceptsRemote;

 private:
  std::string name_;
};

#endif  // HOST_DWLINKSVC_H

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

#include "host/base/CZuError.h"
#include "host/tls/KrpSocket.h"

// Where a service puts an answer it produces piece by piece, so that neither
// end needs to hold all of it: the server sends what has gathered as a frame
// of its own (DwLinkFrame.h), an in-process caller takes each piece as it comes.
class DwLinkReply {
 public:
  virtual ~DwLinkReply() = default;
  // Adds `piece` to the value of `key`.  A piece is never split; a failure
  // (the requester left) should end the service's work.
  virtual CZuError append(const std::string& key, std::string piece) = 0;
};

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
  // Answers one request whose answer may be long: the service may hand parts
  // of values to `reply` as it produces them; what `resp` holds at the end
  // follows them.  The base calls dispatch.
  virtual CZuError dispatchPieces(const Map& req, Map* resp, DwLinkReply* reply,
                                  const std::string& from, const KRP_Cert& cert);
  // For services that take over a connection after its first request; the
  // base supports none.
  virtual CZuError dispatch2(const Map& req, KrpSocket* socket);

  // Calls dispatch; a failure, returned or thrown, becomes the answer's
  // "error": the error's messages on one line with its code and a request
  // id, "<messages> (code <n>, request <16 hex digits>)".  The whole stack,
  // with source locations, is logged under that id and never sent.
  void answer(const Map& req, Map* resp, const std::string& from, const KRP_Cert& cert);
  // The same through dispatchPieces: pieces go to `reply` as they come.
  void answer(const Map& req, Map* resp, DwLinkReply* reply, const std::string& from,
              const KRP_Cert& cert);

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

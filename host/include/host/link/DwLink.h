// The request link: sends a request map to the service registered under a
// link name and returns its response map.  A service of the calling process
// is called directly; otherwise the request travels to the central server
// (DwLinkConfig.h) over an authenticated, pooled connection (DwLinkPool.h).
//
// With several central servers ([Link] sServers) a request goes to the one
// that answered last and moves on to the next when a server can't be
// reached or drops the connection (see setResendable).
//
// A request the service fails is answered with its error's whole text under
// "error"; the returned error fails only when the exchange itself failed.
#ifndef HOST_DWLINK_H
#define HOST_DWLINK_H

#include <functional>
#include <map>
#include <string>

#include "host/base/CZuError.h"
#include "host/link/DwLinkConfig.h"

class DwLink {
 public:
  using Map = std::map<std::string, std::string>;
  // Takes one piece of the value of `key`; an error stops the request.
  using PieceFn = std::function<CZuError(const std::string& key, std::string& piece)>;

  explicit DwLink(const std::string& name) : name_(name) {}

  // While it lives, the requests its thread makes to a service of this
  // process name `actor` as their sender (a server's runner acting for the
  // operator who submitted the work).  Requests over the network are not
  // affected: there the certificate names the sender.
  class ActingFor {
   public:
    explicit ActingFor(const std::string& actor);
    ~ActingFor();
    ActingFor(const ActingFor&) = delete;
    ActingFor& operator=(const ActingFor&) = delete;

   private:
    std::string previous_;
  };

  // Whether the request may be sent again when its answer was lost after it
  // left, to the same or another central server ([Link] sServers): true for
  // a request that only reads, or that the service recognises when it comes
  // again (a request id).  A request that never left is always sent on.
  void setResendable(bool resendable) { resendable_ = resendable; }
  // For makeReqPieces: undoes what `onPiece` took, so that a resendable
  // request may start over on another server after part of its answer came.
  void setRestart(std::function<void()> undo) { onRestart_ = std::move(undo); }
  // Sends to the servers of `config` (the caller keeps it alive) with its TLS
  // identity instead of the registry's, even when a service of this name
  // lives in the process: one process speaking as several clients.
  void setClientConfig(const DwLinkClientConfig* config) { config_ = config; }

  // `server`, when not null or empty, names the server as "host:port" (or
  // "[v6-address]:port"; the port may be left out) and skips the in-process
  // service.  `resp` may be null when the answer is not wanted.
  CZuError makeReqToAnchor(const Map& req, Map* resp, const char* server);

  // Like makeReqToAnchor for answers of any size: the parts of an answer that
  // the service produces piece by piece are handed to `onPiece` as they
  // arrive, in order, and never gathered; `resp` gets the rest, which follows
  // them (the value of a key is its pieces and then its value in `resp`).
  // When `resp` holds "error" the pieces already handed over are void.  An
  // error of `onPiece` ends the request and is returned.
  CZuError makeReqPieces(const Map& req, Map* resp, const PieceFn& onPiece, const char* server);

  // Over the network to the servers of `config`, even when a service of
  // this name lives in the process.
  CZuError makeRemoteReq(const DwLinkClientConfig& config, const Map& req, Map* resp);

  // The two ports that `service` listens on at the machine named by the
  // mangled host name `host`, asked of that machine (DwPortMap.h); `port2`
  // is 0 for a service with one port.  Fails for a malformed name, a machine
  // that can't be reached and an unknown service.
  static CZuError lookupPort(const std::string& host, const std::string& service, int* port,
                             int* port2);

 private:
  CZuError exchange(const DwLinkClientConfig& config, const Map& req, Map* resp,
                    const PieceFn& onPiece);
  CZuError exchangeWith(const DwLinkClientConfig& config, const DwLinkAddress& server,
                        const std::string& frame, Map* resp, const PieceFn& onPiece, bool* sent,
                        bool* answerFailed, bool* piecesTaken);

  std::string name_;
  bool resendable_ = false;
  // Undoes the pieces gathered so far, so that a resent request starts over;
  // null when the pieces went on to the caller.
  std::function<void()> onRestart_;
  const DwLinkClientConfig* config_ = nullptr;
};

#endif  // HOST_DWLINK_H

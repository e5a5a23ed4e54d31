// The server end of the request link: accepts TLS connections, refuses peers
// without a valid certificate (or with a kind the policy does not allow)
// before reading anything from them, and then answers the requests of each
// connection in turn, one thread per connection.
//
// No peer can starve the others (DwConnGate.h): connections still in their
// handshake are bounded in total and per source address and must finish it
// within `authTimeoutMs`; authenticated connections take one of
// `limits.maxConnections` slots, and when all are taken the longest idle one
// is closed to make room.  Every request frame must arrive whole within
// `timeoutMs`, and is admitted from its header against a memory budget shared
// by all connections (DwMemBudget.h) before anything of it is read.  An answer
// produced piece by piece goes out as a sequence of frames of about
// kDwLinkAnswerWindowBytes each to requesters that take it (DwLinkFrame.h).
//
// The requester's authenticated client name is passed to the service as
// `from`, its certificate as `cert`.
#ifndef HOST_DWLINKSERVER_H
#define HOST_DWLINKSERVER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "host/base/CZuError.h"
#include "host/net/CZuSocket.h"
#include "host/link/DwAcceptor.h"
#include "host/link/DwConnGate.h"
#include "host/link/DwLinkConfig.h"
#include "host/link/DwLinkTraffic.h"
#include "host/base/DwMemBudget.h"
#include "host/base/DwThreadGroup.h"

struct KrpSocket;
struct KRP_Cert;
class TlsContext;
struct DwLinkMessage;
class DwLinkReply;

// Pieces of an answer gathered into one frame before it is sent.
constexpr size_t kDwLinkAnswerWindowBytes = 1u << 20;

class DwLinkServer {
 public:
  struct Stats {
    uint64_t refused = 0;     // peers refused at authentication
    uint64_t late = 0;        // handshakes not finished in time
    DwAcceptor::Stats acceptor;  // connections taken; silent ones shed or timed out
    uint64_t requests = 0;    // requests received whole
    uint64_t overBudget = 0;  // frames refused by the memory budget
    DwConnGate::Stats gate;   // connections shed, evicted, crowded out, left without a slot
    size_t peakBytes = 0;     // most bytes of the budget in use at once
  };
  // Told about connection-level failures (refused peers, broken frames), on
  // the server's threads.  Without a hook they go to the debug log (EvDebug).
  using ErrorHook = std::function<void(const CZuError&)>;

  DwLinkServer() = default;
  ~DwLinkServer();  // stops
  DwLinkServer(const DwLinkServer&) = delete;
  DwLinkServer& operator=(const DwLinkServer&) = delete;

  void setErrorHook(ErrorHook hook) { hook_ = std::move(hook); }  // before start
  CZuError start(const DwLinkServerConfig& config);

  // Stops accepting, closes idle connections and cuts handshakes and partly
  // received requests short, lets requests being answered finish, and waits
  // for every connection thread.  Must not be called from a service.
  void stop();

  // Connections accepted from now on use `tls` (a reload of the
  // certificates); those already open keep theirs.
  void setTls(std::shared_ptr<TlsContext> tls);

  int port() const { return port_; }
  bool stopping();
  Stats stats();
  // Connections being authenticated, and those holding a serving slot.
  int pendingConnections() { return gate_ ? gate_->pending() : 0; }
  int seatedConnections() { return gate_ ? gate_->seated() : 0; }
  const DwLinkTraffic& traffic() const { return traffic_; }

 private:
  using ConnPtr = DwConnGate::ConnPtr;

  void spawnWorker(int fd, const std::string& address);
  void serveConnection(CZuSocket& sock, const ConnPtr& conn);  // takes the socket over
  bool authenticate(KrpSocket* s, const ConnPtr& conn, std::shared_ptr<KRP_Cert>* peer);
  bool serveOne(KrpSocket* s, const KRP_Cert& peer, const ConnPtr& conn, int waitMs);
  void refuseFrame(KrpSocket* s, const KRP_Cert& peer, const CZuError& err, bool started);
  CZuError answer(KrpSocket* s, const DwLinkMessage& request, const KRP_Cert& peer);
  DwLinkSvc* serviceFor(const DwLinkMessage& request);
  void report(const CZuError& err);
  void count(uint64_t Stats::*field);

  DwLinkServerConfig config_;
  ErrorHook hook_;
  CZuSocket listen_;
  int port_ = 0;
  DwAcceptor acceptor_;
  std::unique_ptr<DwConnGate> gate_;
  std::unique_ptr<DwMemBudget> budget_;

  std::mutex mu_;  // also guards config_.tls, which setTls replaces
  DwThreadGroup workers_;
  bool stopping_ = false;
  Stats stats_;
  DwLinkTraffic traffic_;  // over the object's whole life
};

#endif  // HOST_DWLINKSERVER_H

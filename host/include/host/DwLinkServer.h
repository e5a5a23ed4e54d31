// The server end of the request link: accepts TLS connections, refuses peers
// without a valid certificate (or with a kind the policy does not allow)
// before reading anything from them, and then answers the requests of each
// connection in turn, one thread per connection, at most
// `maxConnections` at once (further clients wait in the listen queue).
//
// The requester's authenticated client name is passed to the service as
// `from`, its certificate as `cert`.
#ifndef HOST_DWLINKSERVER_H
#define HOST_DWLINKSERVER_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "host/CZuError.h"
#include "host/CZuSocket.h"
#include "host/DwLinkConfig.h"
#include "host/DwThreadGroup.h"

struct KrpSocket;
struct KRP_Cert;
struct DwLinkMessage;

class DwLinkServer {
 public:
  struct Stats {
    uint64_t accepted = 0;  // TCP connections taken
    uint64_t refused = 0;   // peers refused at authentication
    uint64_t requests = 0;  // requests received whole
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

  int port() const { return port_; }
  bool stopping();
  Stats stats();

 private:
  bool waitForSlot();  // false once stopping
  void acceptLoop();
  CZuError spawnWorker(CZuSocket sock);
  void serveConnection(CZuSocket& sock);  // takes the socket over
  bool authenticate(KrpSocket* s, std::shared_ptr<KRP_Cert>* peer);
  bool serveOne(KrpSocket* s, const KRP_Cert& peer);
  void answer(const DwLinkMessage& request, const KRP_Cert& peer, DwLinkMessage* response);
  void report(const CZuError& err);

  DwLinkServerConfig config_;
  ErrorHook hook_;
  CZuSocket listen_;
  int port_ = 0;
  int stopPipe_[2] = {-1, -1};  // readable once stop begins
  std::thread acceptThread_;

  std::mutex mu_;
  std::condition_variable cv_;  // a worker finished
  DwThreadGroup workers_;
  int active_ = 0;
  bool stopping_ = false;
  Stats stats_;
};

#endif  // HOST_DWLINKSERVER_H

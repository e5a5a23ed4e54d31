// The network side of the simulator: "BlrCtrlSvc" on two TLS ports, and the
// machine's port lookup (DwPortMap.h) that tells clients which two.  Each
// connection is served on a thread of its own, one request at a time, with
// the faults of the control in force.  Connections are admitted as by the
// request link's server (DwConnGate.h): bounded handshakes, bounded slots with
// the longest idle connection closed to make room, and a deadline for every
// whole message.
#ifndef TOOLS_PROXY_PROXYSERVER_H
#define TOOLS_PROXY_PROXYSERVER_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ProxyConfig.h"
#include "ProxyState.h"
#include "host/net/CZuSocket.h"
#include "host/base/auto_handle.h"
#include "host/link/DwAcceptor.h"
#include "host/link/DwConnGate.h"
#include "host/net/DwPortMap.h"
#include "host/base/DwThreadGroup.h"

class TlsContext;
struct KrpSocket;

class KrpPeerPolicy;

struct ProxyServerConfig {
  std::string address;  // listen address; empty: every local address
  int port = 0;         // "BlrCtrlSvc"; 0 picks a free port
  int port2 = 0;        // its second port; 0 picks a free port, -1: none
  int dwdPort = 0;      // the port lookup; 0 picks a free port, -1: none
  std::shared_ptr<TlsContext> tls;  // this proxy's certificate
  bool allowBuiltinCerts = false;   // clients may present the built-in certificate
  std::string stateFile;  // rewritten with the state after every request; empty: none
  // Every request appended as it arrives, one line each (logRequest); empty: none.
  std::string requestLog;
  int authTimeoutMs = 5 * 1000;     // TLS handshake of a new connection
  int messageTimeoutMs = 60 * 1000; // one whole request
  DwConnLimits limits;              // of each listener: control ports, port lookup
  size_t memoryBudgetBytes = size_t(256) << 20;  // the port lookup's frames
  // Names admitted on the control ports and the port lookup; null: any name
  // the authority signed.
  std::shared_ptr<KrpPeerPolicy> peers;
};

class ProxyServer {
 public:
  ProxyServer(ProxyControl* control, ProxyState* state) : control_(control), state_(state) {}
  ~ProxyServer() { stop(); }
  ProxyServer(const ProxyServer&) = delete;
  ProxyServer& operator=(const ProxyServer&) = delete;

  CZuError start(const ProxyServerConfig& config);
  // Closes every connection, also those waiting on a delay or a hang.
  void stop();

  int port() const { return ports_[0]; }
  int port2() const { return ports_[1]; }
  int dwdPort() const { return responder_ ? responder_->port() : 0; }

  // Connections being served; waits up to `timeoutMs` for the count to
  // become `n` and returns the count then.
  int waitForConnections(int n, int timeoutMs);

 private:
  CZuError listen(int port, int slot);
  void spawnWorker(int fd, const std::string& address);
  void serveConnection(CZuSocket& sock, const DwConnGate::ConnPtr& conn);  // takes the socket over
  bool serveOne(KrpSocket* s, const DwConnGate::ConnPtr& conn);
  bool applyFault(KrpSocket* s, const ProxyFault& fault);
  void refreshControl();
  void saveState();
  void closeStopPipe();
  void logRequest(const ProxyRequest& request);

  ProxyControl* control_;
  ProxyState* state_;
  ProxyServerConfig config_;
  CZuSocket listen_[2];
  int ports_[2] = {0, 0};
  std::unique_ptr<DwPortResponder> responder_;
  int stopPipe_[2] = {-1, -1};  // readable once stop begins
  DwAcceptor acceptor_;
  std::unique_ptr<DwConnGate> gate_;

  std::mutex mu_;
  std::condition_variable cv_;  // the connection count changed
  DwThreadGroup workers_;
  int active_ = 0;
  std::mutex saveMu_;  // one writer of the state file at a time, latest state last
  auto_handle requestLog_;
};

#endif  // TOOLS_PROXY_PROXYSERVER_H

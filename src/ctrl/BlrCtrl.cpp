#include "BLR/BlrCtrl.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <exception>

#include "BLR/BlrDebug.h"
#include "BLR/BlrReg.h"
#include "host/clients/DWClient.h"
#include "host/config/DWPlatformInfo.h"
#include "host/base/DwBytes.h"
#include "host/base/DwClock.h"
#include "host/link/DwConnGate.h"
#include "host/net/DwFwClient.h"
#include "host/net/DwHostName.h"
#include "host/link/DwLink.h"
#include "host/base/FXFormat.h"
#include "host/tls/KrpSocket.h"
#include "host/net/ZuFdset.h"

namespace {

constexpr char kServiceName[] = "BlrCtrlSvc";
constexpr int kHeaderLen = 8;
// Messages without pair lists are framed on the stack; their payloads are a
// few dozen bytes.
constexpr int kSmallPayload = 256;
// Payloads are received in steps of this size, so that memory grows only as
// bytes arrive.
constexpr int kRecvStep = 1024 * 1024;

CZuError notConnected(const FXCodeLocation& loc) {
  return FXErrorUtil::ErrorInt(loc, 1, "Not connected");
}

// A transfer that moved fewer bytes than asked without saying why.
CZuError shortTransfer(const FXCodeLocation& loc, CZuError err, int moved, int wanted) {
  if (err.IsError()) return err;
  return FXErrorUtil::ErrorInt(loc, EIO, "Moved %d of %d bytes", moved, wanted);
}

// The peer's refusal a decoded reply carries, if any.
CZuError peerStatus(const FXCodeLocation& loc, const BlrCtrlValues& reply) {
  int32_t code = reply.int32(BLR_CTRL_TAG_ERROR_CODE);
  if (code == 0) return CZuError();
  std::string text = reply.text(BLR_CTRL_TAG_ERROR_TEXT);
  return FXErrorUtil::ErrorInt(loc, code, "%s", text.empty() ? "unknown error" : text.c_str());
}

// The connection closed before the whole answer arrived.
bool answerLost(const CZuError& err) {
  return err.Code() == ECONNRESET || err.Code() == EPIPE;
}

}  // namespace

BlrCtrl::BlrCtrl() : port(0), port2(0), krpSocket(nullptr), inStep_(false), connectedAt_(0) {}

BlrCtrl::~BlrCtrl() { disconnect(); }

void BlrCtrl::disconnect() {
  if (krpSocket != nullptr) krpDestroySocket(krpSocket);
  krpSocket = nullptr;
  socket.Close();
  inStep_ = false;
}

// ---- Connection ----

CZuError BlrCtrl::connect(const std::string& host) {
  try {
    return connectTo(host);
  } catch (const CZuError& thrown) {
    disconnect();
    return thrown;
  } catch (const std::exception& e) {
    disconnect();
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't connect to %s: %s", host.c_str(), e.what());
  }
}

CZuError BlrCtrl::connectTo(const std::string& host) {
  int lookedUp = 0, lookedUp2 = 0;
  CZuError err = DwLink::lookupPort(host, kServiceName, &lookedUp, &lookedUp2);
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't lookup BlrCtrlSvc's port numbers on %s", host.c_str());
  std::string net, client;
  int dwdPort = 0, evmgrcPort = 0;
  DemangleHostName(host.c_str(), net, client, dwdPort, evmgrcPort);  // the lookup checked it
  disconnect();
  host_ = host;
  hostName = net;
  clientName = client;
  port = lookedUp;
  port2 = lookedUp2;
  // A proxy busy with handshakes sheds new connections: those are tried again.
  return dwRetryWhileShed([&] { return openControl(host); });
}

// The control connection to the looked-up ports, authenticated; closed again
// when it fails.
CZuError BlrCtrl::openControl(const std::string& host) {
  blrDebug("BlrCtrl::connect", 1, "Connecting to %s/%s:%d", clientName.c_str(), hostName.c_str(),
           port);
  DwFwClient fw;
  socket = fw.connect(host.c_str(), port, port2, -1, -1, nullptr, nullptr, false);
  if (!socket.IsValid()) {
    DwFwError last = fw.getLastError();
    // A client that gives neither a socket nor a reason has still failed.
    if (last.code == 0)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't connect to %s/%s:%d: no connection made",
                                   clientName.c_str(), hostName.c_str(), port);
    return FXErrorUtil::ErrorErrNo(FXLOC, last.code, "%s", last.text.c_str());
  }

  int authTimeout = BlrReg::getAuthTimeoutSecs();
  std::shared_ptr<KRP_Cert> peer;
  CZuError err = socket.SetToNonBlocking();
  if (!err.IsError()) err = krpInitSocket(socket, KRP_INIT_DEFAULT, &krpSocket);
  if (!err.IsError()) err = krpSetRemoteClientName(krpSocket, clientName);
  if (!err.IsError()) err = krpSetDialledHost(krpSocket, hostName);
  if (!err.IsError()) err = krpAuthSocket(krpSocket, KRP_ROLE_CLIENT, &peer, authTimeout);
  if (err.IsError()) {
    disconnect();
    return err.Push(FXLOC, "Couldn't setup secure connection to %s", clientName.c_str());
  }
  if (!BlrReg::getAllowBuiltinCerts() && peer->kind != KRP_CERT_KIND_CLIENT) {
    disconnect();
    return FXErrorUtil::ErrorInt(FXLOC, 1, "%s did not authenticate with a per-client certificate",
                                 clientName.c_str());
  }
  inStep_ = true;
  connectedAt_ = DwClock::current()->now();
  if (peer->clientName != clientName)
    blrDebug("BlrCtrl::connect", 1, "Warning: remote client %s authenticated as %s",
             clientName.c_str(), peer->clientName.c_str());
  blrNetDebug("BlrCtrl::connect", 2, "Successfully authenticated with %s (%s)",
              peer->clientName.c_str(), peer->issuerName.c_str());
  return CZuError();
}

CZuError BlrCtrl::connect() {
  DWPlatformInfo info;
  const char* local = info.getPhysicalMachine();
  if (local == nullptr || *local == '\0')
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't derive local PM client name");
  std::string mangled;
  if (!info.getClientHostNameMangled(local, mangled))
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't derive local PM mangled hostname");
  CZuError err = connect(mangled);
  if (err.IsError()) err.Push(FXLOC, "Couldn't connect to local BLR service");
  return err;
}

CZuError BlrCtrl::connectToClient(int clientId) {
  std::string host;
  CZuError err = DWClient(clientId).lookUp(&host);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't look up client %d", clientId);
  return connect(host);
}

// ---- Framing ----

const char* BlrCtrl::msg2str(int msgId) {
  const BlrCtrlMsgRow* row = blrCtrlMsgRow(msgId);
  return row != nullptr ? row->name : "UNKNOWN";
}

const char* BlrCtrl::pairOp2str(int op) {
  for (const BlrCtrlPairOpRow& row : kBlrCtrlPairOpRows)
    if (row.op == op) return row.name;
  return "UNKNOWN";
}

CZuError BlrCtrl::sendMsg(KrpSocket* s, int msgId, const void* payload, int len) {
  if (len < 0 || len > BLR_CTRL_MAX_MSG_LEN - kHeaderLen || (len > 0 && payload == nullptr))
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't send %s message: invalid payload of %d bytes",
                                 msg2str(msgId), len);
  int timeout = BlrReg::getCtrlTimeoutSecs();
  int total = len + kHeaderLen;
  char small[kSmallPayload + kHeaderLen];
  DwBuffer large;
  char* msg = small;
  if (total > static_cast<int>(sizeof small)) {
    CZuError err = large.resize(total);
    if (err.IsError()) return err.Push(FXLOC, "Couldn't send %s message", msg2str(msgId));
    msg = large.data();
  }
  dw_bytes::putBE32(msg, static_cast<uint32_t>(msgId));
  dw_bytes::putBE32(msg + 4, static_cast<uint32_t>(total));
  if (len > 0) std::memcpy(msg + kHeaderLen, payload, len);
  CZuError err;
  int sent = krpSend(s, msg, total, timeout, &err);
  if (err.IsError() || sent != total)
    return shortTransfer(FXLOC, err, sent, total)
        .Push(FXLOC, "Couldn't send %s message", msg2str(msgId));
  return CZuError();
}

CZuError BlrCtrl::recvMsg(KrpSocket* s, int* msgId, DwBuffer& buf, int expectedId) {
  int timeout = BlrReg::getCtrlTimeoutSecs();
  unsigned char header[kHeaderLen];
  CZuError err;
  int got = krpRecv(s, header, kHeaderLen, timeout, &err);
  if (err.IsError() || got != kHeaderLen)
    return shortTransfer(FXLOC, err, got, kHeaderLen)
        .Push(FXLOC, "Couldn't receive next control message");
  int id = static_cast<int>(dw_bytes::getBE32(header));
  uint32_t total = dw_bytes::getBE32(header + 4);
  if (expectedId != 0 && id != expectedId)
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "Didn't receive expected %s message back. Got %s=%d instead",
                                 msg2str(expectedId), msg2str(id), id);
  // The payload is neither allocated nor read for a length out of bounds.
  if (total < kHeaderLen || total > static_cast<uint32_t>(BLR_CTRL_MAX_MSG_LEN))
    return FXErrorUtil::ErrorInt(FXLOC, 1,
                                 "Invalid %s message header: total length %" PRIu32
                                 " is not within %d and %d",
                                 msg2str(id), total, kHeaderLen, BLR_CTRL_MAX_MSG_LEN);
  int len = static_cast<int>(total) - kHeaderLen;
  for (int done = 0; done < len;) {
    int step = len - done < kRecvStep ? len - done : kRecvStep;
    if (buf.getSize() < static_cast<size_t>(done + step)) err = buf.resize(done + step);
    if (!err.IsError()) {
      got = krpRecv(s, buf.data() + done, step, timeout, &err);
      if (!err.IsError() && got != step) err = shortTransfer(FXLOC, err, got, step);
    }
    if (err.IsError()) return err.Push(FXLOC, "Couldn't receive %s message", msg2str(id));
    done += step;
  }
  // Exactly the payload, so that a reused buffer never shows stale bytes.
  err = buf.resize(len);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't receive %s message", msg2str(id));
  if (msgId != nullptr) *msgId = id;
  return CZuError();
}

CZuError BlrCtrl::recvResp(KrpSocket* s) {
  DwBuffer buf;
  CZuError err = recvMsg(s, nullptr, buf, BLR_CTRL_MSG_RESP);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't receive response back");
  return respStatus(buf);
}

CZuError BlrCtrl::respStatus(const DwBuffer& buf) {
  BlrCtrlValues status;
  CZuError err = BlrCtrlValues::decodeReply(kBlrCtrlMsgRows[0], buf.data(),
                                            static_cast<int>(buf.getSize()), &status);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse response message");
  return peerStatus(FXLOC, status);
}

bool BlrCtrl::msgPending() {
  if (krpSocket == nullptr || !socket.IsValid()) return false;
  if (krpHasBufferedData(krpSocket)) return true;
  int fd = socket.GetDescriptor();
  for (;;) {
    ZuFdset readable, exceptional;
    readable.set(fd);
    exceptional.set(fd);
    int n = ZuFdset::select(&readable, nullptr, &exceptional, 0);
    if (n < 0 && errno == EINTR) continue;
    return n != 0;
  }
}

CZuError BlrCtrl::exchange(int msgId, const void* payload, int len, int replyId, DwBuffer& reply) {
  // In step with the peer again only once the whole reply is read.
  inStep_ = false;
  CZuError err = sendMsg(krpSocket, msgId, payload, len);
  if (err.IsError()) return err;
  err = recvMsg(krpSocket, nullptr, reply, replyId);
  if (err.IsError() && replyId == BLR_CTRL_MSG_RESP)
    return err.Push(FXLOC, "Couldn't receive response back");
  inStep_ = !err.IsError();
  return err;
}

bool BlrCtrl::reusable() const { return krpSocket != nullptr && socket.IsValid() && inStep_; }

bool BlrCtrl::stale() { return reusable() && msgPending(); }

// ---- Operations ----

CZuError BlrCtrl::call(int msgId, const BlrCtrlValues& request, BlrCtrlValues* results,
                       const std::string& failure) {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  const BlrCtrlMsgRow* row = blrCtrlMsgRow(msgId);
  if (row == nullptr || row->replyId == 0)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "%s: message %d is not a request", failure.c_str(),
                                 msgId);
  if (int tag = request.missing(*row))
    return FXErrorUtil::ErrorInt(FXLOC, 1, "No %s given", blrCtrlTagRow(tag)->what)
        .Push(FXLOC, "%s", failure.c_str());
  blrCtrlDebug("BlrCtrl::call", 2, "%s: %s", row->name, request.describe().c_str());
  std::vector<char> payload;
  CZuError err = request.encodeRequest(*row, &payload);
  if (err.IsError()) return err.Push(FXLOC, "%s", failure.c_str());
  err = callOnce(*row, payload, results, failure);
  // Sent again only where the same request twice has the outcome of one.
  if (err.IsError() && !inStep_ && answerLost(err) && row->replayable && !host_.empty()) {
    blrNetDebug("BlrCtrl::call", 1, "The answer to %s was lost; sending it again", row->name);
    std::string host = host_;
    CZuError again = connect(host);
    if (again.IsError()) return err;
    err = callOnce(*row, payload, results, failure);
  }
  return err;
}

CZuError BlrCtrl::callOnce(const BlrCtrlMsgRow& row, const std::vector<char>& payload,
                           BlrCtrlValues* results, const std::string& failure) {
  DwBuffer reply;
  CZuError err = exchange(row.id, payload.data(), static_cast<int>(payload.size()), row.replyId,
                          reply);
  if (err.IsError()) return err.Push(FXLOC, "%s", failure.c_str());
  BlrCtrlValues got;
  err = BlrCtrlValues::decodeReply(row, reply.data(), static_cast<int>(reply.getSize()), &got);
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't parse %s message", msg2str(row.replyId))
        .Push(FXLOC, "%s", failure.c_str());
  err = peerStatus(FXLOC, got);
  if (err.IsError()) return err.Push(FXLOC, "%s", failure.c_str());
  if (results != nullptr) *results = std::move(got);
  return CZuError();
}

CZuError BlrCtrl::applyRepCfg(const BlrUUID& vm) {
  std::list<BlrDB::Pair> pairs;
  CZuError err = BlrDB().getPairs(vm, &pairs);
  if (err.IsError())
    return err.Push(FXLOC, "Couldn't look up list of BLR pairs in DB for VM %s",
                    vm.toString().c_str());
  return applyRepCfg(vm, pairs);
}

CZuError BlrCtrl::applyRepCfg(const BlrUUID& vm, const std::list<BlrDB::Pair>& pairs) {
  return call(BLR_CTRL_MSG_APPLYREPCFG, BlrCtrlValues().setVm(vm).setPairs(pairs), nullptr,
              "Couldn't start replication");
}

CZuError BlrCtrl::cleanupPairs(const std::list<BlrDB::Pair>& pairs) {
  return call(BLR_CTRL_MSG_CLEANUP_PAIRS, BlrCtrlValues().setPairs(pairs), nullptr,
              "Couldn't order pair cleanup on the head proxy");
}

CZuError BlrCtrl::registerBackup(const BlrUUID& vm, uint64_t backupJobId) {
  return call(BLR_CTRL_MSG_REGISTER_BACKUP,
              BlrCtrlValues().setVm(vm).set(BLR_CTRL_TAG_BACKUP_JOB_ID, backupJobId), nullptr,
              "Couldn't register backup");
}

CZuError BlrCtrl::jobDone(uint64_t jobId) {
  return call(BLR_CTRL_MSG_JOB_DONE, BlrCtrlValues().set(BLR_CTRL_TAG_JOB_ID, jobId), nullptr,
              FXFormat("Couldn't report completion of job %jd", static_cast<intmax_t>(jobId)));
}

CZuError BlrCtrl::testBootCrossing(const BlrUUID& vm, int bootId, int timeout, uint64_t* seqNum,
                                   uint64_t* value2) {
  BlrCtrlValues reply;
  CZuError err = call(
      BLR_CTRL_MSG_TESTBOOT_CROSSING_REQ,
      BlrCtrlValues().setVm(vm).setInt(BLR_CTRL_TAG_BOOT_ID, bootId).setInt(BLR_CTRL_TAG_TIMEOUT,
                                                                            timeout),
      &reply, FXFormat("Couldn't notify destination of a test boot of VM %s", vm.toHex().c_str()));
  if (err.IsError()) return err;
  if (seqNum != nullptr) *seqNum = reply.num(BLR_CTRL_TAG_SEQ_NUM);
  if (value2 != nullptr) *value2 = reply.num(BLR_CTRL_TAG_TESTBOOT_VALUE2);
  return CZuError();
}

CZuError BlrCtrl::testBootCrossed(const BlrUUID& vm, int bootId) {
  return call(BLR_CTRL_MSG_TESTBOOT_CROSSED,
              BlrCtrlValues().setVm(vm).setInt(BLR_CTRL_TAG_BOOT_ID, bootId), nullptr,
              FXFormat("Couldn't notify destination of a completed test boot for VM %s",
                       vm.toHex().c_str()));
}

CZuError BlrCtrl::pairOp(int pairId, int op) {
  return call(BLR_CTRL_MSG_PAIR_OP,
              BlrCtrlValues().setInt(BLR_CTRL_TAG_PAIR_ID, pairId).setInt(BLR_CTRL_TAG_PAIR_OP, op),
              nullptr, FXFormat("Couldn't %s pair %d", pairOp2str(op), pairId));
}

CZuError BlrCtrl::ping() {
  return call(BLR_CTRL_MSG_PING, BlrCtrlValues(), nullptr, "Couldn't send BLR_CTRL_MSG_PING");
}

CZuError BlrCtrl::insFlushMarker(const BlrUUID& vm, uint64_t* seqNum) {
  BlrCtrlValues reply;
  CZuError err = call(BLR_CTRL_MSG_INS_FLUSH_MARKER_REQ, BlrCtrlValues().setVm(vm), &reply,
                      FXFormat("Couldn't make Head insert a marker into replication stream of "
                               "VM %s",
                               vm.toHex().c_str()));
  if (!err.IsError() && seqNum != nullptr) *seqNum = reply.num(BLR_CTRL_TAG_MARKER_SEQ_NUM);
  return err;
}

CZuError BlrCtrl::getLastSeqNum(const BlrUUID& vm, uint64_t* seqNum) {
  BlrCtrlValues reply;
  CZuError err =
      call(BLR_CTRL_MSG_GET_LAST_SEQNUM_REQ, BlrCtrlValues().setVm(vm), &reply,
           FXFormat("Couldn't get last seqnum from tail for VM %s", vm.toHex().c_str()));
  if (!err.IsError() && seqNum != nullptr) *seqNum = reply.num(BLR_CTRL_TAG_SEQ_NUM);
  return err;
}

CZuError BlrCtrl::failoverCrossing(const BlrUUID& vm) {
  return call(BLR_CTRL_MSG_FAILOVER_CROSSING, BlrCtrlValues().setVm(vm), nullptr,
              FXFormat("Couldn't notify destination of an ongoing failover for VM %s",
                       vm.toHex().c_str()));
}

CZuError BlrCtrl::failoverCrossed(const BlrUUID& vm) {
  return call(BLR_CTRL_MSG_FAILOVER_CROSSED, BlrCtrlValues().setVm(vm), nullptr,
              FXFormat("Couldn't notify destination of a completed failover for VM %s",
                       vm.toHex().c_str()));
}

CZuError BlrCtrl::powerOnOffVM(int pairId, bool tail, bool on, bool* wasOn) {
  BlrCtrlValues reply;
  CZuError err = call(BLR_CTRL_MSG_POWER_ON_OFF_VM_REQ,
                      BlrCtrlValues()
                          .setInt(BLR_CTRL_TAG_PAIR_ID, pairId)
                          .setInt(BLR_CTRL_TAG_TAIL, tail ? 1 : 0)
                          .setInt(BLR_CTRL_TAG_ON, on ? 1 : 0),
                      &reply,
                      FXFormat("Couldn't power %s source VM for pair %d", on ? "ON" : "OFF",
                               pairId));
  if (!err.IsError() && wasOn != nullptr) *wasOn = reply.int32(BLR_CTRL_TAG_WAS_ON) != 0;
  return err;
}

CZuError BlrCtrl::createFailoverSnap(int pairId) {
  return call(BLR_CTRL_MSG_CREATE_FAILOVER_SNAP,
              BlrCtrlValues().setInt(BLR_CTRL_TAG_PAIR_ID, pairId), nullptr,
              FXFormat("Couldn't create failover snap for pair %d", pairId));
}

CZuError BlrCtrl::deleteFailoverSnap(int pairId, bool revert) {
  return call(BLR_CTRL_MSG_DELETE_FAILOVER_SNAP,
              BlrCtrlValues()
                  .setInt(BLR_CTRL_TAG_PAIR_ID, pairId)
                  .setInt(BLR_CTRL_TAG_REVERT, revert ? 1 : 0),
              nullptr,
              FXFormat("Couldn't %s failover snap for pair %d", revert ? "revert to" : "delete",
                       pairId));
}

void blrJobDone(uint64_t jobId) {
  BlrCtrl ctrl;
  CZuError err = ctrl.connect();
  if (!err.IsError()) err = ctrl.jobDone(jobId);
  if (err.IsError())
    blrError("blrJobDone", "Couldn't notify BLR of job completion: %s", err.Summary().c_str());
}

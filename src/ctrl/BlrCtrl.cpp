#include "BLR/BlrCtrl.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <exception>

#include "BLR/BlrDebug.h"
#include "BLR/BlrReg.h"
#include "DwLink/DwEbml.h"
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
// Requests without pair lists are encoded on the stack; theirs are a few
// dozen bytes.
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

// The error part of a specific reply, decoded along with its results.
struct ReplyStatus {
  int32_t code = 0;
  const char* text = nullptr;

  // The outcome of decoding a reply `replyId`: a decoding failure, the
  // peer's refusal (with `peerFailure` and the peer's text), or success.
  CZuError check(const FXCodeLocation& loc, CZuError parsed, int replyId,
                 const std::string& failure, const std::string& peerFailure) const {
    if (parsed.IsError())
      return parsed.Push(loc, "Couldn't parse %s message", BlrCtrl::msg2str(replyId))
          .Push(loc, "%s", failure.c_str());
    if (code != 0)
      return FXErrorUtil::ErrorInt(loc, code, "%s: %s", peerFailure.c_str(),
                                   text != nullptr ? text : "unknown error");
    return CZuError();
  }
  CZuError check(const FXCodeLocation& loc, CZuError parsed, int replyId,
                 const std::string& failure) const {
    return check(loc, parsed, replyId, failure, failure);
  }
};

DwEbmlParser parserOf(const DwBuffer& buf) { return DwEbmlParser(buf.data(), buf.getSize()); }

// A VM's request with one identifier tag, built on the stack.
struct VmRequest {
  explicit VmRequest(const BlrUUID& vm) : writer(block, 0) {
    writer.writeUUIDTag(BLR_CTRL_TAG_VM_UUID, vm.data());
  }
  char block[kSmallPayload];
  DwEbmlWriterUnsafe writer;
};

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
  ReplyStatus status;
  DwEbmlParser parser = parserOf(buf);
  CZuError err = parser.parseMsg(BLR_CTRL_TAG_ERROR_CODE, DW_EBML_VAR_INT32, &status.code,
                        BLR_CTRL_TAG_ERROR_TEXT, DW_EBML_VAR_STR, &status.text, 0);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't parse response message");
  if (status.code != 0)
    return FXErrorUtil::ErrorInt(FXLOC, status.code, "%s",
                                 status.text != nullptr ? status.text : "unknown error");
  return CZuError();
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

CZuError BlrCtrl::request(int msgId, const void* payload, int len) {
  DwBuffer reply;
  CZuError err = exchange(msgId, payload, len, BLR_CTRL_MSG_RESP, reply);
  return err.IsError() ? err : respStatus(reply);
}

CZuError BlrCtrl::request(int msgId, const void* payload, int len, DwBuffer& reply) {
  return exchange(msgId, payload, len, blrCtrlMsgRow(msgId)->replyId, reply);
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

// ---- Operations ----

CZuError BlrCtrl::sendPairList(const char* function, int msgId, const BlrUUID* vm,
                               const std::list<BlrDB::Pair>& pairs) {
  if (vm != nullptr)
    blrCtrlDebug(function, 2, "%s: vm_uuid=%s, pairs=%d", msg2str(msgId), vm->toHex().c_str(),
                 static_cast<int>(pairs.size()));
  else
    blrCtrlDebug(function, 2, "%s: pairs=%d", msg2str(msgId), static_cast<int>(pairs.size()));
  try {
    DwEbmlBuffer block(1024);
    DwEbmlWriter writer(block, 0);
    if (vm != nullptr) writer.writeUUIDTag(BLR_CTRL_TAG_VM_UUID, vm->data());
    int before = writer.getSize();
    writer.openContTag(BLR_CTRL_TAG_PAIR_LIST, BLR_CTRL_MAX_PAIR_LIST_LEN);
    BlrDB::PairList(pairs).serialize(writer);
    writer.closeContTag();
    // Tag (1 byte) and size field (3 bytes up to 2 MiB) precede the list.
    int listLen = writer.getSize() - before - 4;
    if (listLen > BLR_CTRL_MAX_PAIR_LIST_LEN)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "List of %d pairs takes %d bytes; at most %d fit",
                                   static_cast<int>(pairs.size()), listLen,
                                   BLR_CTRL_MAX_PAIR_LIST_LEN);
    return request(msgId, writer.getBuffer(), writer.getSize());
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't encode list of %d pairs: %s",
                                 static_cast<int>(pairs.size()), e.what());
  }
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
  if (krpSocket == nullptr) return notConnected(FXLOC);
  CZuError err = sendPairList("BlrCtrl::applyRepCfg", BLR_CTRL_MSG_APPLYREPCFG, &vm, pairs);
  if (err.IsError()) err.Push(FXLOC, "Couldn't start replication");
  return err;
}

CZuError BlrCtrl::cleanupPairs(const std::list<BlrDB::Pair>& pairs) {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  CZuError err = sendPairList("BlrCtrl::cleanupPairs", BLR_CTRL_MSG_CLEANUP_PAIRS, nullptr, pairs);
  if (err.IsError()) err.Push(FXLOC, "Couldn't order pair cleanup on the head proxy");
  return err;
}

CZuError BlrCtrl::registerBackup(const BlrUUID& vm, uint64_t backupJobId) {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  blrCtrlDebug("BlrCtrl::registerBackup", 2,
               "BLR_CTRL_MSG_REGISTER_BACKUP: vm_uuid=%s, backup_job_id=%jd",
               vm.toHex().c_str(), static_cast<intmax_t>(backupJobId));
  VmRequest req(vm);
  req.writer.writeNumTag(BLR_CTRL_TAG_BACKUP_JOB_ID, static_cast<unsigned long>(backupJobId));
  CZuError err = request(BLR_CTRL_MSG_REGISTER_BACKUP, req.block, req.writer.getSize());
  if (err.IsError()) err.Push(FXLOC, "Couldn't register backup");
  return err;
}

CZuError BlrCtrl::jobDone(uint64_t jobId) {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  blrCtrlDebug("BlrCtrl::jobDone", 2, "BLR_CTRL_MSG_JOB_DONE: job_id=%jd",
               static_cast<intmax_t>(jobId));
  char block[kSmallPayload];
  DwEbmlWriterUnsafe writer(block, 0);
  writer.writeNumTag(BLR_CTRL_TAG_JOB_ID, static_cast<unsigned long>(jobId));
  CZuError err = request(BLR_CTRL_MSG_JOB_DONE, block, writer.getSize());
  if (err.IsError())
    err.Push(FXLOC, "Couldn't report completion of job %jd", static_cast<intmax_t>(jobId));
  return err;
}

CZuError BlrCtrl::testBootCrossing(const BlrUUID& vm, int bootId, int timeout, uint64_t* seqNum,
                                   uint64_t* value2) {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  std::string hex = vm.toHex();
  blrCtrlDebug("BlrCtrl::testBootCrossing", 2,
               "BLR_CTRL_MSG_TESTBOOT_CROSSING_REQ: vm_uuid=%s, boot_id=%d, timeout=%d",
               hex.c_str(), bootId, timeout);
  VmRequest req(vm);
  req.writer.writeNumTag(BLR_CTRL_TAG_BOOT_ID, bootId);
  req.writer.writeNumTag(BLR_CTRL_TAG_TIMEOUT, timeout);
  std::string failure =
      FXFormat("Couldn't notify destination of a test boot of VM %s", hex.c_str());
  DwBuffer reply;
  CZuError err =
      request(BLR_CTRL_MSG_TESTBOOT_CROSSING_REQ, req.block, req.writer.getSize(), reply);
  if (err.IsError()) return err.Push(FXLOC, "%s", failure.c_str());
  uint64_t seq = 0, second = 0;
  ReplyStatus status;
  DwEbmlParser parser = parserOf(reply);
  err = parser.parseMsg(BLR_CTRL_TAG_SEQ_NUM, DW_EBML_VAR_UINT64, &seq,
                        BLR_CTRL_TAG_TESTBOOT_VALUE2, DW_EBML_VAR_UINT64, &second,
                        BLR_CTRL_TAG_ERROR_CODE, DW_EBML_VAR_INT32, &status.code,
                        BLR_CTRL_TAG_ERROR_TEXT, DW_EBML_VAR_STR, &status.text, 0);
  err = status.check(FXLOC, err, BLR_CTRL_MSG_TESTBOOT_CROSSING_RESP, failure);
  if (err.IsError()) return err;
  if (seqNum != nullptr) *seqNum = seq;
  if (value2 != nullptr) *value2 = second;
  return CZuError();
}

CZuError BlrCtrl::testBootCrossed(const BlrUUID& vm, int bootId) {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  std::string hex = vm.toHex();
  blrCtrlDebug("BlrCtrl::testBootCrossed", 2,
               "BLR_CTRL_MSG_TESTBOOT_CROSSED: vm_uuid=%s, boot_id=%d", hex.c_str(), bootId);
  VmRequest req(vm);
  req.writer.writeNumTag(BLR_CTRL_TAG_BOOT_ID, bootId);
  CZuError err = request(BLR_CTRL_MSG_TESTBOOT_CROSSED, req.block, req.writer.getSize());
  if (err.IsError())
    err.Push(FXLOC, "Couldn't notify destination of a completed test boot for VM %s", hex.c_str());
  return err;
}

CZuError BlrCtrl::pairOp(int pairId, int op) {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  blrCtrlDebug("BlrCtrl::pairOp", 2, "BLR_CTRL_MSG_PAIR_OP: pair_id=%d, pair_op=%s", pairId,
               pairOp2str(op));
  char block[kSmallPayload];
  DwEbmlWriterUnsafe writer(block, 0);
  writer.writeNumTag(BLR_CTRL_TAG_PAIR_ID, pairId);
  writer.writeNumTag(BLR_CTRL_TAG_PAIR_OP, op);
  CZuError err = request(BLR_CTRL_MSG_PAIR_OP, block, writer.getSize());
  if (err.IsError()) err.Push(FXLOC, "Couldn't %s pair %d", pairOp2str(op), pairId);
  return err;
}

CZuError BlrCtrl::ping() {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  blrCtrlDebug("BlrCtrl::ping", 2, "BLR_CTRL_MSG_PING");
  CZuError err = request(BLR_CTRL_MSG_PING, nullptr, 0);
  if (err.IsError()) err.Push(FXLOC, "Couldn't send BLR_CTRL_MSG_PING");
  return err;
}

CZuError BlrCtrl::seqNumRequest(const char* function, const char* vmField, int msgId,
                                int resultTag, const BlrUUID& vm, const std::string& failure,
                                uint64_t* seqNum) {
  blrCtrlDebug(function, 2, "%s: %s=%s", msg2str(msgId), vmField, vm.toString().c_str());
  VmRequest req(vm);
  DwBuffer reply;
  CZuError err = request(msgId, req.block, req.writer.getSize(), reply);
  if (err.IsError()) return err.Push(FXLOC, "%s", failure.c_str());
  uint64_t seq = 0;
  ReplyStatus status;
  DwEbmlParser parser = parserOf(reply);
  err = parser.parseMsg(resultTag, DW_EBML_VAR_UINT64, &seq, BLR_CTRL_TAG_ERROR_CODE,
                        DW_EBML_VAR_INT32, &status.code, BLR_CTRL_TAG_ERROR_TEXT,
                        DW_EBML_VAR_STR, &status.text, 0);
  err = status.check(FXLOC, err, blrCtrlMsgRow(msgId)->replyId, failure);
  if (err.IsError()) return err;
  if (seqNum != nullptr) *seqNum = seq;
  return CZuError();
}

CZuError BlrCtrl::insFlushMarker(const BlrUUID& vm, uint64_t* seqNum) {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  return seqNumRequest(
      "BlrCtrl::insFlushMarker", "vm_uuid", BLR_CTRL_MSG_INS_FLUSH_MARKER_REQ,
      BLR_CTRL_TAG_MARKER_SEQ_NUM, vm,
      FXFormat("Couldn't make Head insert a marker into replication stream of VM %s",
             vm.toHex().c_str()),
      seqNum);
}

CZuError BlrCtrl::getLastSeqNum(const BlrUUID& vm, uint64_t* seqNum) {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  return seqNumRequest("BlrCtrl::getLastSeqNum", "vm_dst_uuid", BLR_CTRL_MSG_GET_LAST_SEQNUM_REQ,
                       BLR_CTRL_TAG_SEQ_NUM, vm,
                       FXFormat("Couldn't get last seqnum from tail for VM %s", vm.toHex().c_str()),
                       seqNum);
}

CZuError BlrCtrl::failoverNotice(const char* function, int msgId, const BlrUUID& vm,
                                 const char* stage) {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  std::string hex = vm.toHex();
  blrCtrlDebug(function, 2, "%s: vm_dst_uuid=%s", msg2str(msgId), hex.c_str());
  VmRequest req(vm);
  CZuError err = request(msgId, req.block, req.writer.getSize());
  if (err.IsError())
    err.Push(FXLOC, "Couldn't notify destination of %s failover for VM %s", stage, hex.c_str());
  return err;
}

CZuError BlrCtrl::failoverCrossing(const BlrUUID& vm) {
  return failoverNotice("BlrCtrl::failoverCrossing", BLR_CTRL_MSG_FAILOVER_CROSSING, vm,
                        "an ongoing");
}

CZuError BlrCtrl::failoverCrossed(const BlrUUID& vm) {
  return failoverNotice("BlrCtrl::failoverCrossed", BLR_CTRL_MSG_FAILOVER_CROSSED, vm,
                        "a completed");
}

CZuError BlrCtrl::powerOnOffVM(int pairId, bool tail, bool on, bool* wasOn) {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  const char* onOff = on ? "ON" : "OFF";
  blrCtrlDebug("BlrCtrl::powerOnOffVM", 2, "BLR_CTRL_MSG_POWER_ON_OFF_VM_REQ: pair_id=%d, on=%s",
               pairId, onOff);
  char block[kSmallPayload];
  DwEbmlWriterUnsafe writer(block, 0);
  writer.writeNumTag(BLR_CTRL_TAG_PAIR_ID, pairId);
  writer.writeNumTag(BLR_CTRL_TAG_TAIL, tail ? 1 : 0);
  writer.writeNumTag(BLR_CTRL_TAG_ON, on ? 1 : 0);
  std::string failure =
      FXFormat("Couldn't request to power %s source VM for pair %d", onOff, pairId);
  DwBuffer reply;
  CZuError err = request(BLR_CTRL_MSG_POWER_ON_OFF_VM_REQ, block, writer.getSize(), reply);
  if (err.IsError()) return err.Push(FXLOC, "%s", failure.c_str());
  int32_t previous = 0;
  ReplyStatus status;
  DwEbmlParser parser = parserOf(reply);
  err = parser.parseMsg(BLR_CTRL_TAG_WAS_ON, DW_EBML_VAR_INT32, &previous, BLR_CTRL_TAG_ERROR_CODE,
                        DW_EBML_VAR_INT32, &status.code, BLR_CTRL_TAG_ERROR_TEXT,
                        DW_EBML_VAR_STR, &status.text, 0);
  err = status.check(FXLOC, err, BLR_CTRL_MSG_POWER_ON_OFF_VM_RESP, failure,
                     FXFormat("Couldn't power %s source VM for pair %d", onOff, pairId));
  if (err.IsError()) return err;
  if (wasOn != nullptr) *wasOn = previous != 0;
  return CZuError();
}

CZuError BlrCtrl::createFailoverSnap(int pairId) {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  blrCtrlDebug("BlrCtrl::createFailoverSnap", 2, "BLR_CTRL_MSG_CREATE_FAILOVER_SNAP: pair_id=%d",
               pairId);
  char block[kSmallPayload];
  DwEbmlWriterUnsafe writer(block, 0);
  writer.writeNumTag(BLR_CTRL_TAG_PAIR_ID, pairId);
  CZuError err = request(BLR_CTRL_MSG_CREATE_FAILOVER_SNAP, block, writer.getSize());
  if (err.IsError()) err.Push(FXLOC, "Couldn't create failover snap for pair %d", pairId);
  return err;
}

CZuError BlrCtrl::deleteFailoverSnap(int pairId, bool revert) {
  if (krpSocket == nullptr) return notConnected(FXLOC);
  blrCtrlDebug("BlrCtrl::deleteFailoverSnap", 2,
               "BLR_CTRL_MSG_DELETE_FAILOVER_SNAP: pair_id=%d, revert=%d", pairId, revert ? 1 : 0);
  char block[kSmallPayload];
  DwEbmlWriterUnsafe writer(block, 0);
  writer.writeNumTag(BLR_CTRL_TAG_PAIR_ID, pairId);
  writer.writeNumTag(BLR_CTRL_TAG_REVERT, revert ? 1 : 0);
  CZuError err = request(BLR_CTRL_MSG_DELETE_FAILOVER_SNAP, block, writer.getSize());
  if (err.IsError())
    err.Push(FXLOC, "Couldn't %s failover snap for pair %d", revert ? "revert to" : "delete",
             pairId);
  return err;
}

void blrJobDone(uint64_t jobId) {
  BlrCtrl ctrl;
  CZuError err = ctrl.connect();
  if (!err.IsError()) err = ctrl.jobDone(jobId);
  if (err.IsError())
    blrError("blrJobDone", "Couldn't notify BLR of job completion: %s", err.Summary().c_str());
}

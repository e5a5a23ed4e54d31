// Client of the control channel of the replication service "BlrCtrlSvc" on a
// proxy: one authenticated connection per object, carrying one request and
// its reply at a time.
//
// A message is an 8-byte header (message id, total length including the
// header; both unsigned 32-bit big-endian) followed by a tag-codec payload.
// Every reply carries the peer's error code in tag 1 (0 or absent: success)
// and its text in tag 2.
#ifndef BLR_BLRCTRL_H
#define BLR_BLRCTRL_H

#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include "BLR/BlrDB.h"
#include "BLR/BlrExport.h"
#include "BLR/BlrUUID.h"
#include "host/base/CZuError.h"
#include "host/net/CZuSocket.h"
#include "host/base/DwBuffer.h"

struct KrpSocket;

// Payload tags.  Numbers are 32-bit unless noted.
enum BlrCtrlTag {
  BLR_CTRL_TAG_ERROR_CODE = 1,
  BLR_CTRL_TAG_ERROR_TEXT = 2,       // NUL-terminated text
  BLR_CTRL_TAG_VM_UUID = 13,         // 16 bytes
  BLR_CTRL_TAG_SEQ_NUM = 18,         // unsigned 64-bit
  BLR_CTRL_TAG_MARKER_SEQ_NUM = 50,  // unsigned 64-bit
  BLR_CTRL_TAG_BACKUP_JOB_ID = 74,   // 64-bit
  BLR_CTRL_TAG_JOB_ID = 75,          // 64-bit
  BLR_CTRL_TAG_PAIR_LIST = 83,       // container of an encoded BlrDB::PairList
  BLR_CTRL_TAG_TIMEOUT = 89,
  BLR_CTRL_TAG_PAIR_ID = 92,
  BLR_CTRL_TAG_REVERT = 95,
  BLR_CTRL_TAG_ON = 96,
  BLR_CTRL_TAG_WAS_ON = 97,
  BLR_CTRL_TAG_PAIR_OP = 122,
  BLR_CTRL_TAG_TESTBOOT_VALUE2 = 133,  // unsigned 64-bit, set by the service
  BLR_CTRL_TAG_BOOT_ID = 159,
  BLR_CTRL_TAG_TAIL = 176,  // 0: the Head's VM, 1: the Tail's VM
};

// How a tag's payload is encoded.  32-bit numbers are sign-extended.
enum BlrCtrlTagKind {
  BLR_CTRL_KIND_NUM32,
  BLR_CTRL_KIND_NUM64,
  BLR_CTRL_KIND_UUID,
  BLR_CTRL_KIND_TEXT,
  BLR_CTRL_KIND_PAIR_LIST,
};

struct BlrCtrlTagRow {
  int tag;
  BlrCtrlTagKind kind;
  const char* what;  // in debug lines and "No <what> given"
};

inline constexpr BlrCtrlTagRow kBlrCtrlTagRows[] = {
    {BLR_CTRL_TAG_ERROR_CODE, BLR_CTRL_KIND_NUM32, "error code"},
    {BLR_CTRL_TAG_ERROR_TEXT, BLR_CTRL_KIND_TEXT, "error text"},
    {BLR_CTRL_TAG_VM_UUID, BLR_CTRL_KIND_UUID, "VM"},
    {BLR_CTRL_TAG_SEQ_NUM, BLR_CTRL_KIND_NUM64, "sequence number"},
    {BLR_CTRL_TAG_MARKER_SEQ_NUM, BLR_CTRL_KIND_NUM64, "marker sequence number"},
    {BLR_CTRL_TAG_BACKUP_JOB_ID, BLR_CTRL_KIND_NUM64, "backup job ID"},
    {BLR_CTRL_TAG_JOB_ID, BLR_CTRL_KIND_NUM64, "job ID"},
    {BLR_CTRL_TAG_PAIR_LIST, BLR_CTRL_KIND_PAIR_LIST, "pair list"},
    {BLR_CTRL_TAG_TIMEOUT, BLR_CTRL_KIND_NUM32, "time-out"},
    {BLR_CTRL_TAG_PAIR_ID, BLR_CTRL_KIND_NUM32, "pair ID"},
    {BLR_CTRL_TAG_REVERT, BLR_CTRL_KIND_NUM32, "revert"},
    {BLR_CTRL_TAG_ON, BLR_CTRL_KIND_NUM32, "on"},
    {BLR_CTRL_TAG_WAS_ON, BLR_CTRL_KIND_NUM32, "was on"},
    {BLR_CTRL_TAG_PAIR_OP, BLR_CTRL_KIND_NUM32, "pair operation"},
    {BLR_CTRL_TAG_TESTBOOT_VALUE2, BLR_CTRL_KIND_NUM64, "test boot expiry"},
    {BLR_CTRL_TAG_BOOT_ID, BLR_CTRL_KIND_NUM32, "boot ID"},
    {BLR_CTRL_TAG_TAIL, BLR_CTRL_KIND_NUM32, "tail"},
};

// The row of a tag, or null.
constexpr const BlrCtrlTagRow* blrCtrlTagRow(int tag) {
  for (const BlrCtrlTagRow& row : kBlrCtrlTagRows)
    if (row.tag == tag) return &row;
  return nullptr;
}

// Whether `tag` has a row.  (Compile-time checks ask this rather than
// compare an address with null, which sanitizer builds can't evaluate.)
constexpr bool blrCtrlHasTagRow(int tag) {
  for (const BlrCtrlTagRow& row : kBlrCtrlTagRows)
    if (row.tag == tag) return true;
  return false;
}

// What a request must carry for the service to act on it.
enum BlrCtrlNeeds { BLR_CTRL_NEEDS_NOTHING, BLR_CTRL_NEEDS_VM, BLR_CTRL_NEEDS_PAIR };

// Up to four tags, in the order they are sent; 0 ends the list.
struct BlrCtrlTags {
  int tags[4];

  constexpr bool has(int tag) const {
    for (int t : tags)
      if (t != 0 && t == tag) return true;
    return false;
  }
  constexpr bool empty() const { return tags[0] == 0; }
};

// One row per message, in id order.  A request names the message that
// answers it (BLR_CTRL_MSG_RESP: a plain status reply; 0 on the answers
// themselves), the tags it must carry (a zero number or an all-zero VM counts
// as missing) and may carry, the result tags of its reply, and whether it
// may be sent again after its answer was lost without changing the outcome.
// `needs` follows from the required tags.
struct BlrCtrlMsgRow {
  int id;
  const char* name;
  int replyId;
  BlrCtrlNeeds needs;
  BlrCtrlTags required;
  BlrCtrlTags optional;
  BlrCtrlTags results;
  bool replayable;
};

enum BlrCtrlReplay { BLR_CTRL_ONCE, BLR_CTRL_REPLAYABLE };

constexpr BlrCtrlMsgRow blrCtrlRequest(int id, const char* name, int replyId,
                                       BlrCtrlTags required, BlrCtrlTags optional,
                                       BlrCtrlTags results, BlrCtrlReplay replay) {
  BlrCtrlNeeds needs = required.has(BLR_CTRL_TAG_VM_UUID)   ? BLR_CTRL_NEEDS_VM
                       : required.has(BLR_CTRL_TAG_PAIR_ID) ? BLR_CTRL_NEEDS_PAIR
                                                            : BLR_CTRL_NEEDS_NOTHING;
  return {id, name, replyId, needs, required, optional, results, replay == BLR_CTRL_REPLAYABLE};
}

constexpr BlrCtrlMsgRow blrCtrlReply(int id, const char* name) {
  return {id, name, 0, BLR_CTRL_NEEDS_NOTHING, {}, {}, {}, false};
}

// Message identifiers, each with its row just below.
enum BlrCtrlMsg {
  BLR_CTRL_MSG_RESP = 1,
  BLR_CTRL_MSG_APPLYREPCFG = 2,
  BLR_CTRL_MSG_JOB_DONE = 3,
  BLR_CTRL_MSG_TESTBOOT_CROSSING_REQ = 4,
  BLR_CTRL_MSG_TESTBOOT_CROSSED = 5,
  BLR_CTRL_MSG_REGISTER_BACKUP = 6,
  BLR_CTRL_MSG_TESTBOOT_CROSSING_RESP = 7,
  BLR_CTRL_MSG_PAIR_OP = 8,
  BLR_CTRL_MSG_CLEANUP_PAIRS = 9,
  BLR_CTRL_MSG_PING = 10,
  BLR_CTRL_MSG_INS_FLUSH_MARKER_REQ = 11,
  BLR_CTRL_MSG_INS_FLUSH_MARKER_RESP = 12,
  BLR_CTRL_MSG_GET_LAST_SEQNUM_REQ = 13,
  BLR_CTRL_MSG_GET_LAST_SEQNUM_RESP = 14,
  BLR_CTRL_MSG_FAILOVER_CROSSING = 15,
  BLR_CTRL_MSG_FAILOVER_CROSSED = 16,
  BLR_CTRL_MSG_POWER_ON_OFF_VM_REQ = 17,
  BLR_CTRL_MSG_POWER_ON_OFF_VM_RESP = 18,
  BLR_CTRL_MSG_CREATE_FAILOVER_SNAP = 19,
  BLR_CTRL_MSG_DELETE_FAILOVER_SNAP = 20,
};

inline constexpr BlrCtrlMsgRow kBlrCtrlMsgRows[] = {
    blrCtrlReply(BLR_CTRL_MSG_RESP, "BLR_CTRL_MSG_RESP"),
    blrCtrlRequest(BLR_CTRL_MSG_APPLYREPCFG, "BLR_CTRL_MSG_APPLYREPCFG", BLR_CTRL_MSG_RESP,
                   {{BLR_CTRL_TAG_VM_UUID, BLR_CTRL_TAG_PAIR_LIST}}, {}, {},
                   BLR_CTRL_REPLAYABLE),
    blrCtrlRequest(BLR_CTRL_MSG_JOB_DONE, "BLR_CTRL_MSG_JOB_DONE", BLR_CTRL_MSG_RESP,
                   {{BLR_CTRL_TAG_JOB_ID}}, {}, {}, BLR_CTRL_ONCE),
    blrCtrlRequest(BLR_CTRL_MSG_TESTBOOT_CROSSING_REQ, "BLR_CTRL_MSG_TESTBOOT_CROSSING_REQ",
                   BLR_CTRL_MSG_TESTBOOT_CROSSING_RESP,
                   {{BLR_CTRL_TAG_VM_UUID, BLR_CTRL_TAG_BOOT_ID}}, {{BLR_CTRL_TAG_TIMEOUT}},
                   {{BLR_CTRL_TAG_SEQ_NUM, BLR_CTRL_TAG_TESTBOOT_VALUE2}}, BLR_CTRL_ONCE),
    blrCtrlRequest(BLR_CTRL_MSG_TESTBOOT_CROSSED, "BLR_CTRL_MSG_TESTBOOT_CROSSED",
                   BLR_CTRL_MSG_RESP, {{BLR_CTRL_TAG_VM_UUID, BLR_CTRL_TAG_BOOT_ID}}, {}, {},
                   BLR_CTRL_ONCE),
    blrCtrlRequest(BLR_CTRL_MSG_REGISTER_BACKUP, "BLR_CTRL_MSG_REGISTER_BACKUP",
                   BLR_CTRL_MSG_RESP, {{BLR_CTRL_TAG_VM_UUID, BLR_CTRL_TAG_BACKUP_JOB_ID}}, {},
                   {}, BLR_CTRL_REPLAYABLE),
    blrCtrlReply(BLR_CTRL_MSG_TESTBOOT_CROSSING_RESP, "BLR_CTRL_MSG_TESTBOOT_CROSSING_RESP"),
    blrCtrlRequest(BLR_CTRL_MSG_PAIR_OP, "BLR_CTRL_MSG_PAIR_OP", BLR_CTRL_MSG_RESP,
                   {{BLR_CTRL_TAG_PAIR_ID, BLR_CTRL_TAG_PAIR_OP}}, {}, {}, BLR_CTRL_ONCE),
    blrCtrlRequest(BLR_CTRL_MSG_CLEANUP_PAIRS, "BLR_CTRL_MSG_CLEANUP_PAIRS", BLR_CTRL_MSG_RESP,
                   {{BLR_CTRL_TAG_PAIR_LIST}}, {}, {}, BLR_CTRL_REPLAYABLE),
    blrCtrlRequest(BLR_CTRL_MSG_PING, "BLR_CTRL_MSG_PING", BLR_CTRL_MSG_RESP, {}, {}, {},
                   BLR_CTRL_REPLAYABLE),
    blrCtrlRequest(BLR_CTRL_MSG_INS_FLUSH_MARKER_REQ, "BLR_CTRL_MSG_INS_FLUSH_MARKER_REQ",
                   BLR_CTRL_MSG_INS_FLUSH_MARKER_RESP, {{BLR_CTRL_TAG_VM_UUID}}, {},
                   {{BLR_CTRL_TAG_MARKER_SEQ_NUM}}, BLR_CTRL_ONCE),
    blrCtrlReply(BLR_CTRL_MSG_INS_FLUSH_MARKER_RESP, "BLR_CTRL_MSG_INS_FLUSH_MARKER_RESP"),
    blrCtrlRequest(BLR_CTRL_MSG_GET_LAST_SEQNUM_REQ, "BLR_CTRL_MSG_GET_LAST_SEQNUM_REQ",
                   BLR_CTRL_MSG_GET_LAST_SEQNUM_RESP, {{BLR_CTRL_TAG_VM_UUID}}, {},
                   {{BLR_CTRL_TAG_SEQ_NUM}}, BLR_CTRL_REPLAYABLE),
    blrCtrlReply(BLR_CTRL_MSG_GET_LAST_SEQNUM_RESP, "BLR_CTRL_MSG_GET_LAST_SEQNUM_RESP"),
    blrCtrlRequest(BLR_CTRL_MSG_FAILOVER_CROSSING, "BLR_CTRL_MSG_FAILOVER_CROSSING",
                   BLR_CTRL_MSG_RESP, {{BLR_CTRL_TAG_VM_UUID}}, {}, {}, BLR_CTRL_REPLAYABLE),
    blrCtrlRequest(BLR_CTRL_MSG_FAILOVER_CROSSED, "BLR_CTRL_MSG_FAILOVER_CROSSED",
                   BLR_CTRL_MSG_RESP, {{BLR_CTRL_TAG_VM_UUID}}, {}, {}, BLR_CTRL_REPLAYABLE),
    blrCtrlRequest(BLR_CTRL_MSG_POWER_ON_OFF_VM_REQ, "BLR_CTRL_MSG_POWER_ON_OFF_VM_REQ",
                   BLR_CTRL_MSG_POWER_ON_OFF_VM_RESP, {{BLR_CTRL_TAG_PAIR_ID}},
                   {{BLR_CTRL_TAG_TAIL, BLR_CTRL_TAG_ON}}, {{BLR_CTRL_TAG_WAS_ON}},
                   BLR_CTRL_ONCE),
    blrCtrlReply(BLR_CTRL_MSG_POWER_ON_OFF_VM_RESP, "BLR_CTRL_MSG_POWER_ON_OFF_VM_RESP"),
    blrCtrlRequest(BLR_CTRL_MSG_CREATE_FAILOVER_SNAP, "BLR_CTRL_MSG_CREATE_FAILOVER_SNAP",
                   BLR_CTRL_MSG_RESP, {{BLR_CTRL_TAG_PAIR_ID}}, {}, {}, BLR_CTRL_ONCE),
    blrCtrlRequest(BLR_CTRL_MSG_DELETE_FAILOVER_SNAP, "BLR_CTRL_MSG_DELETE_FAILOVER_SNAP",
                   BLR_CTRL_MSG_RESP, {{BLR_CTRL_TAG_PAIR_ID}}, {{BLR_CTRL_TAG_REVERT}}, {},
                   BLR_CTRL_ONCE),
};

// The row of a message id, or null.
inline const BlrCtrlMsgRow* blrCtrlMsgRow(int msgId) {
  constexpr int kCount = sizeof kBlrCtrlMsgRows / sizeof kBlrCtrlMsgRows[0];
  return msgId >= 1 && msgId <= kCount ? &kBlrCtrlMsgRows[msgId - 1] : nullptr;
}

// Operations carried by BLR_CTRL_MSG_PAIR_OP.
enum BlrCtrlPairOp {
  BLR_CTRL_PAIROP_SMART_RESYNC = 1,
  BLR_CTRL_PAIROP_FULL_RESYNC = 2,
  BLR_CTRL_PAIROP_PAUSE = 3,
  BLR_CTRL_PAIROP_RESUME = 4,
  BLR_CTRL_PAIROP_STOP = 5,
  BLR_CTRL_PAIROP_START = 6,
  BLR_CTRL_PAIROP_CLEANUP = 7,
};

struct BlrCtrlPairOpRow {
  int op;
  const char* name;
};

// In operation order.
inline constexpr BlrCtrlPairOpRow kBlrCtrlPairOpRows[] = {
    {BLR_CTRL_PAIROP_SMART_RESYNC, "BLR_CTRL_PAIROP_SMART_RESYNC"},
    {BLR_CTRL_PAIROP_FULL_RESYNC, "BLR_CTRL_PAIROP_FULL_RESYNC"},
    {BLR_CTRL_PAIROP_PAUSE, "BLR_CTRL_PAIROP_PAUSE"},
    {BLR_CTRL_PAIROP_RESUME, "BLR_CTRL_PAIROP_RESUME"},
    {BLR_CTRL_PAIROP_STOP, "BLR_CTRL_PAIROP_STOP"},
    {BLR_CTRL_PAIROP_START, "BLR_CTRL_PAIROP_START"},
    {BLR_CTRL_PAIROP_CLEANUP, "BLR_CTRL_PAIROP_CLEANUP"},
};

// Rows are found by position, so each must sit at its id; every tag a row
// lists has a tag row.
constexpr bool blrCtrlRowsInIdOrder() {
  int i = 1;
  for (const BlrCtrlMsgRow& row : kBlrCtrlMsgRows) {
    if (row.id != i++) return false;
    for (const BlrCtrlTags* list : {&row.required, &row.optional, &row.results})
      for (int tag : list->tags)
        if (tag != 0 && !blrCtrlHasTagRow(tag)) return false;
  }
  i = 1;
  for (const BlrCtrlPairOpRow& row : kBlrCtrlPairOpRows)
    if (row.op != i++) return false;
  return true;
}
static_assert(blrCtrlRowsInIdOrder(), "control message rows must follow their ids");

// The tag values of one message, as sent or received.  Numbers are kept as
// they are encoded (32-bit ones sign-extended); absent tags read as 0.  The
// VM is the one UUID tag, the pair list the one list tag.
class BLR_API BlrCtrlValues {
 public:
  BlrCtrlValues& set(int tag, uint64_t value);
  BlrCtrlValues& setInt(int tag, int32_t value) {
    return set(tag, static_cast<uint64_t>(int64_t{value}));
  }
  BlrCtrlValues& setVm(const BlrUUID& vm);
  BlrCtrlValues& setPairs(const std::list<BlrDB::Pair>& pairs);
  BlrCtrlValues& setText(int tag, const std::string& text);
  void erase(int tag);

  bool has(int tag) const;
  // Present and not zero (an all-zero VM counts as missing).
  bool given(int tag) const;
  uint64_t num(int tag) const;
  int32_t int32(int tag) const { return static_cast<int32_t>(num(tag)); }
  const BlrUUID& vm() const { return vm_; }
  const std::list<BlrDB::Pair>& pairs() const { return pairs_; }
  std::string text(int tag) const;

  // A request of `row`: its required and optional tags that are present, in
  // the row's order.
  CZuError encodeRequest(const BlrCtrlMsgRow& row, std::vector<char>* out) const;
  // A request of `row` (its required and optional tags), or the reply to it
  // (its result tags, the error code and text).  Other tags are skipped; a
  // header, or a listed payload, that can't be read fails.
  static CZuError decodeRequest(const BlrCtrlMsgRow& row, const void* data, int len,
                                BlrCtrlValues* out);
  static CZuError decodeReply(const BlrCtrlMsgRow& row, const void* data, int len,
                              BlrCtrlValues* out);
  // The first required tag of `row` missing here, or 0.
  int missing(const BlrCtrlMsgRow& row) const;
  // "<what>=<value>" for each present tag, for debug lines and tests.
  std::string describe() const;

 private:
  std::map<int, uint64_t> nums_;
  std::map<int, std::string> texts_;
  BlrUUID vm_;
  bool hasVm_ = false;
  std::list<BlrDB::Pair> pairs_;
  bool hasPairs_ = false;
};

// Largest total length of a message, header included; a longer header is
// refused before anything is allocated for it.
constexpr int BLR_CTRL_MAX_MSG_LEN = 16 * 1024 * 1024;
// Largest encoded pair list a request may carry.
constexpr int BLR_CTRL_MAX_PAIR_LIST_LEN = 1024 * 1024;

class BLR_API BlrCtrl {
 public:
  BlrCtrl();
  ~BlrCtrl();
  BlrCtrl(const BlrCtrl&) = delete;
  BlrCtrl& operator=(const BlrCtrl&) = delete;

  // Connects to "BlrCtrlSvc" on the proxy named by the mangled host name
  // `host` and authenticates it: the peer must present a per-client
  // certificate unless [BLR] nAllowBuiltinCerts is set.  An earlier
  // connection is closed once the ports are known; when the lookup fails the
  // object is left as it was.  A connection the proxy closes before the
  // handshake (it sheds handshakes beyond its limit) is tried again, up to
  // five times within 1.5 s.
  CZuError connect(const std::string& host);
  // Connects to the service on the local machine.
  CZuError connect();
  // Connects to the proxy of a client, looked up in the central server's
  // client directory.
  CZuError connectToClient(int clientId);

  // Operations: one request and its reply each.  Output pointers may be null;
  // result values missing from a reply read as 0.  A peer's refusal carries
  // the peer's code.
  CZuError applyRepCfg(const BlrUUID& vm);  // the VM's pairs as the pair database has them
  CZuError applyRepCfg(const BlrUUID& vm, const std::list<BlrDB::Pair>& pairs);
  CZuError registerBackup(const BlrUUID& vm, uint64_t backupJobId);
  CZuError cleanupPairs(const std::list<BlrDB::Pair>& pairs);
  CZuError jobDone(uint64_t jobId);
  CZuError testBootCrossing(const BlrUUID& vm, int bootId, int timeout, uint64_t* seqNum,
                            uint64_t* value2);
  CZuError testBootCrossed(const BlrUUID& vm, int bootId);
  CZuError pairOp(int pairId, int op);
  CZuError startPair(int pairId) { return pairOp(pairId, BLR_CTRL_PAIROP_START).Push(FXLOC); }
  CZuError stopPair(int pairId) { return pairOp(pairId, BLR_CTRL_PAIROP_STOP).Push(FXLOC); }
  CZuError pausePair(int pairId) { return pairOp(pairId, BLR_CTRL_PAIROP_PAUSE).Push(FXLOC); }
  CZuError cleanupPair(int pairId) { return pairOp(pairId, BLR_CTRL_PAIROP_CLEANUP).Push(FXLOC); }
  CZuError ping();
  CZuError insFlushMarker(const BlrUUID& vm, uint64_t* seqNum);
  CZuError getLastSeqNum(const BlrUUID& vm, uint64_t* seqNum);
  CZuError failoverCrossing(const BlrUUID& vm);
  CZuError failoverCrossed(const BlrUUID& vm);
  CZuError powerOnOffVM(int pairId, bool tail, bool on, bool* wasOn);
  CZuError powerOnOffHeadVM(int pairId, bool on, bool* wasOn) {
    return powerOnOffVM(pairId, false, on, wasOn);
  }
  CZuError powerOnOffTailVM(int pairId, bool on, bool* wasOn) {
    return powerOnOffVM(pairId, true, on, wasOn);
  }
  CZuError createFailoverSnap(int pairId);
  CZuError deleteFailoverSnap(int pairId, bool revert);

  // Any request by its row; the operations above are built on it.  A request
  // missing a required tag is refused before it is sent.  The reply must be
  // the row's; its results land in `results` (may be null), a refusal comes
  // back with the peer's code and text.  A replayable request whose answer
  // was lost with the connection is sent once more on a new connection.
  // Failures are pushed under `failure`.
  CZuError call(int msgId, const BlrCtrlValues& request, BlrCtrlValues* results,
                const std::string& failure);

  // Framing.  `msg2str` and `pairOp2str` name an id ("UNKNOWN" for others).
  static const char* msg2str(int msgId);
  static const char* pairOp2str(int op);
  // Sends the header and `len` payload bytes in one call.
  static CZuError sendMsg(KrpSocket* s, int msgId, const void* payload, int len);
  // Receives one message; `msgId` may be null, `expectedId` 0 accepts any.
  // `buf` is sized to the payload; its memory is kept for later, larger
  // messages.
  static CZuError recvMsg(KrpSocket* s, int* msgId, DwBuffer& buf, int expectedId);
  // Receives a BLR_CTRL_MSG_RESP and returns the peer's error, if any.
  static CZuError recvResp(KrpSocket* s);
  // The peer's error a received BLR_CTRL_MSG_RESP payload carries, if any.
  static CZuError respStatus(const DwBuffer& payload);
  // Whether something waits to be read on the connection, never waiting.
  // Data the TLS layer already holds counts; a failed poll counts too, so
  // that the following receive reports it.  False when not connected.
  bool msgPending();
  // Whether the connection may carry another request: it is open and its
  // last request was answered in full (a refusal counts), so that nothing of
  // an earlier exchange is left in it.
  bool reusable() const;
  // Whether the peer closed the connection (or sent what nobody asked for)
  // after its last request was answered: no request can go on it, and none
  // sent on it was lost, so another connection may carry the next.
  bool stale();
  // When the connection was authenticated (DwClock seconds; 0: never).
  time_t connectedAt() const { return connectedAt_; }

  // Connection state.
  std::string clientName;  // the name the proxy must authenticate as
  std::string hostName;    // its network host name
  int port;                // "BlrCtrlSvc"'s two ports, as the lookup gave them
  int port2;
  KrpSocket* krpSocket;  // owned; null when not connected
  CZuSocket socket;      // the TCP connection under krpSocket

 private:
  CZuError connectTo(const std::string& host);
  CZuError openControl(const std::string& host);
  void disconnect();
  CZuError exchange(int msgId, const void* payload, int len, int replyId, DwBuffer& reply);
  CZuError callOnce(const BlrCtrlMsgRow& row, const std::vector<char>& payload,
                    BlrCtrlValues* results, const std::string& failure);

  std::string host_;     // the mangled host name connected to; replays reconnect there
  bool inStep_;          // no exchange left half done
  time_t connectedAt_;
};

// Control connections kept between the workflows of one thread, so that the
// pairs a plan's worker runs one after the other on the same proxies don't
// each pay a handshake on both sides.  A connection is kept only when it is
// reusable(); it is handed out again only while the peer has not closed it,
// within `maxIdleSecs` of being kept and `maxAgeSecs` of its handshake (so a
// revoked certificate is met at a new handshake within that time).  At most
// `maxKept` are kept; the one kept longest ago goes first.  Not thread-safe:
// one per thread.
class BLR_API BlrCtrlCache {
 public:
  struct Limits {
    int maxKept = 8;
    int maxIdleSecs = 10;
    int maxAgeSecs = 60;
  };

  BlrCtrlCache() : BlrCtrlCache(Limits()) {}
  explicit BlrCtrlCache(const Limits& limits);
  ~BlrCtrlCache();
  BlrCtrlCache(const BlrCtrlCache&) = delete;
  BlrCtrlCache& operator=(const BlrCtrlCache&) = delete;

  // A kept connection to `host` (a mangled host name), or null.  Kept
  // connections found closed or too old on the way are closed.
  std::unique_ptr<BlrCtrl> take(const std::string& host);
  // Keeps `conn` for `host` when it is reusable, else closes it.
  void keep(const std::string& host, std::unique_ptr<BlrCtrl> conn);
  size_t size() const { return kept_.size(); }

 private:
  struct Kept {
    std::string host;
    std::unique_ptr<BlrCtrl> conn;
    time_t keptAt;
  };
  bool fresh(Kept& kept, time_t now) const;

  Limits limits_;
  std::list<Kept> kept_;  // oldest first
};

extern "C" {
// Tells the local replication service that job `jobId` finished; failures
// are logged.
BLR_API void blrJobDone(uint64_t jobId);
}

#endif  // BLR_BLRCTRL_H

// Wire format of the request link.
//
// A frame is an 8-byte header followed by the payload:
//   bytes 0-3  magic "DLK" and the format version 1 (44 4C 4B 01)
//   bytes 4-7  payload length, unsigned 32-bit big-endian
// The payload is a sequence of tag-codec elements (tag id, size, payload; ids
// and sizes in the codec's variable-length form), each payload being the
// exact bytes of a text without a terminator:
//   tag 1  link name (requests)
//   tag 4  link failure text (responses the server could not deliver)
//   tag 2  map key, always followed by
//   tag 3  its value
//   tag 5  "1": more frames of this answer follow (below)
//   tag 6  "1": the requester takes an answer in several frames
// Unknown tags are skipped.
//
// An answer too large for one frame, or produced piece by piece, travels as a
// sequence of frames to a requester that said it takes them (tag 6): every
// frame but the last carries tag 5, and the value of a key is the
// concatenation of its values in all the frames, in order.  A frame holds whole
// pieces as the service produced them.  Payloads above kDwLinkMaxFrameBytes are refused by
// both sides without being read or allocated.
#ifndef HOST_DWLINKFRAME_H
#define HOST_DWLINKFRAME_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "host/base/CZuError.h"

struct KrpSocket;

constexpr uint32_t kDwLinkMaxFrameBytes = 64u << 20;
constexpr size_t kDwLinkHeaderBytes = 8;

struct DwLinkMessage {
  std::string name;     // link name of a request
  std::string failure;  // non-empty when the server could not deliver the request
  bool more = false;           // an answer frame with more to follow
  bool acceptsPieces = false;  // a request whose answer may come in several frames
  std::map<std::string, std::string> entries;
};

// The whole frame, header included.  Fails when the payload would exceed
// `maxBytes`, before building it.
CZuError dwLinkEncode(const DwLinkMessage& msg, uint32_t maxBytes, std::string* frame);
CZuError dwLinkDecode(const char* payload, size_t size, DwLinkMessage* out);

// The payload length of a header; fails on a bad magic or a length above `maxBytes`.
CZuError dwLinkParseHeader(const unsigned char* header, uint32_t maxBytes, uint32_t* payloadLen);

CZuError dwLinkSendFrame(KrpSocket* s, const std::string& frame, int timeoutMs);

// Told a frame's payload length, and the milliseconds left of its time, before
// anything of the payload is allocated or read; an error refuses the frame.
using DwLinkAdmit = std::function<CZuError(uint32_t payloadLen, int leftMs)>;

// Receives one frame's payload.  The whole frame must arrive within `timeoutMs`
// however its bytes trickle (ETIMEDOUT otherwise).  `started` tells whether any
// byte of it arrived (false means the connection failed before the peer
// answered anything).
CZuError dwLinkRecvFrame(KrpSocket* s, uint32_t maxBytes, int timeoutMs, std::string* payload,
                         bool* started, const DwLinkAdmit& admit = nullptr);

#endif  // HOST_DWLINKFRAME_H

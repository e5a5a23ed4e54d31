#include "host/link/DwLinkFrame.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "host/base/DwBytes.h"
#include "host/tls/KrpSocket.h"

namespace {

const unsigned char kMagic[4] = {0x44, 0x4C, 0x4B, 0x01};
enum { kTagName = 1, kTagKey = 2, kTagValue = 3, kTagFailure = 4, kTagMore = 5, kTagPieces = 6 };
const std::string kFlagOn = "1";
constexpr size_t kRecvChunk = 1u << 20;

size_t elementBytes(const std::string& text) {
  return 1 + dw_bytes::varIntWidth(static_cast<uint32_t>(text.size())) + text.size();
}

// One element whose payload is the text's bytes, terminator-free.
char* putElement(char* p, int tag, const std::string& text) {
  p = dw_bytes::putVarInt(p, static_cast<uint32_t>(tag));
  p = dw_bytes::putVarInt(p, static_cast<uint32_t>(text.size()));
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

// An element's tag and payload size, the payload lying within the data.
CZuError readElementHeader(const uint8_t** cursor, const uint8_t* end, uint32_t* tag,
                           uint32_t* len) {
  dw_bytes::VarIntRead r = dw_bytes::readVarInt(cursor, end, tag);
  if (r == dw_bytes::VarIntRead::kOk) r = dw_bytes::readVarInt(cursor, end, len);
  if (r == dw_bytes::VarIntRead::kOk && *len > static_cast<size_t>(end - *cursor))
    r = dw_bytes::VarIntRead::kEnd;
  if (r == dw_bytes::VarIntRead::kNoMarker)
    return FXErrorUtil::ErrorInt(FXLOC, 101, "Corrupt encoded data: invalid length marker");
  if (r == dw_bytes::VarIntRead::kEnd)
    return FXErrorUtil::ErrorInt(FXLOC, 100, "Encoded data ends inside an element");
  return CZuError();
}

}  // namespace

CZuError dwLinkEncode(const DwLinkMessage& msg, uint32_t maxBytes, std::string* frame) {
  size_t size = 0;
  if (!msg.name.empty()) size += elementBytes(msg.name);
  if (!msg.failure.empty()) size += elementBytes(msg.failure);
  if (msg.more) size += elementBytes(kFlagOn);
  if (msg.acceptsPieces) size += elementBytes(kFlagOn);
  for (const auto& kv : msg.entries) size += elementBytes(kv.first) + elementBytes(kv.second);
  if (size > maxBytes)
    return FXErrorUtil::ErrorInt(
        FXLOC, 1, "Couldn't encode link message: %zu bytes exceed the limit of %u", size, maxBytes);
  std::string out(kDwLinkHeaderBytes, '\0');
  std::memcpy(&out[0], kMagic, sizeof kMagic);
  dw_bytes::putBE32(&out[4], static_cast<uint32_t>(size));
  out.resize(kDwLinkHeaderBytes + size);
  char* p = &out[kDwLinkHeaderBytes];
  if (!msg.name.empty()) p = putElement(p, kTagName, msg.name);
  if (!msg.failure.empty()) p = putElement(p, kTagFailure, msg.failure);
  if (msg.more) p = putElement(p, kTagMore, kFlagOn);
  if (msg.acceptsPieces) p = putElement(p, kTagPieces, kFlagOn);
  for (const auto& kv : msg.entries) {
    p = putElement(p, kTagKey, kv.first);
    p = putElement(p, kTagValue, kv.second);
  }
  frame->swap(out);
  return CZuError();
}

CZuError dwLinkDecode(const char* payload, size_t size, DwLinkMessage* out) {
  const uint8_t* cursor = reinterpret_cast<const uint8_t*>(payload);
  const uint8_t* end = cursor + size;
  DwLinkMessage msg;
  bool keyPending = false;
  std::string key;
  while (cursor < end) {
    uint32_t tag = 0, len = 0;
    CZuError err = readElementHeader(&cursor, end, &tag, &len);
    if (err.IsError()) return err.Push(FXLOC, "Corrupt link message");
    std::string text(reinterpret_cast<const char*>(cursor), len);
    cursor += len;
    if ((tag == kTagValue) != keyPending)
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Corrupt link message: %s",
                                   keyPending ? "key without value" : "value without key");
    if (tag == kTagName) {
      msg.name.swap(text);
    } else if (tag == kTagFailure) {
      msg.failure.swap(text);
    } else if (tag == kTagMore) {
      msg.more = text == kFlagOn;
    } else if (tag == kTagPieces) {
      msg.acceptsPieces = text == kFlagOn;
    } else if (tag == kTagKey) {
      key.swap(text);
      keyPending = true;
    } else if (tag == kTagValue) {
      if (!msg.entries.emplace(key, std::move(text)).second)
        return FXErrorUtil::ErrorInt(FXLOC, 1, "Corrupt link message: key \"%s\" repeated",
                                     key.c_str());
      keyPending = false;
    }
  }
  if (keyPending) return FXErrorUtil::ErrorInt(FXLOC, 1, "Corrupt link message: key without value");
  *out = std::move(msg);
  return CZuError();
}

CZuError dwLinkParseHeader(const unsigned char* header, uint32_t maxBytes, uint32_t* payloadLen) {
  if (!std::equal(kMagic, kMagic + sizeof kMagic, header))
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Not a link frame (bad magic %02x %02x %02x %02x)",
                                 header[0], header[1], header[2], header[3]);
  uint32_t len = dw_bytes::getBE32(header + 4);
  if (len > maxBytes)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Link frame of %u bytes exceeds the limit of %u bytes",
                                 len, maxBytes);
  *payloadLen = len;
  return CZuError();
}

CZuError dwLinkSendFrame(KrpSocket* s, const std::string& frame, int timeoutMs) {
  CZuError err;
  krpSendMs(s, frame.data(), static_cast<int>(frame.size()), timeoutMs, &err);
  if (err.IsError()) return err.Push(FXLOC, "Couldn't send link frame of %zu bytes", frame.size());
  return err;
}

CZuError dwLinkRecvFrame(KrpSocket* s, uint32_t maxBytes, int timeoutMs, std::string* payload,
                         bool* started, const DwLinkAdmit& admit) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // What is left of the frame's time: a trickling peer gets no fresh time-out per byte.
  auto left = [&] {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(ms.count(), 0));
  };
  auto late = [&](CZuError err, const char* what) {
    if (FXErrorUtil::GetInt(err) == ETIMEDOUT)
      return FXErrorUtil::ErrorInt(FXLOC, ETIMEDOUT,
                                   "Couldn't receive link frame %s: not complete within %d ms",
                                   what, timeoutMs);
    return err.Push(FXLOC, "Couldn't receive link frame %s", what);
  };
  unsigned char header[kDwLinkHeaderBytes];
  CZuError err;
  int got = krpRecvMs(s, header, sizeof header, left(), &err);
  *started = got > 0;
  if (err.IsError()) return late(err, "header");
  uint32_t len = 0;
  err = dwLinkParseHeader(header, maxBytes, &len);
  if (!err.IsError() && admit) err = admit(len, left());
  if (err.IsError()) return err;
  std::string body;
  body.resize(len);  // admitted: the whole payload may be held now
  for (size_t offset = 0; offset < len;) {
    size_t chunk = std::min<size_t>(kRecvChunk, len - offset);
    krpRecvMs(s, &body[offset], static_cast<int>(chunk), left(), &err);
    if (err.IsError()) return late(err, "payload");
    offset += chunk;
  }
  payload->swap(body);
  return CZuError();
}

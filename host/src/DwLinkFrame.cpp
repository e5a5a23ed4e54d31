#include "host/DwLinkFrame.h"

#include <algorithm>

#include "host/KrpSocket.h"

namespace {

const unsigned char kMagic[4] = {0x44, 0x4C, 0x4B, 0x01};
enum : uint32_t { kTagName = 1, kTagKey = 2, kTagValue = 3, kTagFailure = 4 };
constexpr size_t kRecvChunk = 1u << 20;

// Variable-length integer of the tag codec, shortest form (value < 2^28).
void putVarInt(uint32_t v, std::string* out) {
  if (v < 0x80) {
    out->push_back(static_cast<char>(0x80 | v));
  } else if (v < 0x4000) {
    out->push_back(static_cast<char>(0x40 | (v >> 8)));
    out->push_back(static_cast<char>(v & 0xFF));
  } else if (v < 0x200000) {
    out->push_back(static_cast<char>(0x20 | (v >> 16)));
    out->push_back(static_cast<char>((v >> 8) & 0xFF));
    out->push_back(static_cast<char>(v & 0xFF));
  } else {
    out->push_back(static_cast<char>(0x10 | (v >> 24)));
    out->push_back(static_cast<char>((v >> 16) & 0xFF));
    out->push_back(static_cast<char>((v >> 8) & 0xFF));
    out->push_back(static_cast<char>(v & 0xFF));
  }
}

size_t varIntBytes(size_t v) { return v < 0x80 ? 1 : v < 0x4000 ? 2 : v < 0x200000 ? 3 : 4; }

size_t elementBytes(const std::string& text) { return 1 + varIntBytes(text.size()) + text.size(); }

void putElement(uint32_t tag, const std::string& text, std::string* out) {
  putVarInt(tag, out);
  putVarInt(static_cast<uint32_t>(text.size()), out);
  out->append(text);
}

bool getVarInt(const unsigned char** p, const unsigned char* end, uint32_t* v) {
  if (*p >= end) return false;
  unsigned char first = **p;
  int extra = first & 0x80 ? 0 : first & 0x40 ? 1 : first & 0x20 ? 2 : first & 0x10 ? 3 : -1;
  if (extra < 0 || end - *p < extra + 1) return false;
  uint32_t value = first & (0xFF >> (extra + 1));
  for (int i = 1; i <= extra; ++i) value = (value << 8) | (*p)[i];
  *p += extra + 1;
  *v = value;
  return true;
}

void putBigEndian(uint32_t v, std::string* out) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>((v >> shift) & 0xFF));
}

}  // namespace

CZuError dwLinkEncode(const DwLinkMessage& msg, uint32_t maxBytes, std::string* frame) {
  size_t size = 0;
  if (!msg.name.empty()) size += elementBytes(msg.name);
  if (!msg.failure.empty()) size += elementBytes(msg.failure);
  for (const auto& kv : msg.entries) size += elementBytes(kv.first) + elementBytes(kv.second);
  if (size > maxBytes)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't encode link message: %zu bytes exceed the limit of %u",
                                 size, maxBytes);
  std::string out;
  out.reserve(kDwLinkHeaderBytes + size);
  out.append(reinterpret_cast<const char*>(kMagic), sizeof kMagic);
  putBigEndian(static_cast<uint32_t>(size), &out);
  if (!msg.name.empty()) putElement(kTagName, msg.name, &out);
  if (!msg.failure.empty()) putElement(kTagFailure, msg.failure, &out);
  for (const auto& kv : msg.entries) {
    putElement(kTagKey, kv.first, &out);
    putElement(kTagValue, kv.second, &out);
  }
  frame->swap(out);
  return CZuError();
}

CZuError dwLinkDecode(const char* payload, size_t size, DwLinkMessage* out) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(payload);
  const unsigned char* end = p + size;
  DwLinkMessage msg;
  const std::string* pendingKey = nullptr;
  std::string key;
  while (p < end) {
    uint32_t tag = 0, len = 0;
    if (!getVarInt(&p, end, &tag) || !getVarInt(&p, end, &len) ||
        len > static_cast<size_t>(end - p))
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Corrupt link message: bad element at offset %zu",
                                   size - static_cast<size_t>(end - p));
    std::string text(reinterpret_cast<const char*>(p), len);
    p += len;
    if ((tag == kTagValue) != (pendingKey != nullptr))
      return FXErrorUtil::ErrorInt(FXLOC, 1, "Corrupt link message: %s",
                                   pendingKey ? "key without value" : "value without key");
    if (tag == kTagName) {
      msg.name.swap(text);
    } else if (tag == kTagFailure) {
      msg.failure.swap(text);
    } else if (tag == kTagKey) {
      key.swap(text);
      pendingKey = &key;
    } else if (tag == kTagValue) {
      if (!msg.entries.emplace(key, std::move(text)).second)
        return FXErrorUtil::ErrorInt(FXLOC, 1, "Corrupt link message: key \"%s\" repeated", key.c_str());
      pendingKey = nullptr;
    }
  }
  if (pendingKey != nullptr)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Corrupt link message: key without value");
  *out = std::move(msg);
  return CZuError();
}

CZuError dwLinkParseHeader(const unsigned char* header, uint32_t maxBytes, uint32_t* payloadLen) {
  if (!std::equal(kMagic, kMagic + sizeof kMagic, header))
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Not a link frame (bad magic %02x %02x %02x %02x)",
                                 header[0], header[1], header[2], header[3]);
  uint32_t len = (uint32_t(header[4]) << 24) | (uint32_t(header[5]) << 16) |
                 (uint32_t(header[6]) << 8) | header[7];
  if (len > maxBytes)
    return FXErrorUtil::ErrorInt(FXLOC, 1, "Link frame of %u bytes exceeds the limit of %u bytes", len,
                                 maxBytes);
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
                         bool* started) {
  unsigned char header[kDwLinkHeaderBytes];
  CZuError err;
  int got = krpRecvMs(s, header, sizeof header, timeoutMs, &err);
  *started = got > 0;
  if (err.IsError()) return err.Push(FXLOC, "Couldn't receive link frame");
  uint32_t len = 0;
  err = dwLinkParseHeader(header, maxBytes, &len);
  if (err.IsError()) return err;
  // Grown as the bytes arrive, so a peer can't make us reserve memory it never sends.
  std::string body;
  while (body.size() < len) {
    size_t offset = body.size();
    size_t chunk = std::min<size_t>(kRecvChunk, len - offset);
    body.resize(offset + chunk);
    krpRecvMs(s, &body[offset], static_cast<int>(chunk), timeoutMs, &err);
    if (err.IsError())
      return err.Push(FXLOC, "Couldn't receive link frame payload of %u bytes", len);
  }
  payload->swap(body);
  return CZuError();
}

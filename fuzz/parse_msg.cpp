// parseMsg over arbitrary bytes with every destination kind.  In-place results
// must lie inside the data; the scalar results must survive re-encoding.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "DwLink/DwEbml.h"

namespace {

struct Fields {
  int32_t number = 0;
  uint64_t wide = 0;
  const char* text = nullptr;
  DwEbmlBinary block{nullptr, 0};
  uint8_t id[16] = {};
};

bool parse(const void* data, size_t size, Fields* f) {
  DwEbmlParser parser(data, size);
  return !parser
              .parseMsg(1, DW_EBML_VAR_INT32, &f->number, 2, DW_EBML_VAR_UINT64, &f->wide, 3,
                        DW_EBML_VAR_STR, &f->text, 4, DW_EBML_VAR_BINARY, &f->block, 5,
                        DW_EBML_VAR_UUID, f->id, 0)
              .IsError();
}

bool inside(const void* p, size_t n, const uint8_t* data, size_t size) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  return b >= data && n <= size && b - data <= static_cast<ptrdiff_t>(size - n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fields first;
  if (!parse(data, size, &first)) return 0;
  if (first.text) {
    const void* nul = std::memchr(first.text, 0, data + size - reinterpret_cast<const uint8_t*>(first.text));
    if (!inside(first.text, 1, data, size) || nul == nullptr) std::abort();
  }
  if (first.block.data && !inside(first.block.data, first.block.size, data, size)) std::abort();

  DwEbmlBuffer buffer(32);
  DwEbmlWriter writer(buffer, 0);
  writer.writeNumTag(1, first.number);
  writer.writeNumTag(2, static_cast<unsigned long>(first.wide));
  if (first.text) writer.writeStrTag(3, first.text);
  writer.writeUUIDTag(5, first.id);
  Fields second;
  if (!parse(buffer.data, writer.getSize(), &second)) std::abort();
  const bool sameText = (first.text == nullptr) == (second.text == nullptr) &&
                        (first.text == nullptr || std::strcmp(first.text, second.text) == 0);
  if (second.number != first.number || second.wide != first.wide || !sameText ||
      std::memcmp(second.id, first.id, 16) != 0) {
    std::abort();
  }
  return 0;
}

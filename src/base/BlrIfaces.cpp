#include "BLR/BlrIfaces.h"

#include <cstring>

BlrSnapIface::BlrSnapIface() : blockSize_(0) {}

BlrSnapIface::~BlrSnapIface() = default;

CZuError BlrSnapIface::updateCreds(int /*kind*/, bool /*persist*/, std::vector<char>* /*creds*/) {
  return CZuError();
}

BlrFullSyncIface::~BlrFullSyncIface() = default;

BlrDstWriter::BlrDstWriter() : diskSize_(0), sectorSize_(0) {}

BlrDstWriter::~BlrDstWriter() = default;

namespace BlrRPStore {

namespace {

// A private copy of `n` bytes.
DwBuffer copyOf(const void* data, size_t n) {
  DwBuffer buffer(n);
  if (n != 0) std::memcpy(buffer.data(), data, n);
  return buffer;
}

}  // namespace

Block::Block(uint64_t position, uint32_t size, const void* data)
    : buffer(copyOf(data, size)), position(position), size(size) {}

// Rounded up in 64 bits: 2^32 - 1 bits need 2^29 bytes, not 0.
Bitmap::Bitmap(const BlrUUID& id, uint32_t bits, const void* data)
    : buffer(copyOf(data, (uint64_t{bits} + 7) / 8)), id(id) {}

}  // namespace BlrRPStore

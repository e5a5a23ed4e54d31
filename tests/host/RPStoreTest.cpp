// Blocks and bitmaps of a recovery-point store hold private copies.
#include <cstring>
#include <string>

#include "BLR/BlrIfaces.h"
#include "support/Check.h"

namespace {

TEST(BlrRPStore, BlocksAndBitmapsHoldPrivateCopies) {
  char bytes[] = "sector data";
  BlrRPStore::Block block(4096, sizeof bytes, bytes);
  bytes[0] = 'X';
  ASSERT_EQ(block.buffer.getSize(), sizeof bytes);
  EXPECT_STREQ(block.buffer.data(), "sector data");
  EXPECT_EQ(BlrRPStore::Block(0, 0, nullptr).buffer.getSize(), 0u);
  // A bitmap's bits are rounded up to bytes.
  const unsigned char bits[] = {0xFF, 0x01, 0xEE};
  BlrUUID id(std::string("00112233445566778899aabbccddeeff"));
  for (auto [nbits, nbytes] : {std::pair{0u, 0u}, {1u, 1u}, {8u, 1u}, {9u, 2u}, {24u, 3u}}) {
    BlrRPStore::Bitmap map(id, nbits, bits);
    EXPECT_EQ(map.id, id);
    ASSERT_EQ(map.buffer.getSize(), nbytes) << nbits;
    if (nbytes != 0) {
      EXPECT_EQ(std::memcmp(map.buffer.data(), bits, nbytes), 0);
    }
  }
}

}  // namespace

#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "BLR/BlrIfaces.h"

namespace {

TEST(BlrRPStore, BlockHoldsAPrivateCopy) {
  char bytes[] = "sector data";
  BlrRPStore::Block block(4096, sizeof bytes, bytes);
  bytes[0] = 'X';
  EXPECT_EQ(block.position, 4096u);
  EXPECT_EQ(block.size, sizeof bytes);
  ASSERT_EQ(block.buffer.getSize(), sizeof bytes);
  EXPECT_STREQ(block.buffer.data(), "sector data");

  BlrRPStore::Block empty(0, 0, nullptr);
  EXPECT_EQ(empty.buffer.getSize(), 0u);
}

TEST(BlrRPStore, BitmapRoundsBitsUpToBytes) {
  const unsigned char bits[] = {0xFF, 0x01, 0xEE};
  BlrUUID id(std::string("00112233445566778899aabbccddeeff"));
  struct {
    uint32_t bits;
    size_t bytes;
  } cases[] = {{0, 0}, {1, 1}, {8, 1}, {9, 2}, {24, 3}};
  for (const auto& c : cases) {
    BlrRPStore::Bitmap map(id, c.bits, bits);
    EXPECT_EQ(map.id, id);
    ASSERT_EQ(map.buffer.getSize(), c.bytes) << c.bits;
    if (c.bytes != 0) {
      EXPECT_EQ(std::memcmp(map.buffer.data(), bits, c.bytes), 0);
    }
  }
}

// Implements the pure operations only, as the simplest component would.
class NullSnap : public BlrSnapIface {
 public:
  CZuError open(const std::string&) override { return CZuError(); }
  CZuError close() override { return CZuError(); }
  bool isOpen() const override { return false; }
  CZuError createSnapshot(const std::string&) override { return CZuError(); }
  CZuError deleteSnapshot() override { return CZuError(); }
  CZuError getDiskSize(uint64_t*) override { return CZuError(); }
  CZuError getChangeId(std::string*) override { return CZuError(); }
  CZuError setBaseChangeId(const std::string&) override { return CZuError(); }
  CZuError getChangedBlocks(uint64_t, uint64_t, DwBuffer*) override { return CZuError(); }
  CZuError read(uint64_t, void*, uint32_t) override { return CZuError(); }
  void cancel() override {}
};

TEST(BlrSnapIface, DefaultUpdateCredsAcceptsAndKeepsNothing) {
  std::unique_ptr<BlrSnapIface> snap = std::make_unique<NullSnap>();
  std::vector<char> creds = {'u', 's', 'r'};
  EXPECT_FALSE(snap->updateCreds(1, true, &creds).IsError());
  EXPECT_FALSE(snap->updateCreds(0, false, nullptr).IsError());
  EXPECT_EQ(creds.size(), 3u);
  EXPECT_EQ(snap->blockSize(), 0u);
}

}  // namespace

// Who owns what: sockets shared by their copies, buffers copied deep, blocks
// and bitmaps holding private copies.
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "BLR/BlrIfaces.h"
#include "host/net/CZuSocket.h"
#include "host/base/DwBuffer.h"
#include "support/Check.h"

namespace {

bool isClosed(int fd) { return ::fcntl(fd, F_GETFD) < 0 && errno == EBADF; }

TEST(CZuSocket, CopiesShareTheSocketUntilTheLastGoesOrOneCloses) {
  CZuSocket a, b;
  ASSERT_OK(CZuSocket::CreateSocketPair(a, b));
  int fd = a.GetDescriptor();
  {
    CZuSocket copy = a;
    CZuSocket moved = std::move(copy);  // moving copies: `copy` stays usable
    a = CZuSocket();
    EXPECT_EQ(copy.GetDescriptor(), fd);
    EXPECT_FALSE(isClosed(fd));
  }
  EXPECT_TRUE(isClosed(fd));

  CZuSocket other = b;
  fd = b.GetDescriptor();
  other.Close();
  EXPECT_FALSE(b.IsValid());
  EXPECT_TRUE(isClosed(fd));
  EXPECT_EQ(FXErrorUtil::GetInt(b.SetToNonBlocking()), EBADF);
}

TEST(DwBuffer, ResizeKeepsContentsAndCopiesAreDeep) {
  std::string bytes(100, 'z');
  bytes[0] = 'a';
  DwBuffer buf(100);
  std::memcpy(buf.data(), bytes.data(), 100);
  for (size_t size : {101, 1 << 20, 10, 50}) {
    ASSERT_OK(buf.resize(size));
    EXPECT_EQ(buf.getSize(), size);
    EXPECT_EQ(std::memcmp(buf.data(), bytes.data(), 10), 0);
  }
  DwBuffer copy = buf;
  copy.data()[0] = 'b';
  EXPECT_EQ(buf.data()[0], bytes[0]);
}

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

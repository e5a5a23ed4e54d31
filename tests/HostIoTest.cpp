#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "host/CZuSocket.h"
#include "host/DwBuffer.h"

namespace {

bool isClosed(int fd) { return ::fcntl(fd, F_GETFD) < 0 && errno == EBADF; }

TEST(CZuSocket, CopiesShareTheSocketUntilTheLastGoesOrOneCloses) {
  CZuSocket a, b;
  ASSERT_FALSE(CZuSocket::CreateSocketPair(a, b).IsError());
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
    ASSERT_FALSE(buf.resize(size).IsError());
    EXPECT_EQ(buf.getSize(), size);
    EXPECT_EQ(std::memcmp(buf.data(), bytes.data(), 10), 0);
  }
  DwBuffer copy = buf;
  copy.data()[0] = 'b';
  EXPECT_EQ(buf.data()[0], bytes[0]);
}

}  // namespace

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <lz4.h>

#include "BLR/BlrUtils.h"
#include "IoTestUtil.h"
#include "host/CZuSocket.h"
#include "host/FXFile.h"

namespace {

// A file layer that moves at most `chunk` bytes a call, or, with chunk 0,
// reports writes of nothing.
class TrickleLayer : public FXFile {
 public:
  explicit TrickleLayer(int chunk) : chunk_(chunk), previous_(FXFile::install(this)) {}
  ~TrickleLayer() override { FXFile::install(previous_); }

  CZuError read(int fd, void* buf, int len, int* moved) override {
    ++calls;
    return previous_->read(fd, buf, std::min(len, chunk_), moved);
  }
  CZuError write(int fd, const void* buf, int len, int* moved) override {
    ++calls;
    if (chunk_ == 0) return CZuError();
    return previous_->write(fd, buf, std::min(len, chunk_), moved);
  }

  int calls = 0;

 private:
  int chunk_;
  FXFile* previous_;
};

TEST(BlrUtilsIo, WholeBufferCrossesSocketPair) {
  CZuSocket pair[2];
  ASSERT_FALSE(BlrUtils::createSocketPair(pair).IsError());
  std::vector<char> sent = randomBytes(3 << 20, 7), received(sent.size());
  CZuError writeErr;
  std::thread writer(
      [&] { writeErr = BlrUtils::writeAll(pair[0].GetHandle(), sent.data(), int(sent.size())); });
  CZuError readErr = BlrUtils::readAll(pair[1].GetHandle(), received.data(), int(received.size()));
  writer.join();
  ASSERT_FALSE(writeErr.IsError()) << writeErr.AsString();
  ASSERT_FALSE(readErr.IsError()) << readErr.AsString();
  EXPECT_EQ(sent, received);
}

TEST(BlrUtilsIo, ShortTransfersAreResumed) {
  Pipe p;
  std::vector<char> sent = randomBytes(1000, 3), received(1000);
  TrickleLayer layer(7);
  ASSERT_FALSE(BlrUtils::writeAll(p.writeEnd, sent.data(), 1000).IsError());
  EXPECT_EQ(layer.calls, 143);  // 142 chunks of 7 bytes and one of 6
  layer.calls = 0;
  ASSERT_FALSE(BlrUtils::readAll(p.readEnd, received.data(), 1000).IsError());
  EXPECT_EQ(layer.calls, 143);
  EXPECT_EQ(sent, received);
}

TEST(BlrUtilsIo, StreamEndingEarlyIsUnexpectedEof) {
  Pipe p;
  ASSERT_FALSE(BlrUtils::writeAll(p.writeEnd, "0123456789", 10).IsError());
  p.writeEnd.reset();
  char buf[20];
  CZuError err = BlrUtils::readAll(p.readEnd, buf, 20);
  EXPECT_EQ(FXErrorUtil::GetInt(err), 1);
  EXPECT_EQ(err.Summary(), "Unexpected EOF");
  EXPECT_EQ(std::string(buf, 10), "0123456789");  // what did arrive is kept
  EXPECT_EQ(BlrUtils::readAll(p.readEnd, buf, 1).Summary(), "Unexpected EOF");
}

TEST(BlrUtilsIo, LengthZeroSucceedsAtOnceNegativeFails) {
  TrickleLayer layer(1);
  auto_handle none;
  char c;
  EXPECT_FALSE(BlrUtils::writeAll(none, &c, 0).IsError());
  EXPECT_FALSE(BlrUtils::readAll(none, &c, 0).IsError());
  EXPECT_EQ(layer.calls, 0);
  EXPECT_EQ(BlrUtils::writeAll(none, &c, -1).Summary(), "Invalid length -1 to write");
  EXPECT_EQ(BlrUtils::readAll(none, &c, -2).Summary(), "Invalid length -2 to read");
}

TEST(BlrUtilsIo, HostErrorsComeBackWithTheirCodeAndThisLocation) {
  CZuSocket a, b;
  ASSERT_FALSE(BlrUtils::createSocketPair(&a, &b).IsError());
  b.Close();
  CZuError err = BlrUtils::writeAll(a.GetHandle(), "data", 4);
  EXPECT_EQ(FXErrorUtil::GetInt(err), EPIPE);
  EXPECT_EQ(err.AsString().rfind("BlrUtils:", 0), 0u) << err.AsString();

  auto_handle none;
  char c;
  err = BlrUtils::readAll(none, &c, 1);
  EXPECT_EQ(FXErrorUtil::GetInt(err), EBADF);
  EXPECT_EQ(err.AsString().rfind("BlrUtils:", 0), 0u) << err.AsString();
}

TEST(BlrUtilsIo, WriteOfNothingFailsInsteadOfLooping) {
  Pipe p;
  TrickleLayer layer(0);
  CZuError err = BlrUtils::writeAll(p.writeEnd, "hello", 5);
  EXPECT_EQ(FXErrorUtil::GetInt(err), 1);
  EXPECT_EQ(err.Summary(), "Couldn't write 5 of 5 bytes: 0 bytes written");
  EXPECT_EQ(layer.calls, 1);
}

TEST(BlrUtilsIo, SocketPairNeedsTwoSockets) {
  CZuSocket a;
  EXPECT_EQ(FXErrorUtil::GetInt(BlrUtils::createSocketPair(&a, nullptr)), 1);
  EXPECT_EQ(FXErrorUtil::GetInt(BlrUtils::createSocketPair(nullptr)), 1);
  EXPECT_FALSE(a.IsValid());
}

// ---------------------------------------------------------------------------

std::vector<char> compressible(size_t n) {
  std::string text;
  while (text.size() < n)
    text += "block " + std::to_string(text.size() % 977) + " of replicated data; ";
  return std::vector<char>(text.begin(), text.begin() + n);
}

TEST(BlrUtilsLz4, RoundTripsInAWorstCaseSizedBuffer) {
  std::vector<std::vector<char>> inputs = {
      {}, {'x'}, compressible(100000), randomBytes(65536, 5), std::vector<char>(4 << 20, 0)};
  for (const std::vector<char>& in : inputs) {
    int n = int(in.size());
    std::vector<char> packed(n + BlrUtils::lz4Expansion(n));
    int packedSize = int(packed.size());
    CZuError err = BlrUtils::lz4Compress(in.data(), packed.data(), n, packedSize);
    ASSERT_FALSE(err.IsError()) << n << ": " << err.AsString();
    EXPECT_GT(packedSize, 0);

    std::vector<char> out(n + 1);  // one spare byte must stay unused
    int outSize = n;
    err = BlrUtils::lz4Decompress(packed.data(), out.data(), packedSize, outSize);
    ASSERT_FALSE(err.IsError()) << n << ": " << err.AsString();
    EXPECT_EQ(outSize, n);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
  }
}

TEST(BlrUtilsLz4, TooSmallBuffersFailWithTheirSizes) {
  std::vector<char> in = randomBytes(1000, 9), packed(2000), out(1000);
  int capacity = 500;
  CZuError err = BlrUtils::lz4Compress(in.data(), packed.data(), 1000, capacity);
  EXPECT_EQ(FXErrorUtil::GetInt(err), 1);
  EXPECT_EQ(err.Summary(), "Insufficient buffer size 500 for LZ4 compression of 1000");
  EXPECT_EQ(capacity, 500);

  int packedSize = int(packed.size());
  ASSERT_FALSE(BlrUtils::lz4Compress(in.data(), packed.data(), 1000, packedSize).IsError());
  capacity = 999;
  err = BlrUtils::lz4Decompress(packed.data(), out.data(), packedSize, capacity);
  EXPECT_EQ(FXErrorUtil::GetInt(err), 1);
  EXPECT_EQ(err.Summary(), "Insufficient buffer size 999 for LZ4 decompression of " +
                               std::to_string(packedSize) + " or corrupt compressed stream");
  EXPECT_EQ(capacity, 999);
}

TEST(BlrUtilsLz4, CorruptStreamsFailWithoutOverrun) {
  std::vector<char> in = compressible(4096), packed(8192);
  int packedSize = int(packed.size());
  ASSERT_FALSE(BlrUtils::lz4Compress(in.data(), packed.data(), 4096, packedSize).IsError());

  std::vector<std::vector<char>> bad = {
      std::vector<char>(packed.begin(), packed.begin() + packedSize / 2),  // truncated
      randomBytes(300, 11),                                                // noise
      {0x00, char(0xFF), char(0xFF), 0, 0, 0, 0, 0},  // a match reaching before the output
      {}};
  for (const std::vector<char>& stream : bad) {
    std::vector<char> out(4096 + 64, '#');
    int capacity = 4096;
    CZuError err = BlrUtils::lz4Decompress(stream.data(), out.data(), int(stream.size()), capacity);
    EXPECT_EQ(err.Summary(), "Insufficient buffer size 4096 for LZ4 decompression of " +
                                 std::to_string(stream.size()) + " or corrupt compressed stream");
    EXPECT_EQ(capacity, 4096);
    EXPECT_EQ(std::string(out.begin() + 4096, out.end()), std::string(64, '#'));
  }
}

TEST(BlrUtilsLz4, NegativeSizesAreRejected) {
  char src[4] = {}, dst[64];
  int capacity = 64;
  EXPECT_EQ(BlrUtils::lz4Compress(src, dst, -1, capacity).Summary(),
            "Invalid sizes -1 and 64 for LZ4 compression");
  capacity = -5;
  EXPECT_EQ(BlrUtils::lz4Decompress(src, dst, 4, capacity).Summary(),
            "Invalid sizes 4 and -5 for LZ4 decompression");
  EXPECT_EQ(capacity, -5);
}

TEST(BlrUtilsLz4, ExpansionOverTheWholeRange) {
  const int kMax = LZ4_MAX_INPUT_SIZE;
  EXPECT_EQ(BlrUtils::lz4Expansion(0), 16);
  EXPECT_EQ(BlrUtils::lz4Expansion(254), 16);
  EXPECT_EQ(BlrUtils::lz4Expansion(255), 17);
  EXPECT_EQ(BlrUtils::lz4Expansion(1000), 19);
  EXPECT_EQ(BlrUtils::lz4Expansion(kMax), kMax / 255 + 16);
  for (int n : {0, 1, 255, 65536, 1 << 24, kMax})
    EXPECT_EQ(BlrUtils::lz4Expansion(n), LZ4_COMPRESSBOUND(n) - n);
  // Beyond the limit, and for negative sizes, nothing can be compressed.
  EXPECT_EQ(BlrUtils::lz4Expansion(kMax + 1), -(kMax + 1));
  EXPECT_EQ(BlrUtils::lz4Expansion(INT_MAX), -INT_MAX);
  EXPECT_EQ(BlrUtils::lz4Expansion(-1), 1);
  EXPECT_EQ(BlrUtils::lz4Expansion(INT_MIN), INT_MIN);
}

}  // namespace

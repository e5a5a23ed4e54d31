#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lz4.h>

#include "BLR/BlrUtils.h"
#include "host/net/CZuSocket.h"
#include "host/base/FXFile.h"
#include "support/Check.h"

namespace {

// Both ends of a pipe, each closed by its own handle.
struct Pipe {
  Pipe() {
    int fds[2] = {-1, -1};
    (void)::pipe2(fds, O_CLOEXEC);
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
  }
  auto_handle readEnd, writeEnd;
};

std::vector<char> randomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<char> out(n);
  for (char& c : out) c = static_cast<char>(gen());
  return out;
}

// A file layer that moves at most `chunk` bytes a call; with chunk 0 it
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
    return chunk_ == 0 ? CZuError() : previous_->write(fd, buf, std::min(len, chunk_), moved);
  }

  int calls = 0;

 private:
  int chunk_;
  FXFile* previous_;
};

// Short transfers are resumed; a write of nothing fails instead of looping.
TEST(BlrUtilsIo, ShortTransfersAreResumedAndWritesOfNothingFail) {
  Pipe p;
  std::vector<char> sent = randomBytes(1000, 3), received(1000);
  {
    TrickleLayer layer(7);
    ASSERT_OK(BlrUtils::writeAll(p.writeEnd, sent.data(), 1000));
    ASSERT_OK(BlrUtils::readAll(p.readEnd, received.data(), 1000));
    EXPECT_EQ(layer.calls, 2 * 143);  // each way 142 chunks of 7 bytes and one of 6
  }
  EXPECT_EQ(sent, received);
  TrickleLayer layer(0);
  EXPECT_EQ(BlrUtils::writeAll(p.writeEnd, "hello", 5).Summary(),
            "Couldn't write 5 of 5 bytes: 0 bytes written");
  EXPECT_EQ(layer.calls, 1);
}

// A stream ending early keeps what arrived; host errors keep their code.
TEST(BlrUtilsIo, EarlyEndAndHostErrorsFailWithTheirCause) {
  Pipe p;
  ASSERT_OK(BlrUtils::writeAll(p.writeEnd, "0123456789", 10));
  p.writeEnd.reset();
  char buf[20];
  EXPECT_EQ(failure(BlrUtils::readAll(p.readEnd, buf, 20)), "1: Unexpected EOF");
  EXPECT_EQ(std::string(buf, 10), "0123456789");

  CZuSocket pair[2];
  ASSERT_OK(BlrUtils::createSocketPair(pair));
  pair[1].Close();  // a write to a vanished peer fails instead of raising SIGPIPE
  CZuError err = BlrUtils::writeAll(pair[0].GetHandle(), "data", 4);
  EXPECT_EQ(err.Code(), EPIPE);
  EXPECT_THAT(err.AsString(), StartsWith("BlrUtils:"));
}

std::vector<char> compressible(size_t n) {
  std::string text;
  while (text.size() < n) text += "block " + std::to_string(text.size() % 977) + " of data; ";
  return std::vector<char>(text.begin(), text.begin() + n);
}

std::string decompressionError(int capacity, long long srcSize) {
  return "Insufficient buffer size " + std::to_string(capacity) + " for LZ4 decompression of " +
         std::to_string(srcSize) + " or corrupt compressed stream";
}

TEST(BlrUtilsLz4, RoundTripsInAWorstCaseSizedBuffer) {
  for (const std::vector<char>& in : {std::vector<char>(), std::vector<char>(1, 'x'),
                                      compressible(100000), randomBytes(65536, 5)}) {
    int n = int(in.size());
    std::vector<char> packed(n + BlrUtils::lz4Expansion(n)), out(n + 1);
    int packedSize = int(packed.size()), outSize = n;
    ASSERT_OK(BlrUtils::lz4Compress(in.data(), packed.data(), n, packedSize)) << n;
    ASSERT_OK(BlrUtils::lz4Decompress(packed.data(), out.data(), packedSize, outSize));
    EXPECT_EQ(outSize, n);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
  }
}

// Too small buffers and negative sizes fail and leave the size and the output alone.
TEST(BlrUtilsLz4, BadSizesFailAndLeaveTheSizeAlone) {
  std::vector<char> in = randomBytes(1000, 9), packed(2000), out(1000);
  int capacity = 500;
  EXPECT_EQ(failure(BlrUtils::lz4Compress(in.data(), packed.data(), 1000, capacity)),
            "1: Insufficient buffer size 500 for LZ4 compression of 1000");
  EXPECT_EQ(capacity, 500);

  int packedSize = int(packed.size());
  ASSERT_OK(BlrUtils::lz4Compress(in.data(), packed.data(), 1000, packedSize));
  capacity = 999;
  EXPECT_EQ(BlrUtils::lz4Decompress(packed.data(), out.data(), packedSize, capacity).Summary(),
            decompressionError(999, packedSize));
  EXPECT_EQ(capacity, 999);

  out.assign(400, '#');
  for (auto sizes : {std::make_pair(-1, 400), std::make_pair(100, -1), std::make_pair(0, -5)}) {
    capacity = sizes.second;
    EXPECT_EQ(failure(BlrUtils::lz4Compress(in.data(), out.data(), sizes.first, capacity)),
              "1: Insufficient buffer size " + std::to_string(sizes.second) +
                  " for LZ4 compression of " + std::to_string(sizes.first));
    EXPECT_EQ(capacity, sizes.second);
    EXPECT_EQ(BlrUtils::lz4Decompress(in.data(), out.data(), sizes.first, capacity).Summary(),
              decompressionError(sizes.second, sizes.first));
  }
  EXPECT_EQ(std::string(out.begin(), out.end()), std::string(400, '#'));
}

TEST(BlrUtilsLz4, CorruptStreamsFailWithoutOverrun) {
  std::vector<char> in = compressible(4096), packed(8192);
  int packedSize = int(packed.size());
  ASSERT_OK(BlrUtils::lz4Compress(in.data(), packed.data(), 4096, packedSize));
  const std::vector<char> streams[] = {
      std::vector<char>(packed.begin(), packed.begin() + packedSize / 2),  // truncated
      {0x00, char(0xFF), char(0xFF), 0, 0, 0, 0, 0}};  // a match reaching before the output
  for (const std::vector<char>& stream : streams) {
    std::vector<char> out(4096 + 64, '#');
    int capacity = 4096;
    CZuError err = BlrUtils::lz4Decompress(stream.data(), out.data(), int(stream.size()), capacity);
    EXPECT_EQ(err.Summary(), decompressionError(4096, stream.size()));
    EXPECT_EQ(std::string(out.begin() + 4096, out.end()), std::string(64, '#'));
  }
}

// Beyond the input limit, and for negative sizes, nothing can be compressed.
TEST(BlrUtilsLz4, ExpansionAtTheEndsOfTheRange) {
  const int kMax = LZ4_MAX_INPUT_SIZE;
  const std::pair<int, int> cases[] = {{0, 16}, {kMax, kMax / 255 + 16}, {kMax + 1, -(kMax + 1)},
                                       {INT_MAX, -INT_MAX}, {-1, 1}, {INT_MIN, INT_MIN}};
  for (const auto& [size, expansion] : cases)
    EXPECT_EQ(BlrUtils::lz4Expansion(size), expansion) << size;
}

}  // namespace

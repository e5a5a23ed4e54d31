#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "IoTestUtil.h"
#include "host/CZuSocket.h"
#include "host/DwBuffer.h"
#include "host/FXFile.h"

// Lets the failed-allocation test see a null from the allocator under the
// address and thread sanitizers.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

TEST(AutoHandle, OwnsExactlyOneDescriptor) {
  Pipe p;
  int r = p.readEnd.get(), w = p.writeEnd.release();
  {
    auto_handle moved(std::move(p.readEnd));
    EXPECT_FALSE(p.readEnd.valid());
    EXPECT_EQ(moved.get(), r);
  }
  EXPECT_TRUE(isClosed(r));

  auto_handle h(w);
  h.reset(w);  // same descriptor again: kept open
  EXPECT_FALSE(isClosed(w));
  h = auto_handle();
  EXPECT_TRUE(isClosed(w));
}

TEST(FXFile, TransfersReportShortReadsAndEndOfStream) {
  Pipe p;
  int moved = -1;
  ASSERT_FALSE(FXFile::DWWriteFile(p.writeEnd, "hello", 5, &moved, nullptr).IsError());
  EXPECT_EQ(moved, 5);
  char buf[16];
  ASSERT_FALSE(FXFile::DWReadFile(p.readEnd, buf, sizeof buf, &moved, nullptr).IsError());
  EXPECT_EQ(moved, 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  p.writeEnd.reset();
  ASSERT_FALSE(FXFile::DWReadFile(p.readEnd, buf, sizeof buf, &moved, nullptr).IsError());
  EXPECT_EQ(moved, 0);
}

TEST(FXFile, RejectsBadArgumentsAndReportsSystemErrors) {
  Pipe p;
  char buf[4];
  int moved = 0;
  int dummy = 0;
  CZuError err = FXFile::DWReadFile(p.readEnd, buf, -1, &moved, nullptr);
  EXPECT_EQ(err.Summary(), "Invalid transfer length -1");
  err = FXFile::DWWriteFile(p.writeEnd, buf, 4, nullptr, nullptr);
  EXPECT_EQ(FXErrorUtil::GetInt(err), 1);
  err = FXFile::DWWriteFile(p.writeEnd, buf, 4, &moved, &dummy);
  EXPECT_EQ(err.Summary(), "Asynchronous I/O is not supported");

  auto_handle none;
  err = FXFile::DWReadFile(none, buf, 4, &moved, nullptr);
  EXPECT_EQ(FXErrorUtil::GetInt(err), EBADF);
  EXPECT_NE(err.Summary().find("Couldn't read from descriptor -1"), std::string::npos);
}

TEST(FXFile, WriteToVanishedPeerFailsInsteadOfRaisingSigpipe) {
  CZuSocket a, b;
  ASSERT_FALSE(CZuSocket::CreateSocketPair(a, b).IsError());
  b.Close();
  int moved = 0;
  CZuError err = FXFile::DWWriteFile(a.GetHandle(), "x", 1, &moved, nullptr);
  EXPECT_EQ(FXErrorUtil::GetInt(err), EPIPE);
}

std::atomic<int> signalsSeen{0};

// Whether thread `tid` sleeps in read() on `fd`, from its /proc syscall line;
// `available` turns false when the kernel does not show it.
bool blockedInRead(pid_t tid, int fd, bool* available) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  *available = in.good();
  long nr = -1;
  std::string arg;
  in >> nr >> arg;
  return nr == SYS_read && std::strtol(arg.c_str(), nullptr, 16) == fd;
}

TEST(FXFile, ReadInterruptedBySignalIsRetried) {
  struct sigaction sa {}, old {};
  sa.sa_handler = [](int) { ++signalsSeen; };
  sigemptyset(&sa.sa_mask);  // no SA_RESTART: the read fails with EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  signalsSeen = 0;

  Pipe p;
  std::atomic<pid_t> tid{0};
  std::atomic<bool> finished{false};
  CZuError err;
  int moved = -1;
  char c = 0;
  std::thread reader([&] {
    tid = static_cast<pid_t>(::syscall(SYS_gettid));
    err = FXFile::DWReadFile(p.readEnd, &c, 1, &moved, nullptr);
    finished = true;
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto waitFor = [&](auto done) {
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  };
  bool available = true, ignored;
  waitFor([&] {
    return tid != 0 && (blockedInRead(tid, p.readEnd.get(), &available) || !available);
  });
  if (available) {
    pthread_kill(reader.native_handle(), SIGUSR1);
    // Either the read failed, or it was interrupted and now waits again.
    waitFor([&] {
      return finished || (signalsSeen == 1 && blockedInRead(tid, p.readEnd.get(), &ignored));
    });
  }
  EXPECT_EQ(::write(p.writeEnd.get(), "x", 1), 1);
  reader.join();
  sigaction(SIGUSR1, &old, nullptr);
  if (!available) GTEST_SKIP() << "the kernel does not show a thread's system call";

  EXPECT_EQ(signalsSeen, 1);
  EXPECT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(moved, 1);
  EXPECT_EQ(c, 'x');
}

TEST(CZuSocket, PairIsConnectedBothWays) {
  CZuSocket a, b;
  ASSERT_FALSE(CZuSocket::CreateSocketPair(a, b).IsError());
  int moved = 0;
  char buf[8];
  ASSERT_FALSE(FXFile::DWWriteFile(a.GetHandle(), "ab", 2, &moved, nullptr).IsError());
  ASSERT_FALSE(FXFile::DWReadFile(b.GetHandle(), buf, sizeof buf, &moved, nullptr).IsError());
  EXPECT_EQ(std::string(buf, moved), "ab");
  ASSERT_FALSE(FXFile::DWWriteFile(b.GetHandle(), "cd", 2, &moved, nullptr).IsError());
  ASSERT_FALSE(FXFile::DWReadFile(a.GetHandle(), buf, sizeof buf, &moved, nullptr).IsError());
  EXPECT_EQ(std::string(buf, moved), "cd");
}

TEST(CZuSocket, CopiesShareTheSocketUntilTheLastGoes) {
  CZuSocket a, b;
  ASSERT_FALSE(CZuSocket::CreateSocketPair(a, b).IsError());
  int fd = a.GetDescriptor();
  {
    CZuSocket copy = a;
    CZuSocket moved = std::move(copy);  // moving copies: `copy` stays usable
    EXPECT_EQ(copy.GetDescriptor(), fd);
    a = CZuSocket();
    EXPECT_FALSE(a.IsValid());
    EXPECT_FALSE(isClosed(fd));
  }
  EXPECT_TRUE(isClosed(fd));

  CZuSocket other = b;
  fd = b.GetDescriptor();
  other.Close();
  EXPECT_FALSE(b.IsValid());
  EXPECT_EQ(b.GetDescriptor(), -1);
  EXPECT_TRUE(isClosed(fd));
}

TEST(CZuSocket, NonBlockingReadOfEmptySocketFails) {
  CZuSocket a, b;
  ASSERT_FALSE(CZuSocket::CreateSocketPair(a, b).IsError());
  ASSERT_FALSE(a.SetToNonBlocking().IsError());
  char c;
  int moved = 0;
  CZuError err = FXFile::DWReadFile(a.GetHandle(), &c, 1, &moved, nullptr);
  EXPECT_EQ(FXErrorUtil::GetInt(err), EAGAIN);

  a.Close();
  EXPECT_EQ(FXErrorUtil::GetInt(a.SetToNonBlocking()), EBADF);
}

TEST(DwBuffer, ResizeKeepsContents) {
  DwBuffer buf;
  EXPECT_EQ(buf.getSize(), 0u);
  std::vector<char> bytes = randomBytes(100, 1);
  ASSERT_FALSE(buf.resize(100).IsError());
  std::memcpy(buf.data(), bytes.data(), 100);
  for (size_t size : {101, 1000, 1 << 20}) {
    ASSERT_FALSE(buf.resize(size).IsError());
    EXPECT_EQ(buf.getSize(), size);
    EXPECT_EQ(std::memcmp(buf.data(), bytes.data(), 100), 0);
  }
  ASSERT_FALSE(buf.resize(10).IsError());
  ASSERT_FALSE(buf.resize(50).IsError());
  EXPECT_EQ(buf.getSize(), 50u);
  EXPECT_EQ(std::memcmp(buf.data(), bytes.data(), 10), 0);
}

TEST(DwBuffer, CopiesAreDeepAndMovesTransfer) {
  DwBuffer a(3);
  std::memcpy(a.data(), "abc", 3);
  DwBuffer b = a;
  b.data()[0] = 'x';
  EXPECT_EQ(std::string(a.data(), 3), "abc");
  a = b;
  EXPECT_EQ(std::string(a.data(), 3), "xbc");
  DwBuffer c = std::move(a);
  EXPECT_EQ(a.getSize(), 0u);
  EXPECT_EQ(std::string(c.data(), c.getSize()), "xbc");
}

TEST(DwBuffer, FailedResizeLeavesBufferAsItWas) {
  DwBuffer buf(4);
  std::memcpy(buf.data(), "keep", 4);
  CZuError err = buf.resize(SIZE_MAX / 2);
  EXPECT_EQ(FXErrorUtil::GetInt(err), 1);
  EXPECT_NE(err.Summary().find("Couldn't allocate a buffer of"), std::string::npos);
  EXPECT_EQ(buf.getSize(), 4u);
  EXPECT_EQ(std::string(buf.data(), 4), "keep");
}

}  // namespace

// Tests of the event stream's exact reads, rewind, open failures and descriptor handling, and of the
// I/O error values.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "test_support.hpp"

namespace velk::test {
namespace {

class StreamTest : public ::testing::Test {
 protected:
  TempDir dir;
};

Bytes read_bytes(EventStream& stream, std::size_t n) {
  Bytes out(n);
  const Status s = stream.read_exact(reinterpret_cast<std::byte*>(out.data()), n);
  if (!s) throw std::runtime_error("read of " + std::to_string(n) + " bytes: " + describe(s.error()));
  return out;
}

// Every failed read says why; a zero-byte request succeeds anywhere, as it never reaches the file.
TEST_F(StreamTest, FailedReadsReportTheirCause) {
  const BytesBeforeAHole hole({1, 2, 3, 4, 5, 6});
  struct {
    const char* name;
    EventStream stream;
    std::size_t good_words;
    IoErrorKind kind;
    int os_errno;
    const char* message;
  } cases[] = {
      {"empty file", open_stream(dir.write("empty", {})), 0, IoErrorKind::UnexpectedEof, 0,
       "failed to fill whole buffer"},
      {"file ends inside a field", open_stream(dir.write("six", {1, 2, 3, 4, 5, 6})), 1,
       IoErrorKind::UnexpectedEof, 0, "failed to fill whole buffer"},
      {"read error inside a field", hole.stream(), 1, IoErrorKind::Other, EIO,
       "Input/output error (os error 5)"},
      {"directory", open_stream(dir.path()), 0, IoErrorKind::IsADirectory, EISDIR,
       "Is a directory (os error 21)"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(c.stream.read_exact(nullptr, 0));
    for (std::size_t i = 0; i < c.good_words; ++i) EXPECT_EQ(take(c.stream.read_u32()), 0x04030201u);
    const Result<std::uint32_t> failed = c.stream.read_u32();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind(), c.kind);
    EXPECT_EQ(failed.error().os_errno(), c.os_errno);
    EXPECT_EQ(failed.error().message(), c.message);
  }
}

TEST_F(StreamTest, BytesDeliveredBeforeEndOfFileStayConsumed) {
  const std::string path = dir.write("six", {1, 2, 3, 4, 5, 6});
  EventStream stream = open_stream(path);
  EXPECT_EQ(take(stream.read_u32()), 0x04030201u);
  EXPECT_FALSE(stream.read_u32());
  // Once the file grows, reading resumes after bytes 5 and 6.
  append_to(path, {0xAA, 0xBB, 0xCC, 0xDD});
  EXPECT_EQ(take(stream.read_u32()), 0xDDCCBBAAu);
}

// Reads `before` bytes, then `request` bytes, then rewrites the next 4 bytes of the file. Those 4 bytes
// come back stale exactly as far as the buffer still held them, which shows whether the big read went
// around the buffer (leaving it empty) or through it.
TEST_F(StreamTest, LargeReadsBypassTheBufferAndLeaveItEmpty) {
  struct Case {
    std::size_t before, request, stale_after;
  };
  const Case cases[] = {
      {0, 8191, 1},  // through one refill, whose last byte stays buffered
      {0, 8192, 0},
      {0, 8193, 0},
      {4, 8188, 0},  // exactly the bytes buffered by the first read
      {4, 8191, 4},  // the buffered bytes, then a refill for the last 3
      {4, 8192, 4},
      {4, 8188 + 8191, 1},
      {4, 8188 + 8192, 0},  // the buffered bytes, then 8192 straight from the file
      {4, 8188 + 8193, 0},
  };
  const Bytes original = pattern_bytes(40000);
  for (const Case& c : cases) {
    SCOPED_TRACE("before " + std::to_string(c.before) + ", request " + std::to_string(c.request));
    const std::string path = dir.write("pattern", original);
    EventStream stream = open_stream(path);
    EXPECT_EQ(read_bytes(stream, c.before), slice(original, 0, c.before));
    EXPECT_EQ(read_bytes(stream, c.request), slice(original, c.before, c.request));

    const std::size_t next = c.before + c.request;
    const Bytes fresh = {0xF0, 0xF1, 0xF2, 0xF3};
    overwrite_at(path, next, fresh);
    Bytes expected = slice(original, next, 4);
    std::copy(fresh.begin() + static_cast<std::ptrdiff_t>(c.stale_after), fresh.end(),
              expected.begin() + static_cast<std::ptrdiff_t>(c.stale_after));
    EXPECT_EQ(read_bytes(stream, 4), expected);
  }
}

TEST_F(StreamTest, SixtyFourBitValuesAreLowWordFirstAlsoAcrossTheBufferEnd) {
  for (std::size_t offset : {std::size_t{0}, std::size_t{8188}, std::size_t{8190}}) {
    SCOPED_TRACE("offset " + std::to_string(offset));
    Bytes file(offset, 0x55);
    file.insert(file.end(), {1, 0, 0, 0, 2, 0, 0, 0});
    EventStream stream = open_stream(dir.write("u64", file));
    EXPECT_TRUE(stream.skip(offset));
    EXPECT_EQ(take(stream.read_u64()), (std::uint64_t{1} << 33) + 1);
  }
}

TEST_F(StreamTest, RewindRereadsTheFileFromItsFirstByte) {
  const Bytes original = pattern_bytes(20000);
  for (std::size_t before : {std::size_t{4}, std::size_t{10000}, std::size_t{20000}}) {
    SCOPED_TRACE("after reading " + std::to_string(before) + " bytes");
    const std::string path = dir.write("pattern", original);
    EventStream stream = open_stream(path);
    EXPECT_EQ(read_bytes(stream, before), slice(original, 0, before));
    // Changed on disk after the first bytes were buffered: only a discarded buffer shows the change.
    overwrite_at(path, 0, {0xDE, 0xAD, 0xBE, 0xEF});
    ASSERT_TRUE(stream.rewind());
    EXPECT_EQ(take(stream.read_u32()), 0xEFBEADDEu);
    EXPECT_EQ(read_bytes(stream, 19996), slice(original, 4, 19996));
  }
}

TEST_F(StreamTest, RewindOnAPipeReportsTheSeekError) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  FileDescriptor writer(fds[1]);
  EventStream stream = take(EventStream::adopt(FileDescriptor(fds[0])));
  const Status s = stream.rewind();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "Illegal seek (os error 29)");
  EXPECT_EQ(s.error().os_errno(), ESPIPE);
}

TEST_F(StreamTest, OpenFailuresCarryTheirKindAndText) {
  const std::string file = dir.write("file", {1, 2, 3, 4});
  const struct {
    std::string path;
    IoErrorKind kind;
    int os_errno;
    const char* message;
  } cases[] = {
      {dir.path_of("missing"), IoErrorKind::NotFound, ENOENT, "No such file or directory (os error 2)"},
      {file + "/child", IoErrorKind::NotADirectory, ENOTDIR, "Not a directory (os error 20)"},
      // The part before the NUL names an existing file, so reaching open(2) would succeed.
      {file + std::string(1, '\0') + "tail", IoErrorKind::InvalidInput, 0,
       "file name contained an unexpected NUL byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const Result<EventStream> stream = EventStream::open(c.path);
    ASSERT_FALSE(stream);
    EXPECT_EQ(stream.error().kind(), c.kind);
    EXPECT_EQ(stream.error().os_errno(), c.os_errno);
    EXPECT_EQ(stream.error().message(), c.message);
  }
  EXPECT_TRUE(fds_open_on(file).empty());
}

TEST_F(StreamTest, DescriptorIsCloseOnExecMovesWithTheStreamAndClosesWithIt) {
  const std::string path = dir.write("file", {1, 2, 3, 4, 5, 6, 7, 8});
  {
    std::optional<EventStream> first(open_stream(path));
    const std::vector<int> fds = fds_open_on(path);
    ASSERT_EQ(fds.size(), 1u);
    EXPECT_NE(::fcntl(fds[0], F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(take(first->read_u32()), 0x04030201u);

    EventStream second(std::move(*first));
    first.reset();  // a moved-from stream must not close the descriptor it handed over
    EXPECT_EQ(fds_open_on(path), fds);
    EXPECT_EQ(take(second.read_u32()), 0x08070605u);
  }
  EXPECT_TRUE(fds_open_on(path).empty());
}

std::atomic<int> signals_caught{0};
extern "C" void count_signal(int) { signals_caught.fetch_add(1); }

// Waits until thread `tid` sleeps inside read(2), as /proc reports it.
bool wait_until_blocked_in_read(pid_t tid) {
  const std::string file = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  const std::string read_call = std::to_string(SYS_read) + " ";
  for (int i = 0; i < 5000; ++i) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    if (line.rfind(read_call, 0) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(StreamSignalTest, ReadInterruptedBySignalIsRetried) {
  struct sigaction action = {};
  action.sa_handler = count_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the blocked read(2) returns EINTR
  struct sigaction previous = {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  signals_caught = 0;

  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  EventStream stream = take(EventStream::adopt(FileDescriptor(fds[0])));
  const pid_t reader_tid = ::gettid();
  const pthread_t reader = ::pthread_self();
  bool blocked_before = false, blocked_after = false;
  std::thread helper([&] {
    blocked_before = wait_until_blocked_in_read(reader_tid);
    ::pthread_kill(reader, SIGUSR1);
    while (signals_caught == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    blocked_after = wait_until_blocked_in_read(reader_tid);
    const std::uint8_t data[4] = {1, 2, 3, 4};
    (void)!::write(fds[1], data, sizeof data);
    ::close(fds[1]);
  });
  const Result<std::uint32_t> value = stream.read_u32();
  helper.join();
  ::sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_TRUE(blocked_before);
  EXPECT_EQ(signals_caught, 1);
  EXPECT_TRUE(blocked_after) << "the interrupted read was not resumed";
  ASSERT_TRUE(value) << describe(value.error());
  EXPECT_EQ(*value, 0x04030201u);
}

TEST(IoErrorTest, OsErrorsMapOntoKinds) {
  const std::pair<int, IoErrorKind> table[] = {
      {ENOENT, IoErrorKind::NotFound},
      {EPERM, IoErrorKind::PermissionDenied},
      {EACCES, IoErrorKind::PermissionDenied},
      {EEXIST, IoErrorKind::AlreadyExists},
      {EISDIR, IoErrorKind::IsADirectory},
      {ENOTDIR, IoErrorKind::NotADirectory},
      {EINTR, IoErrorKind::Interrupted},
      {EAGAIN, IoErrorKind::WouldBlock},
      {ETIMEDOUT, IoErrorKind::TimedOut},
      {EPIPE, IoErrorKind::BrokenPipe},
      {ECONNREFUSED, IoErrorKind::ConnectionRefused},
      {ECONNRESET, IoErrorKind::ConnectionReset},
      {ECONNABORTED, IoErrorKind::ConnectionAborted},
      {ENOMEM, IoErrorKind::OutOfMemory},
      {ESPIPE, IoErrorKind::Other},
      {EIO, IoErrorKind::Other},
      {ENOSPC, IoErrorKind::Other},
  };
  for (const auto& [os_errno, kind] : table) {
    const IoError error = IoError::from_errno(os_errno);
    EXPECT_EQ(error.kind(), kind) << "errno " << os_errno;
    EXPECT_EQ(error.os_errno(), os_errno);
  }
}

TEST(IoErrorTest, MessagesAreTheLibraryTextWithTheNumberOrAFixedText) {
  const std::pair<IoError, std::string> table[] = {
      {IoError::from_errno(ENOENT), "No such file or directory (os error 2)"},
      {IoError::from_errno(EACCES), "Permission denied (os error 13)"},
      {IoError::from_errno(EISDIR), "Is a directory (os error 21)"},
      {IoError::from_errno(4242), "Unknown error 4242 (os error 4242)"},
      {IoError::unexpected_eof(), "failed to fill whole buffer"},
      {IoError::nul_in_path(), "file name contained an unexpected NUL byte"},
  };
  for (const auto& [error, text] : table) EXPECT_EQ(error.message(), text);
}

}  // namespace
}  // namespace velk::test

// Tests of the event stream: exact reads and their failures, the buffer policy, 64-bit order, rewind,
// open failures, the descriptor's flags and lifetime, and retries after signals.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <atomic>
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
  if (Status s = stream.read_exact(reinterpret_cast<std::byte*>(out.data()), n); !s) {
    throw std::runtime_error(describe(s.error()));
  }
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
    const char* message;
  } cases[] = {
      {"empty file", open_stream(dir.write("empty", {})), 0, IoErrorKind::UnexpectedEof,
       "failed to fill whole buffer"},
      {"file ends inside a field", open_stream(dir.write("six", {1, 2, 3, 4, 5, 6})), 1,
       IoErrorKind::UnexpectedEof, "failed to fill whole buffer"},
      {"read error inside a field", hole.stream(), 1, IoErrorKind::Other, "Input/output error (os error 5)"},
      {"directory", open_stream(dir.path()), 0, IoErrorKind::IsADirectory, "Is a directory (os error 21)"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(c.stream.read_exact(nullptr, 0));
    for (std::size_t i = 0; i < c.good_words; ++i) EXPECT_EQ(take(c.stream.read_u32()), 0x04030201u);
    const Result<std::uint32_t> failed = c.stream.read_u32();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind(), c.kind);
    EXPECT_EQ(failed.error().message(), c.message);
  }
  EXPECT_EQ(IoError::from_errno(4242).message(), "Unknown error 4242 (os error 4242)");
}

TEST_F(StreamTest, BytesDeliveredBeforeEndOfFileStayConsumed) {
  const std::string path = dir.write("six", {1, 2, 3, 4, 5, 6});
  EventStream stream = open_stream(path);
  EXPECT_EQ(take(stream.read_u32()), 0x04030201u);
  EXPECT_FALSE(stream.read_u32());
  write_file(path, {0xAA, 0xBB, 0xCC, 0xDD}, "a");  // reading resumes after bytes 5 and 6
  EXPECT_EQ(take(stream.read_u32()), 0xDDCCBBAAu);
}

// Reads `before` bytes, then `request` bytes, then overwrites the rest of the file. The old bytes come
// back exactly as far as the buffer held them, which shows whether the request went through a refill
// of the buffer or straight into the caller's memory with only the lookahead buffered. A buffer
// larger than kBufferCapacity (C) is refilled by R = kBufferCapacity bytes for a large request.
TEST_F(StreamTest, LargeReadsGoStraightToTheCallerAndBufferOnlyTheLookahead) {
  for (const std::size_t C : {kBufferCapacity, std::size_t{1} << 20}) {
    SCOPED_TRACE("buffer " + std::to_string(C));
    const std::size_t D = direct_bytes(C), L = kLookahead, R = kBufferCapacity;
    struct Case {
      std::size_t before, request, file_size, buffered;
    };
    const Case cases[] = {
        {0, 100, 4 * C, C - 100},  // one refill serves a small request; the rest stays buffered
        {0, D - 1, 4 * C, C - D + 1},
        {0, D, 4 * C, L},  // straight into the caller's memory, the lookahead into the buffer
        {0, 2 * C, 4 * C, L},
        {0, D, D + 10, 10},                    // the lookahead stops at the end of the file
        {4, C - 4, 4 * C, 0},                  // exactly the buffered bytes
        {4, C - 4 + D - 1, 4 * C, R - D + 1},  // the buffered bytes, then a refill for the rest
        {4, C - 4 + D, 4 * C, L},              // the buffered bytes, then the rest straight from the file
    };
    for (const Case& c : cases) {
      SCOPED_TRACE("before " + std::to_string(c.before) + ", request " + std::to_string(c.request));
      const Bytes original = pattern_bytes(c.file_size);
      const std::string path = dir.write("pattern", original);
      EventStream stream = open_stream(path, C);
      EXPECT_EQ(read_bytes(stream, c.before), slice(original, 0, c.before));
      EXPECT_EQ(read_bytes(stream, c.request), slice(original, c.before, c.request));
      const std::size_t next = c.before + c.request;
      EXPECT_EQ(stream.position(), next);
      Bytes fresh = slice(original, next, c.file_size - next);
      for (std::uint8_t& byte : fresh) byte = static_cast<std::uint8_t>(~byte);
      write_file(path, fresh, "r+", static_cast<long>(next));
      Bytes expected = slice(original, next, c.buffered);
      expected.insert(expected.end(), fresh.begin() + static_cast<long>(c.buffered), fresh.end());
      EXPECT_EQ(read_bytes(stream, fresh.size()), expected);
    }
  }
}

TEST_F(StreamTest, SixtyFourBitValuesAreLowWordFirstAlsoAcrossTheBufferEnd) {
  for (std::size_t offset : {std::size_t{0}, kBufferCapacity - 4, kBufferCapacity - 2}) {
    SCOPED_TRACE("offset " + std::to_string(offset));
    Bytes file(offset, 0x55);
    file.insert(file.end(), {1, 0, 0, 0, 2, 0, 0, 0});
    EventStream stream = open_stream(dir.write("u64", file));
    EXPECT_TRUE(stream.skip(offset));
    EXPECT_EQ(take(stream.read_u64()), (std::uint64_t{1} << 33) + 1);
  }
}

TEST_F(StreamTest, RewindDropsTheBufferAndRereadsTheFileFromItsFirstByte) {
  const Bytes original = pattern_bytes(20000);
  for (std::size_t before : {4, 20000}) {
    SCOPED_TRACE("after reading " + std::to_string(before) + " bytes");
    const std::string path = dir.write("pattern", original);
    EventStream stream = open_stream(path);
    EXPECT_EQ(read_bytes(stream, before), slice(original, 0, before));
    write_file(path, {0xDE, 0xAD, 0xBE, 0xEF}, "r+");  // visible only once the buffer is dropped
    ASSERT_TRUE(stream.rewind());
    EXPECT_EQ(take(stream.read_u32()), 0xEFBEADDEu);
    EXPECT_EQ(read_bytes(stream, 19996), slice(original, 4, 19996));
  }
}

TEST_F(StreamTest, OpenFailuresCarryTheirKindAndText) {
  const std::string file = dir.write("file", {1, 2, 3, 4});
  const struct {
    std::string path;
    IoErrorKind kind;
    const char* message;
  } cases[] = {
      {dir.path() + "/missing", IoErrorKind::NotFound, "No such file or directory (os error 2)"},
      {file + "/child", IoErrorKind::NotADirectory, "Not a directory (os error 20)"},
      // The part before the NUL names an existing file, so reaching open(2) would succeed.
      {file + std::string(1, '\0') + "tail", IoErrorKind::InvalidInput,
       "file name contained an unexpected NUL byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const Result<EventStream> stream = EventStream::open(c.path);
    ASSERT_FALSE(stream);
    EXPECT_EQ(stream.error().kind(), c.kind);
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

// Waits until thread `tid` sleeps inside system call `number`, as /proc reports it.
bool blocked_in(pid_t tid, long number) {
  const std::string file = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  for (int i = 0; i < 5000; ++i) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    if (line.rfind(std::to_string(number) + " ", 0) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// return_to goes back within the buffer without the file (so also on a pipe), and by seeking when the
// bytes have left the buffer; a pipe cannot seek, and its bytes then stay consumed.
TEST_F(StreamTest, ReturnToGoesBackWithinTheBufferOrBySeeking) {
  const Bytes bytes = pattern_bytes(3 * kBufferCapacity);
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  // Room for the whole write, so that it cannot block before anything reads.
  ASSERT_GE(::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(4 * kBufferCapacity)), 0);
  ASSERT_EQ(::write(fds[1], bytes.data(), 2 * kBufferCapacity), static_cast<ssize_t>(2 * kBufferCapacity));
  ::close(fds[1]);
  EventStream file = open_stream(dir.write("file", bytes));
  EventStream pipe = take(EventStream::adopt(FileDescriptor(fds[0])));
  for (EventStream* stream : {&file, &pipe}) {
    SCOPED_TRACE(stream == &file ? "file" : "pipe");
    read_bytes(*stream, 10);
    const std::uint64_t mark = stream->position();
    read_bytes(*stream, 100);
    EXPECT_TRUE(stream->return_to(mark));
    EXPECT_EQ(read_bytes(*stream, 100), slice(bytes, 10, 100));
    read_bytes(*stream, kBufferCapacity);  // the buffer is refilled: the mark has left it
    const Status back = stream->return_to(mark);
    EXPECT_EQ(back ? "" : describe(back.error()), stream == &file ? "" : "io error: Illegal seek (os error 29)");
    const std::size_t at = stream == &file ? 10 : 110 + kBufferCapacity;
    EXPECT_EQ(stream->position(), at);
    EXPECT_EQ(read_bytes(*stream, 8), slice(bytes, at, 8));
  }
}

// start_at moves anywhere in the file, as an index asks: within the buffer forwards and backwards
// without a system call, beyond it by seeking; the event it notes is where return_to comes back to.
TEST_F(StreamTest, StartAtMovesWithinTheBufferOrBySeekingAndBeginsAnEventThere) {
  const Bytes bytes = pattern_bytes(3 * kBufferCapacity);
  EventStream stream = open_stream(dir.write("file", bytes));
  read_bytes(stream, 16);  // the buffer now holds the file's first kBufferCapacity bytes
  for (const std::uint64_t offset : std::initializer_list<std::uint64_t>{
           100, 4, kBufferCapacity - 8, 2 * kBufferCapacity + 5, 30, 3 * kBufferCapacity}) {
    SCOPED_TRACE(offset);
    ASSERT_TRUE(stream.start_at(offset));
    EXPECT_EQ(stream.position(), offset);
    const std::size_t n = std::min<std::size_t>(8, bytes.size() - offset);
    EXPECT_EQ(read_bytes(stream, n), slice(bytes, offset, n));
    EXPECT_TRUE(stream.return_to(offset));
    EXPECT_EQ(read_bytes(stream, n), slice(bytes, offset, n));
  }
  EXPECT_FALSE(stream.read_u32());  // the last offset was the end of the file
}

// A FIFO blocks open(2) until a writer comes and read(2) until it writes. A signal without SA_RESTART
// interrupts each call once; the stream must go back into the same call both times.
TEST_F(StreamTest, OpenAndReadInterruptedBySignalsAreRetried) {
  struct sigaction action = {}, previous = {};
  action.sa_handler = count_signal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  signals_caught = 0;
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  const pid_t tid = ::gettid();
  const pthread_t self = ::pthread_self();
  std::vector<bool> seen;
  std::thread helper([&] {
    const auto interrupt = [&](long number) {
      seen.push_back(blocked_in(tid, number));
      const int before = signals_caught;
      ::pthread_kill(self, SIGUSR1);
      while (signals_caught == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      seen.push_back(blocked_in(tid, number));
    };
    interrupt(SYS_openat);
    // Non-blocking, so that a reader which gave up cannot leave the helper waiting for it.
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    interrupt(SYS_read);
    const std::uint8_t data[4] = {1, 2, 3, 4};
    if (writer >= 0) (void)!::write(writer, data, sizeof data);
    ::close(writer);
  });
  Result<EventStream> stream = EventStream::open(fifo);
  const Result<std::uint32_t> value = stream ? stream->read_u32() : Result<std::uint32_t>(stream.error());
  helper.join();
  ::sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_EQ(seen, std::vector<bool>(4, true)) << "open, open again, read, read again";
  EXPECT_EQ(signals_caught, 2);
  ASSERT_TRUE(value) << describe(value.error());
  EXPECT_EQ(*value, 0x04030201u);
}

}  // namespace
}  // namespace velk::test

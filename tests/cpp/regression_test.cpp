// Regression tests for faults found by fuzzing and hostile-input runs of the decoding layer.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "event_stream/event_stream.hpp"
#include "event_stream/sample_block.hpp"
#include "wd1_reader/wd1_reader.hpp"
#include "wd2_reader/wd2_reader.hpp"

namespace velk {
namespace {

using Bytes = std::vector<std::uint8_t>;

// An in-memory file; `stream()` reads it from byte 0 through its own descriptor, and `append`
// grows it behind an open stream.
class MemoryFile {
 public:
  explicit MemoryFile(const Bytes& bytes) : fd_(memfd_create("velk-regression", MFD_CLOEXEC)) {
    if (fd_ < 0) std::abort();
    append(bytes);
  }
  ~MemoryFile() { ::close(fd_); }

  void append(const Bytes& bytes) const {
    if (::pwrite(fd_, bytes.data(), bytes.size(), ::lseek(fd_, 0, SEEK_END)) !=
        static_cast<ssize_t>(bytes.size())) {
      std::abort();
    }
  }

  EventStream stream() const {
    Result<EventStream> stream = EventStream::open("/proc/self/fd/" + std::to_string(fd_));
    if (!stream) std::abort();
    return std::move(*stream);
  }

 private:
  int fd_;
};

Bytes pattern(std::size_t n) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

void put_u32(Bytes& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// A header claiming a block of nearly 2 GiB, followed by `tail` bytes of samples.
Bytes wd1_claiming_two_gib(std::size_t tail) {
  Bytes bytes;
  for (std::uint32_t word : {0x7FFF'FFFFu, 1u, 2u, 3u, 4u, 5u}) put_u32(bytes, word);
  const Bytes samples = pattern(tail);
  bytes.insert(bytes.end(), samples.begin(), samples.end());
  return bytes;
}

Bytes wd2_two_events_then_claim(std::uint32_t claimed_samples, std::size_t tail) {
  Bytes bytes;
  for (std::uint32_t counter : {0u, 1u, 2u}) {  // 24-byte headers: counter, time tag, samples, period
    put_u32(bytes, counter);
    put_u32(bytes, 0);
    put_u32(bytes, 0);
    put_u32(bytes, counter == 2 ? claimed_samples : 1);
    put_u32(bytes, 9);
    put_u32(bytes, 0);
    if (counter < 2) put_u32(bytes, 0x3F80'0000u);  // one sample, 1.0
  }
  const Bytes samples = pattern(tail);
  bytes.insert(bytes.end(), samples.begin(), samples.end());
  return bytes;
}

// Block sizes around the size allocated up front: the vector always ends at exactly the claimed length
// with every byte in place, and the stream stops right after the block.
class SampleBlockSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SampleBlockSizes, CompleteBlocksArriveIntactAtTheirExactSize) {
  const std::size_t count = GetParam();
  Bytes bytes = pattern(count * 2);
  put_u32(bytes, 0xA1B2'C3D4u);
  MemoryFile file(bytes);
  EventStream stream = file.stream();
  SampleBlock<std::uint16_t> block = read_sample_block<std::uint16_t>(stream, count);
  ASSERT_TRUE(std::holds_alternative<SampleVector<std::uint16_t>>(block));
  const auto& samples = std::get<SampleVector<std::uint16_t>>(block);
  ASSERT_EQ(samples.size(), count);
  if (count != 0) {
    EXPECT_EQ(0, std::memcmp(samples.data(), bytes.data(), count * 2));
  }
  const Result<std::uint32_t> after = stream.read_u32();
  ASSERT_TRUE(after);
  EXPECT_EQ(*after, 0xA1B2'C3D4u);
}

constexpr std::size_t kEagerSamples = kEagerBlockBytes / 2;
INSTANTIATE_TEST_SUITE_P(AroundTheEagerSize, SampleBlockSizes,
                         ::testing::Values(0, 1, kEagerSamples - 1, kEagerSamples, kEagerSamples + 1,
                                           2 * kEagerSamples + 3, 5 * kEagerSamples));

// A block that claims far more than the file holds ends at end of file with every byte it found
// consumed: data appended afterwards is read from where the block stopped.
TEST(SampleBlockClaims, ShortFileEndsAtEndOfFileWithItsBytesConsumed) {
  for (const std::size_t available : {std::size_t{0}, std::size_t{100}, kEagerBlockBytes + 6}) {
    SCOPED_TRACE(available);
    MemoryFile file(pattern(available));
    EventStream stream = file.stream();
    SampleBlock<float> block = read_sample_block<float>(stream, (std::size_t{1} << 29) - 1);
    ASSERT_TRUE(std::holds_alternative<IoError>(block));
    EXPECT_EQ(std::get<IoError>(block).kind(), IoErrorKind::UnexpectedEof);
    file.append({0x78, 0x56, 0x34, 0x12});
    const Result<std::uint32_t> next = stream.read_u32();
    ASSERT_TRUE(next);
    EXPECT_EQ(*next, 0x1234'5678u);
  }
}

// A short file that claims a nearly 2 GiB block must end in end of data even where the address space
// cannot hold such a block; the child process runs the reader under a limit that leaves 256 MiB free.
// Exit status of the child: 0 when run() holds, 1 when it does not, 3 or 4 when the limit failed.
template <class Run>
int run_with_limited_address_space(Run& run) {
  std::size_t pages = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr || std::fscanf(statm, "%zu", &pages) != 1) return 3;
  std::fclose(statm);
  const rlim_t limit = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
  const rlimit bound{limit, limit};
  if (::setrlimit(RLIMIT_AS, &bound) != 0) return 4;
  return run() ? 0 : 1;
}

template <class Run>
void in_limited_address_space(Run run) {
  EXPECT_EXIT(std::_Exit(run_with_limited_address_space(run)), ::testing::ExitedWithCode(0), "");
}

TEST(HugeClaims, WD1ShortFileEndsInEndOfDataUnderAnAddressSpaceLimit) {
  MemoryFile file(wd1_claiming_two_gib(40));
  in_limited_address_space([&] {
    WD1Reader reader(file.stream());
    return std::holds_alternative<EndOfData>(reader.next());
  });
}

TEST(HugeClaims, WD2ShortFileEndsInEndOfDataUnderAnAddressSpaceLimit) {
  MemoryFile file(wd2_two_events_then_claim(0x1FFF'FFFFu, 40));  // a block of 2^31 - 4 bytes
  in_limited_address_space([&] {
    ProbeOutcome probe = WD2Reader::open(file.stream());
    auto* reader = std::get_if<WD2Reader>(&probe);
    if (reader == nullptr || reader->layout_channels() != 1) return false;
    for (int i = 0; i < 2; ++i) {
      if (!std::holds_alternative<WD2Event>(reader->next())) return false;
    }
    return std::holds_alternative<EndOfData>(reader->next());
  });
}

}  // namespace
}  // namespace velk

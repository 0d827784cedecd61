// Sample blocks larger than the size allocated up front, found by fuzzing and hostile-input runs: they
// must arrive intact, and a short file that claims one must end in end of data without the memory.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>

#include "event_stream/sample_block.hpp"
#include "test_support.hpp"

namespace velk::test {
namespace {

constexpr std::size_t kEagerSamples = kEagerBlockBytes / 2;

// The vector ends at exactly the claimed length with every byte in place, and the stream stops right
// after the block.
TEST(SampleBlock, CompleteBlocksArriveIntactAtTheirExactSize) {
  TempDir dir;
  for (std::size_t count :
       {std::size_t{0}, kEagerSamples - 1, kEagerSamples, kEagerSamples + 1, 2 * kEagerSamples + 3}) {
    SCOPED_TRACE(count);
    const Bytes bytes = pattern_bytes(count * 2);
    EventStream stream = open_stream(dir.write("block", concat({bytes, {0xD4, 0xC3, 0xB2, 0xA1}})));
    SampleBlock<std::uint16_t> block = read_sample_block<std::uint16_t>(stream, count);
    ASSERT_TRUE(std::holds_alternative<SampleVector<std::uint16_t>>(block));
    const auto& samples = std::get<SampleVector<std::uint16_t>>(block);
    ASSERT_EQ(samples.size(), count);
    EXPECT_TRUE(
        std::equal(bytes.begin(), bytes.end(), reinterpret_cast<const std::uint8_t*>(samples.data())));
    EXPECT_EQ(take(stream.read_u32()), 0xA1B2C3D4u);
  }
}

// A block that claims far more than the file holds ends at end of file with every byte it found
// consumed: data appended afterwards is read from where the block stopped.
TEST(SampleBlock, ShortFileEndsAtEndOfFileWithItsBytesConsumed) {
  TempDir dir;
  for (std::size_t available : {std::size_t{0}, std::size_t{100}, kEagerBlockBytes + 6}) {
    SCOPED_TRACE(available);
    const std::string path = dir.write("short", pattern_bytes(available));
    EventStream stream = open_stream(path);
    SampleBlock<float> block = read_sample_block<float>(stream, (std::size_t{1} << 29) - 1);
    ASSERT_TRUE(std::holds_alternative<IoError>(block));
    EXPECT_EQ(std::get<IoError>(block).kind(), IoErrorKind::UnexpectedEof);
    write_file(path, {0x78, 0x56, 0x34, 0x12}, "a");
    EXPECT_EQ(take(stream.read_u32()), 0x12345678u);
  }
}

// Runs `run` in a child process whose address space leaves only 256 MiB free; it must return true.
template <class Run>
void in_limited_address_space(Run run) {
  const auto limited = [&] {
    std::size_t pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%zu", &pages) != 1) return 3;
    const rlim_t limit = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
    const rlimit bound{limit, limit};
    if (::setrlimit(RLIMIT_AS, &bound) != 0) return 4;
    return run() ? 0 : 1;
  };
  EXPECT_EXIT(std::_Exit(limited()), ::testing::ExitedWithCode(0), "");
}

TEST(HugeClaims, ShortFilesEndInEndOfDataUnderAnAddressSpaceLimit) {
  TempDir dir;
  const std::string wd1 = dir.write("wd1", concat({wd1_event({}, 1, 0x7FFFFFFF), pattern_bytes(40)}));
  in_limited_address_space(
      [&] { return std::holds_alternative<EndOfData>(WD1Reader(open_stream(wd1)).next()); });

  // Two one-sample events without a word, then one claiming a block of 2^31 - 4 bytes.
  const std::string wd2 =
      dir.write("wd2", concat({wd2_event({0, 0, 1, 9, {}}, {1.0f}), wd2_event({1, 0, 1, 9, {}}, {1.0f}),
                               wd2_event({2, 0, 0x1FFFFFFF, 9, {}}, {}), pattern_bytes(40)}));
  in_limited_address_space([&] {
    ProbeOutcome probe = WD2Reader::open(open_stream(wd2));
    auto* reader = std::get_if<WD2Reader>(&probe);
    return reader != nullptr && reader->layout_channels() == 1 && describe(reader->next()) == "event" &&
           describe(reader->next()) == "event" && describe(reader->next()) == "end of data";
  });
}

// An event whose samples cannot be held is skipped whole, so the next call decodes the event after it;
// cut short, it is a partial event that ends the data and stays unconsumed, call after call.
TEST(HugeClaims, EventsTooLargeForMemoryAreSkippedWhole) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer's allocator reserves its memory before the limit is set";
#endif
  TempDir dir;
  constexpr std::uint32_t kSamples = 200u << 20;  // 400 MiB of samples
  const std::string path = dir.write("wd1", wd1_event({}, 1, 24 + 2 * kSamples));
  if (::truncate(path.c_str(), 24 + 2 * off_t{kSamples}) != 0) fail("truncate");
  write_file(path, wd1_event(ramp(3, 5), 2), "a");
  const std::string cut = dir.write("cut", wd1_event({}, 1, 24 + 2 * kSamples));
  if (::truncate(cut.c_str(), 24 + off_t{kSamples}) != 0) fail("truncate");
  in_limited_address_space([&] {
    WD1Reader reader(open_stream(path));
    WD1Reader short_reader(open_stream(cut));
    return describe(reader.next()) == "decode error: cannot allocate 419430400 bytes for the samples" &&
           to_vector(take_event(reader.next()).data) == ramp(3, 5) &&
           describe(short_reader.next()) == "end of data" && describe(short_reader.next()) == "end of data";
  });
}

}  // namespace
}  // namespace velk::test

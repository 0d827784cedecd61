// Tests of WD2 decoding: the channel-layout probe's decisions and failures, block lengths, sample bit
// patterns and reading on after the file grows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <type_traits>

#include "test_support.hpp"

namespace velk::test {
namespace {

constexpr const char* kEof = "io error: failed to fill whole buffer";

std::string too_large(std::uint64_t bytes) {
  return "decode error: data block of " + std::to_string(bytes) +
         " bytes exceeds the limit of 2147483647 bytes";
}

// `count` events from `first`, counters and time tags counting up; each block holds `values` floats.
Bytes series(std::size_t count, WD2Header header, std::size_t values, float first_value = 1.0f) {
  Bytes out;
  for (std::size_t i = 0; i < count; ++i) {
    out = concat({out, wd2_event(header, float_ramp(values, first_value + static_cast<float>(i)))});
    ++header.event_counter;
    header.timestamp += 1000;
  }
  return out;
}

WD2Header with_word(std::int32_t channels, std::uint32_t samples, std::uint32_t counter = 10) {
  return {counter, 5000, samples, 8, channels};
}

// A pair of events with channel words whose second header is `second`; blocks sized by each own word.
Bytes pair(const WD2Header& first, const WD2Header& second) {
  const auto values = [](const WD2Header& h) {
    return std::size_t{h.samples} * std::size_t(*h.channels);
  };
  return concat({wd2_event(first, float_ramp(values(first), 1)),
                 wd2_event(second, float_ramp(values(second), 2))});
}

// `h` with one field set to `value`.
template <class T>
WD2Header with(WD2Header h, T WD2Header::*field, std::type_identity_t<T> value) {
  h.*field = value;
  return h;
}

WD2Header next(WD2Header h) { return with(h, &WD2Header::event_counter, h.event_counter + 1); }

class WD2ReaderTest : public ::testing::Test {
 protected:
  WD2Reader open(const Bytes& file) { return open_wd2(path = dir.write("wd2", file)); }

  TempDir dir;
  std::string path;
};

TEST_F(WD2ReaderTest, ProbeDecidesTheLayoutFromTheFirstTwoEvents) {
  const WD2Header h = with_word(2, 4);
  std::vector<float> zero_first = {0, 1, 2, 3, 0, 5, 6, 7, 8};
  std::vector<float> big_first = float_ramp(1024, 2048.0f);
  const struct {
    const char* name;
    Bytes file;
    std::string expected;
  } cases[] = {
      {"channel word 4", series(3, with_word(4, 256), 1024), "layout_channels 4"},
      {"no word, first sample 0.0",
       concat({wd2_event({1, 0, 9, 8, {}}, zero_first), wd2_event({2, 0, 9, 8, {}}, zero_first)}),
       "layout_channels 1"},
      {"no word, 1024 samples starting at 2048.0",
       concat({wd2_event({1, 0, 1024, 8, {}}, big_first), wd2_event({2, 0, 1024, 8, {}}, big_first)}),
       "layout_channels 1"},
      {"counter wraps", pair(with_word(3, 4, 0xFFFFFFFF), with_word(3, 4, 0)), "layout_channels 3"},
      {"time tags differ", pair(h, with(next(h), &WD2Header::timestamp, ~0ull)), "layout_channels 2"},
      {"counter skips", pair(h, with(h, &WD2Header::event_counter, 12)), "layout_channels 1"},
      {"counter repeats", pair(h, h), "layout_channels 1"},
      {"samples differ", pair(h, with(next(h), &WD2Header::samples, 5)), "layout_channels 1"},
      {"period differs in the high word",
       pair(h, with(next(h), &WD2Header::sampling_period, 8 + (1ull << 32))), "layout_channels 1"},
      {"channel words differ", pair(h, with(next(h), &WD2Header::channels, 3)), "layout_channels 1"},
      {"channel word 1", series(2, with_word(1, 4), 4), "layout_channels 1"},
      {"channel word 0", series(3, with_word(0, 4), 0), "layout_channels 0"},
      {"second block truncated", slice(series(2, h, 8), 0, 2 * 28 + 32 + 5), "layout_channels 2"},
      {"empty file", {}, kEof},
      {"one event with a word", series(1, h, 8), kEof},
      {"first block cut short", slice(series(2, h, 8), 0, 28 + 10), kEof},
      // Without a word, the first sample's bits become the channel word: 1.5 with 16 samples gives a
      // 0xF0000000-byte block, 250.0 with 500 samples one that runs past the end of the file.
      {"one event without a word, block beyond the limit", series(1, {1, 0, 16, 8, {}}, 16, 1.5f),
       too_large(0xF0000000)},
      {"one event without a word, block past the end", series(1, {1, 0, 500, 8, {}}, 500, 250.0f), kEof},
      // The first sample's bits (2) give a first block of 2 x 4 x 4 bytes that fits, but the second
      // header would run past the end: the reading without a word is tried, and it fits.
      {"no word, second header past the end",
       concat({wd2_event_bits({1, 0, 4, 8, {}}, {2, 0, 0, 0}),
               wd2_event_bits({2, 0, 4, 8, {}}, {2, 0, 0, 0})}),
       "layout_channels 1"},
      {"one event with a word, cut inside the second header",
       concat({series(1, h, 8), slice(series(1, next(h), 8), 0, 20)}), kEof},
      {"no word, block beyond the limit, counters not consecutive",
       concat({series(1, {1, 0, 16, 8, {}}, 16, 1.5f), series(1, {5, 0, 16, 8, {}}, 16, 1.5f)}),
       too_large(0xF0000000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    path = dir.write("wd2", c.file);
    ProbeOutcome outcome = WD2Reader::open(open_stream(path));
    EXPECT_EQ(describe(outcome), c.expected);
    if (auto* reader = std::get_if<WD2Reader>(&outcome)) {
      // The reader starts again at byte 0, whatever the probe read.
      const WD2Event first = take_event(reader->next());
      EXPECT_EQ(first.event_counter, u32_at(c.file, 0));
      EXPECT_EQ(first.timestamp, u64_at(c.file, 4));
    } else {
      EXPECT_TRUE(fds_open_on(path).empty()) << "a failed probe left the file open";
    }
  }
}

TEST_F(WD2ReaderTest, SingleChannelFilesWithoutAWordReadBackExactly) {
  for (float first : {1.5f, 250.0f, -7.25f}) {
    for (std::uint32_t samples : {16u, 500u, 4096u}) {
      SCOPED_TRACE("first sample " + std::to_string(first) + ", samples " + std::to_string(samples));
      const WD2Header header = {7, 123456789, samples, 4, {}};
      WD2Reader reader = open(series(3, header, samples, first));
      EXPECT_EQ(reader.layout_channels(), 1);
      for (std::uint32_t i = 0; i < 3; ++i) {
        const WD2Event event = take_event(reader.next());
        EXPECT_EQ(event.event_counter, 7 + i);
        EXPECT_EQ(event.timestamp, 123456789 + 1000 * i);
        EXPECT_EQ(event.samples, samples);
        EXPECT_EQ(event.sampling_period, 4u);
        EXPECT_EQ(event.channels, 1);
        EXPECT_EQ(to_vector(event.data), float_ramp(samples, first + static_cast<float>(i)));
      }
      EXPECT_EQ(describe(reader.next()), "end of data");
    }
  }
}

TEST_F(WD2ReaderTest, ProbeReportsReadAndSeekErrors) {
  const ProbeOutcome directory = WD2Reader::open(open_stream(dir.path()));
  EXPECT_EQ(describe(directory), "io error: Is a directory (os error 21)");

  // A pipe holds both events, so only the final rewind fails.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const Bytes file = series(2, with_word(2, 4), 8);
  ASSERT_EQ(::write(fds[1], file.data(), file.size()), static_cast<ssize_t>(file.size()));
  ::close(fds[1]);
  const ProbeOutcome pipe = WD2Reader::open(take(EventStream::adopt(FileDescriptor(fds[0]))));
  EXPECT_EQ(describe(pipe), "io error: Illegal seek (os error 29)");
  EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1) << "the failed probe left the pipe open";
}

// Over /proc/self/mem the probe reads two events from a mapped page and rewinds to offset 0, whose
// address is never mapped: every later read fails, and each call reports it (there is no latch).
TEST_F(WD2ReaderTest, ReadErrorsDuringIterationAreReturnedEachTime) {
  const BytesBeforeAHole data(series(2, with_word(2, 4), 8));
  WD2Reader reader = std::get<WD2Reader>(WD2Reader::open(data.stream()));
  for (int call = 0; call < 2; ++call) {
    EXPECT_EQ(describe(reader.next()), "io error: Input/output error (os error 5)");
  }
}

TEST_F(WD2ReaderTest, TruncatedSecondBlockYieldsTheFirstEventOnly) {
  WD2Reader reader = open(slice(series(2, with_word(2, 4), 8), 0, 2 * 28 + 32 + 5));
  EXPECT_EQ(to_vector(take_event(reader.next()).data), float_ramp(8, 1.0f));
  EXPECT_EQ(describe(reader.next()), "end of data");
}

TEST_F(WD2ReaderTest, ChannelWordZeroOrOneMeansNoWordIsRead) {
  // Word 0: every block is empty and the next header starts where the channel word stands.
  const Bytes zero = series(2, with_word(0, 4), 0);
  WD2Reader reader = open(zero);
  const WD2Event first = take_event(reader.next());
  EXPECT_EQ(first.channels, 0);
  EXPECT_EQ(first.data.size(), 0u);
  const WD2Event second = take_event(reader.next());
  EXPECT_EQ(second.event_counter, 0u);  // the channel word's bytes
  EXPECT_EQ(second.timestamp, u64_at(zero, 28));

  // Word 1: the word's four bytes are read as the first sample.
  WD2Reader word_one = open(series(2, with_word(1, 4), 4));
  const WD2Event one = take_event(word_one.next());
  EXPECT_EQ(one.channels, 1);
  ASSERT_EQ(one.data.size(), 4u);
  EXPECT_EQ(float_bits(one.data[0]), 1u);
  EXPECT_EQ(one.data[1], 1.0f);
}

// After two events with channel word 2, one event whose header is given by the case, then a marker
// event: the marker must follow right after the bytes the case's event consumed.
TEST_F(WD2ReaderTest, BlockLengthComesFromTheLayoutAndWrapsAt32Bits) {
  const struct {
    std::int32_t word;
    std::uint32_t samples;
    std::string error;  // empty when an event is expected
    std::size_t values;
  } cases[] = {
      {2, 0, "", 0},
      {2, 3, "", 6},
      {5, 4, "", 8},  // the event's own word does not size the block
      {-1, 4, "", 8},
      {2, 0x20000000, "", 0},  // 2^32 bytes wrap to 0
      {2, 0x20000001, "", 2},
      {2, 0x10000000, too_large(0x80000000), 0},
      {2, 0x1FFFFFFF, too_large(0xFFFFFFF8), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("word " + std::to_string(c.word) + ", samples " + std::to_string(c.samples));
    const Bytes file = concat({series(2, with_word(2, 4), 8),
                               wd2_event(with_word(c.word, c.samples, 40), float_ramp(c.values, -3)),
                               series(1, with_word(2, 1, 50), 2, 0.5f)});
    WD2Reader reader = open(file);
    ASSERT_EQ(reader.layout_channels(), 2);
    EXPECT_EQ(take_event(reader.next()).event_counter, 10u);
    EXPECT_EQ(take_event(reader.next()).event_counter, 11u);
    if (c.error.empty()) {
      const WD2Event event = take_event(reader.next());
      EXPECT_EQ(event.channels, c.word);
      EXPECT_EQ(event.samples, c.samples);
      EXPECT_EQ(to_vector(event.data), float_ramp(c.values, -3));
    } else {
      EXPECT_EQ(describe(reader.next()), c.error);
    }
    const WD2Event marker = take_event(reader.next());
    EXPECT_EQ(marker.event_counter, 50u);
    EXPECT_EQ(to_vector(marker.data), float_ramp(2, 0.5f));
  }
}

TEST_F(WD2ReaderTest, SampleBitPatternsSurvive) {
  const std::vector<std::uint32_t> bits = {0x7FC12345, 0xFFA00001, 0x80000000, 0x00000001,
                                           0x7F800000, 0xFF800000, 0x3F800000, 0x00000000};
  WD2Reader reader =
      open(concat({wd2_event_bits(with_word(2, 4), bits), wd2_event_bits(with_word(2, 4, 11), bits)}));
  const WD2Event event = take_event(reader.next());
  ASSERT_EQ(event.data.size(), bits.size());
  for (std::size_t i = 0; i < bits.size(); ++i) {
    EXPECT_EQ(float_bits(event.data[i]), bits[i]) << "sample " << i;
  }
}

TEST_F(WD2ReaderTest, IncompleteTailEndsTheDataAndReadingResumesAfterIt) {
  const Bytes next_event = series(1, with_word(2, 4, 12), 8);
  const struct {
    const char* name;
    Bytes tail;
  } cases[] = {
      {"nothing", {}},
      {"part of a header", slice(next_event, 0, 10)},
      {"a header and part of its block", slice(next_event, 0, 28 + 6)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WD2Reader reader = open(concat({series(2, with_word(2, 4), 8), c.tail}));
    EXPECT_EQ(take_event(reader.next()).event_counter, 10u);
    EXPECT_EQ(take_event(reader.next()).event_counter, 11u);
    EXPECT_EQ(describe(reader.next()), "end of data");
    append_to(path, series(1, with_word(2, 1, 60), 2, 0.5f));
    const WD2Event appended = take_event(reader.next());
    EXPECT_EQ(appended.event_counter, 60u);
    EXPECT_EQ(to_vector(appended.data), float_ramp(2, 0.5f));
    EXPECT_EQ(describe(reader.next()), "end of data");
  }
}

}  // namespace
}  // namespace velk::test

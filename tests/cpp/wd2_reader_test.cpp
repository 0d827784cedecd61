// Tests of WD2 decoding: the channel-layout probe's decisions and failures, block lengths and their
// limit, read errors, and reading on after the file grows.
#include <gtest/gtest.h>

#include <type_traits>

#include "test_support.hpp"

namespace velk::test {
namespace {

constexpr const char* kEof = "io error: failed to fill whole buffer";

std::string too_large(std::uint64_t bytes) {
  return "decode error: data block of " + std::to_string(bytes) +
         " bytes exceeds the limit of 2147483647 bytes";
}

// `count` events from `header`, counters and time tags counting up; each block holds `values` floats.
Bytes series(std::size_t count, WD2Header header, std::size_t values, float first_value = 1.0f) {
  Bytes out;
  for (std::size_t i = 0; i < count; ++i) {
    out = concat({out, wd2_event(header, float_ramp(values, first_value + static_cast<float>(i)))});
    ++header.event_counter;
    header.timestamp += 1000;
  }
  return out;
}

WD2Header word(std::int32_t channels, std::uint32_t samples, std::uint32_t counter = 10) {
  return {counter, 5000, samples, 8, channels};
}
WD2Header no_word(std::uint32_t counter, std::uint32_t samples) { return {counter, 0, samples, 8, {}}; }

// `h` with one field set to `value`, and the header that continues `h`.
template <class T>
WD2Header with(WD2Header h, T WD2Header::*field, std::type_identity_t<T> value) {
  h.*field = value;
  return h;
}
WD2Header next(WD2Header h) { return with(h, &WD2Header::event_counter, h.event_counter + 1); }

// Two events with channel words, blocks sized by each one's own word.
Bytes pair(const WD2Header& first, const WD2Header& second) {
  const auto values = [](const WD2Header& h) { return std::size_t{h.samples} * std::size_t(*h.channels); };
  return concat(
      {wd2_event(first, float_ramp(values(first), 1)), wd2_event(second, float_ramp(values(second), 2))});
}

// A stream over a pipe that holds `file` (smaller than the pipe's buffer) and then ends.
EventStream pipe_stream(const Bytes& file) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const ssize_t wrote = ::write(fds[1], file.data(), file.size());
  ::close(fds[1]);
  if (wrote != static_cast<ssize_t>(file.size())) throw std::runtime_error("short write to the pipe");
  return take(EventStream::adopt(FileDescriptor(fds[0])));
}

class WD2ReaderTest : public ::testing::Test {
 protected:
  WD2Reader open(const Bytes& file) {
    ProbeOutcome outcome = WD2Reader::open(open_stream(path = dir.write("wd2", file)));
    if (auto* reader = std::get_if<WD2Reader>(&outcome)) return std::move(*reader);
    throw std::runtime_error("cannot probe: " + describe(outcome));
  }

  TempDir dir;
  std::string path;
};

TEST_F(WD2ReaderTest, ProbeDecidesTheLayoutFromTheFirstTwoEvents) {
  const WD2Header h = word(2, 4);
  const std::vector<float> zero_first = {0, 1, 2, 3, 0, 5, 6, 7, 8};
  const std::vector<float> bits_two = {std::bit_cast<float>(2u), 0, 0, 0};
  const struct {
    const char* name;
    Bytes file;
    std::string expected;
  } cases[] = {
      {"channel word 4", series(3, word(4, 256), 1024), "layout_channels 4"},
      {"no word, first sample 0.0",
       concat({wd2_event(no_word(1, 9), zero_first), wd2_event(no_word(2, 9), zero_first)}),
       "layout_channels 1"},
      {"no word, 1024 samples starting at 2048.0", series(2, no_word(1, 1024), 1024, 2048.0f),
       "layout_channels 1"},
      {"counter wraps", pair(word(3, 4, 0xFFFFFFFF), word(3, 4, 0)), "layout_channels 3"},
      {"time tags differ", pair(h, with(next(h), &WD2Header::timestamp, ~0ull)), "layout_channels 2"},
      {"counter skips", pair(h, with(h, &WD2Header::event_counter, 12)), "layout_channels 1"},
      {"counter repeats", pair(h, h), "layout_channels 1"},
      {"samples differ", pair(h, with(next(h), &WD2Header::samples, 5)), "layout_channels 1"},
      {"period differs in the high word",
       pair(h, with(next(h), &WD2Header::sampling_period, 8 + (1ull << 32))), "layout_channels 1"},
      {"channel words differ", pair(h, with(next(h), &WD2Header::channels, 3)), "layout_channels 1"},
      {"channel word 1", series(2, word(1, 4), 4), "layout_channels 1"},
      {"channel word 0", series(3, word(0, 4), 0), "layout_channels 0"},
      {"second block truncated", slice(series(2, h, 8), 0, 2 * 28 + 32 + 5), "layout_channels 2"},
      {"empty file", {}, kEof},
      {"one event with a word", series(1, h, 8), kEof},
      {"first block cut short", slice(series(2, h, 8), 0, 28 + 10), kEof},
      {"one event with a word, cut inside the second header",
       concat({series(1, h, 8), slice(series(1, next(h), 8), 0, 20)}), kEof},
      // Without a word, the first sample's bits become the channel word: 1.5 with 16 samples gives a
      // 0xF0000000-byte block, 250.0 with 500 samples one that runs past the end of the file. A single
      // such event cannot confirm the reading without a word, so the failure stands.
      {"one event without a word, block beyond the limit", series(1, no_word(1, 16), 16, 1.5f),
       too_large(0xF0000000)},
      {"one event without a word, block past the end", series(1, no_word(1, 500), 500, 250.0f), kEof},
      {"no word, block beyond the limit, counters not consecutive",
       concat({series(1, no_word(1, 16), 16, 1.5f), series(1, no_word(5, 16), 16, 1.5f)}),
       too_large(0xF0000000)},
      // The first sample's bits (2) give a first block of 2 x 4 x 4 bytes that fits, but the second header
      // would run past the end: the reading without a word is tried, and it fits.
      {"no word, second header past the end",
       concat({wd2_event(no_word(1, 4), bits_two), wd2_event(no_word(2, 4), bits_two)}), "layout_channels 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    path = dir.write("wd2", c.file);
    ProbeOutcome outcome = WD2Reader::open(open_stream(path));
    EXPECT_EQ(describe(outcome), c.expected);
    if (auto* reader = std::get_if<WD2Reader>(&outcome)) {
      // The reader starts again at byte 0, whatever the probe read.
      const WD2Event first = take_event(reader->next());
      EXPECT_EQ(first.event_counter, static_cast<std::uint32_t>(u64_at(c.file, 0)));
      EXPECT_EQ(first.timestamp, u64_at(c.file, 4));
    } else {
      EXPECT_TRUE(fds_open_on(path).empty()) << "a failed probe left the file open";
    }
    // From a pipe, replaying what it read instead of seeking, the probe decides the same.
    ProbeOutcome piped = WD2Reader::open(pipe_stream(c.file), nullptr, ProbeReturn::Replay);
    EXPECT_EQ(describe(piped), c.expected);
    if (auto* reader = std::get_if<WD2Reader>(&piped)) {
      EXPECT_EQ(take_event(reader->next()).timestamp, u64_at(c.file, 4));
    }
  }
}

// A file without words whose samples are 2.0 (bits 0x40000000) confirms a word of 2^30 whose first
// block wraps to 0 bytes: the probe keeps that layout but says the block length wraps. A given layout
// reads it, and the one-event file the probe cannot decide, as written.
TEST_F(WD2ReaderTest, GivenLayoutReadsWhatTheProbeCannotAndWrappingBlocksAreFlagged) {
  const Bytes twos = concat({wd2_event(no_word(1, 1), {2.0f}), wd2_event(no_word(2, 1), {2.0f}),
                            wd2_event(no_word(3, 1), {2.0f})});
  ChannelDecision decision{};
  ProbeOutcome probed = WD2Reader::open(open_stream(dir.write("twos", twos)), &decision);
  EXPECT_EQ(describe(probed), "layout_channels 1073741824");
  EXPECT_EQ(decision, ChannelDecision::WordConfirmedWraps);
  EXPECT_STREQ(channel_decision_name(decision), "word confirmed, block length wraps");
  WD2Reader given = WD2Reader::with_layout(open_stream(dir.write("twos", twos)), 1);
  for (std::uint32_t counter : {1u, 2u, 3u}) {
    const WD2Event event = take_event(given.next());
    EXPECT_EQ(event.event_counter, counter);
    ASSERT_EQ(event.data.size(), 1u);
    EXPECT_EQ(event.data.data()[0], 2.0f);
  }
  WD2Reader one = WD2Reader::with_layout(open_stream(dir.write("one", series(1, word(2, 4), 8))), 2);
  const WD2Event event = take_event(one.next());
  EXPECT_EQ(event.channels, 2);
  EXPECT_EQ(event.data.size(), 8u);
  EXPECT_TRUE(std::holds_alternative<EndOfData>(one.next()));
}

TEST_F(WD2ReaderTest, SingleChannelFilesWithoutAWordReadBackExactly) {
  for (float first : {1.5f, 250.0f, -7.25f}) {
    for (std::uint32_t samples : {16u, 500u, 4096u}) {
      SCOPED_TRACE("first sample " + std::to_string(first) + ", samples " + std::to_string(samples));
      WD2Reader reader = open(series(3, {7, 123456789, samples, 4, {}}, samples, first));
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

// Probing a directory fails at the first read. Probing a pipe that holds both events fails at the final
// rewind. Over /proc/self/mem the probe reads two events from a mapped page and rewinds to offset 0,
// whose address is never mapped: every later read fails, and each call reports it (there is no latch).
TEST_F(WD2ReaderTest, ReadAndSeekErrors) {
  EXPECT_EQ(describe(WD2Reader::open(open_stream(dir.path()))), "io error: Is a directory (os error 21)");

  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const Bytes file = series(2, word(2, 4), 8);
  ASSERT_EQ(::write(fds[1], file.data(), file.size()), static_cast<ssize_t>(file.size()));
  ::close(fds[1]);
  EXPECT_EQ(describe(WD2Reader::open(take(EventStream::adopt(FileDescriptor(fds[0]))))),
            "io error: Illegal seek (os error 29)");
  EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1) << "the failed probe left the pipe open";

  const BytesBeforeAHole data(file);
  WD2Reader reader = std::get<WD2Reader>(WD2Reader::open(data.stream()));
  for (int call = 0; call < 2; ++call)
    EXPECT_EQ(describe(reader.next()), "io error: Input/output error (os error 5)");
}

// With channel word 0 every block is empty and the next header starts where the word stands; with word
// 1 the word is not read at all and its four bytes are the first sample.
TEST_F(WD2ReaderTest, ChannelWordZeroOrOneMeansNoWordIsRead) {
  const Bytes zero = series(2, word(0, 4), 0);
  WD2Reader reader = open(zero);
  EXPECT_EQ(take_event(reader.next()).data.size(), 0u);
  const WD2Event second = take_event(reader.next());
  EXPECT_EQ(second.event_counter, 0u);  // the channel word's bytes
  EXPECT_EQ(second.timestamp, u64_at(zero, 28));

  const WD2Event one = take_event(open(series(2, word(1, 4), 4)).next());
  EXPECT_EQ(one.channels, 1);
  EXPECT_EQ(to_vector(one.data), (std::vector<float>{std::bit_cast<float>(1u), 1.0f, 1.25f, 1.5f}));
}

// After two events with channel word 2, one event whose header is given by the case, then a marker
// event: the marker must follow right after the bytes the case's event consumed.
TEST_F(WD2ReaderTest, BlockLengthComesFromTheLayoutWrapsAt32BitsAndHasALimit) {
  const struct {
    std::int32_t word;
    std::uint32_t samples;
    std::string error;  // empty when an event is expected
    std::size_t values;
  } cases[] = {
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
    WD2Reader reader = open(
        concat({series(2, word(2, 4), 8), wd2_event(word(c.word, c.samples, 40), float_ramp(c.values, -3)),
                series(1, word(2, 1, 50), 2, 0.5f)}));
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

// A torn event ends the data without consuming any of it and comes out whole once completed, also when
// its block had to bypass the buffer.
TEST_F(WD2ReaderTest, TornEventEndsTheDataAndComesOutWholeOnceCompleted) {
  const Bytes next_event = series(1, word(2, 3000, 12), 6000);
  for (std::size_t cut : {0, 10, 28 + 6, 28 + 9000}) {
    SCOPED_TRACE("tail of " + std::to_string(cut) + " bytes");
    WD2Reader reader = open(concat({series(2, word(2, 4), 8), slice(next_event, 0, cut)}));
    EXPECT_EQ(take_event(reader.next()).event_counter, 10u);
    EXPECT_EQ(take_event(reader.next()).event_counter, 11u);
    EXPECT_EQ(describe(reader.next()), "end of data");
    write_file(path, concat({slice(next_event, cut, next_event.size() - cut), series(1, word(2, 1, 60), 2, 0.5f)}),
               "a");
    const WD2Event completed = take_event(reader.next());
    EXPECT_EQ(completed.event_counter, 12u);
    EXPECT_EQ(to_vector(completed.data), float_ramp(6000, 1.0f));
    const WD2Event appended = take_event(reader.next());
    EXPECT_EQ(appended.event_counter, 60u);
    EXPECT_EQ(to_vector(appended.data), float_ramp(2, 0.5f));
    EXPECT_EQ(describe(reader.next()), "end of data");
  }
}

}  // namespace
}  // namespace velk::test

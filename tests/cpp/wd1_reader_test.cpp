// Tests of WD1 decoding: sample counts and consumed bytes, malformed sizes, the end-of-data rule, the
// error latch and reading on after the file grows.
#include <gtest/gtest.h>

#include <climits>

#include "test_support.hpp"

namespace velk::test {
namespace {

class WD1ReaderTest : public ::testing::Test {
 protected:
  WD1Reader open(const Bytes& file) { return WD1Reader(open_stream(path = dir.write("wd1", file))); }

  // The event each file ends with; reading it intact shows that everything before it was consumed exactly.
  static void expect_marker(WD1Reader& reader) {
    const WD1Event marker = take_event(reader.next());
    EXPECT_EQ(marker.event_counter, 99);
    EXPECT_EQ(to_vector(marker.data), ramp(3, 0xFFF0));
  }
  static Bytes marker() { return wd1_event(ramp(3, 0xFFF0), 99); }

  TempDir dir;
  std::string path;
};

TEST_F(WD1ReaderTest, SizeGivesTheSampleCountAndTheBytesConsumed) {
  const std::pair<std::uint32_t, std::size_t> cases[] = {
      // event_size, samples (24 + 2N bytes)
      {23, 0}, {24, 0}, {25, 0}, {26, 1}, {27, 1}, {1048, 512}, {1049, 512}, {10025, 5000}};
  for (const auto& [event_size, count] : cases) {
    SCOPED_TRACE("event_size " + std::to_string(event_size));
    WD1Reader reader = open(concat({wd1_event(ramp(count, 40000), 5, event_size), marker()}));
    const WD1Event event = take_event(reader.next());
    EXPECT_EQ(event.event_size, static_cast<std::int32_t>(event_size));
    EXPECT_EQ(to_vector(event.data), ramp(count, 40000));
    expect_marker(reader);
    EXPECT_EQ(describe(reader.next()), "end of data");
  }
}

TEST_F(WD1ReaderTest, HeaderWordsAreSignedAndInTableOrder) {
  Bytes file;
  for (std::uint32_t word : {26u, 0x80000000u, 0x7FFFFFFFu, 0xFFFFFFFEu, 0x01020304u, 0xFFFFFFFFu}) {
    put(file, word, 4);
  }
  put(file, 0x8001, 2);
  const WD1Event event = take_event(open(file).next());
  EXPECT_EQ(event.board_id, INT32_MIN);
  EXPECT_EQ(event.pattern, INT32_MAX);
  EXPECT_EQ(event.board_channel, -2);
  EXPECT_EQ(event.event_counter, 0x01020304);
  EXPECT_EQ(event.timestamp, -1);
  EXPECT_EQ(to_vector(event.data), std::vector<std::uint16_t>{0x8001});
}

TEST_F(WD1ReaderTest, SizeBelowMinimumFailsTheCallButNotTheReader) {
  for (std::int32_t size : {22, 0, -5, INT32_MIN}) {
    SCOPED_TRACE("event_size " + std::to_string(size));
    // The bad header is followed directly by a good event: the bad header consumes only its 24 bytes.
    WD1Reader reader = open(concat({wd1_event({}, 1, static_cast<std::uint32_t>(size)), marker()}));
    EXPECT_EQ(describe(reader.next()),
              "decode error: event_size " + std::to_string(size) + " is below the smallest accepted size 23");
    expect_marker(reader);
  }
}

// Two events, then the first bytes of a third. The partial event ends the data without consuming any of
// it: once the rest is appended, the event comes out whole, from the buffer or after a seek back.
TEST_F(WD1ReaderTest, TornEventEndsTheDataAndComesOutWholeOnceCompleted) {
  const Bytes next = wd1_event(ramp(10000, 3), 7);
  const std::pair<const char*, std::size_t> cases[] = {
      {"nothing", 0},
      {"ten header bytes", 10},
      {"a header only", 24},
      {"a partial block", 124},
      {"a partial block beyond the buffer size", 24 + 9000},
      {"all but one byte", next.size() - 1},
  };
  for (const auto& [name, cut] : cases) {
    SCOPED_TRACE(name);
    WD1Reader reader = open(concat({wd1_event(ramp(4, 1), 1), wd1_event(ramp(600, 2), 2), slice(next, 0, cut)}));
    EXPECT_EQ(take_event(reader.next()).event_counter, 1);
    EXPECT_EQ(to_vector(take_event(reader.next()).data), ramp(600, 2));
    EXPECT_EQ(describe(reader.next()), "end of data");
    EXPECT_EQ(describe(reader.next()), "end of data");
    write_file(path, concat({slice(next, cut, next.size() - cut), marker()}), "a");
    const WD1Event completed = take_event(reader.next());
    EXPECT_EQ(completed.event_counter, 7);
    EXPECT_EQ(to_vector(completed.data), ramp(10000, 3));
    expect_marker(reader);
    EXPECT_EQ(describe(reader.next()), "end of data");
  }
}

// A read error other than end of file, in the header or in the block, is returned once; afterwards the
// reader reports end of data without reading, although reading again would fail again.
TEST_F(WD1ReaderTest, ReadErrorLatchesTheReader) {
  const BytesBeforeAHole in_header(slice(wd1_event(ramp(8, 1), 1), 0, 10));
  const BytesBeforeAHole in_block(concat({wd1_event(ramp(8, 1), 1), slice(wd1_event(ramp(8, 1), 2), 0, 30)}));
  struct {
    const char* name;
    EventStream stream;
    std::size_t events;
    std::string error;
  } cases[] = {
      {"directory", open_stream(dir.path()), 0, "io error: Is a directory (os error 21)"},
      {"inside a header", in_header.stream(), 0, "io error: Input/output error (os error 5)"},
      {"inside a block", in_block.stream(), 1, "io error: Input/output error (os error 5)"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    WD1Reader reader(std::move(c.stream));
    for (std::size_t i = 0; i < c.events; ++i) EXPECT_EQ(describe(reader.next()), "event");
    EXPECT_EQ(describe(reader.next()), c.error);
    EXPECT_EQ(describe(reader.next()), "end of data");
    EXPECT_EQ(describe(reader.next()), "end of data");
  }
}

}  // namespace
}  // namespace velk::test

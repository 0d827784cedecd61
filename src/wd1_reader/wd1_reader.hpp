// Decoder of the WD1 event layout.
//
// Events are packed back to back from byte 0, with no file header; all values little-endian:
//
//   offset  size   field           read as
//   0       4      event_size      signed 32-bit, whole event in bytes, header included
//   4       4      board_id        signed 32-bit
//   8       4      pattern         signed 32-bit
//   12      4      board_channel   signed 32-bit
//   16      4      event_counter   signed 32-bit
//   20      4      timestamp       signed 32-bit
//   24      2 x N  samples         unsigned 16-bit, N = (event_size - 24) / 2 truncated toward zero
//
// Exactly 24 + 2N bytes are consumed per event: an odd trailing byte the size accounts for starts the
// next header, and a size of 23 still consumes the whole 24-byte header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "event_stream/batched_reads.hpp"
#include "event_stream/event_stream.hpp"
#include "event_stream/read_outcome.hpp"
#include "event_stream/sample_block.hpp"
#include "event_stream/sample_vector.hpp"

namespace velk {

// The six header words of an event, as read.
struct WD1Header {
  std::int32_t event_size;
  std::int32_t board_id;
  std::int32_t pattern;
  std::int32_t board_channel;
  std::int32_t event_counter;
  std::int32_t timestamp;
};

// The header values with the samples.
struct WD1Event : WD1Header {
  SampleVector<std::uint16_t> data;
};

class WD1Reader {
 public:
  static constexpr std::int32_t kMinEventSize = 23;
  static constexpr std::size_t kHeaderSize = 24;

  // Samples in an event of `event_size` bytes (kMinEventSize or more): (event_size - 24) / 2 truncated
  // toward zero, so sizes 23 to 25 hold none.
  static constexpr std::size_t sample_count(std::int32_t event_size) noexcept {
    const std::int64_t payload = std::int64_t{event_size} - std::int64_t{kHeaderSize};
    return static_cast<std::size_t>(payload > 0 ? payload / 2 : 0);
  }

  // Takes the stream as it is; does no I/O.
  explicit WD1Reader(EventStream stream) noexcept : stream_(std::move(stream)) {}

  // The next event, end of data, or an error. A read error (anything but end of file) latches the
  // reader: every later call returns end of data without touching the file. A decode error leaves
  // the header consumed and the reader usable.
  ReadOutcome<WD1Event> next();

  // The same step as next(), with the samples read into the storage `sink` gives for them (see
  // SampleSink) and the event's data left empty; when the sink gives none they come in data as from
  // next(). Every outcome, the stream position after it and the failed state are those of next().
  ReadOutcome<WD1Event> next_into(SampleSink<std::uint16_t>& sink);

  // The same step as next() with the header in place of the event: the samples are passed over
  // (EventStream::skip_block) rather than read, and never allocated, so an event whose samples cannot
  // be held is not an error here. Every other outcome, the stream position after it and the failed
  // state are those next() would give.
  ReadOutcome<WD1Header> skip_next();

  // Decodes, without reading from the file, the events that lie whole in the stream's buffer, handing
  // each to take(header, samples, count) with its `count` samples as little-endian bytes in the
  // buffer, for as long as take accepts them (returns true). Stops before an event that is not whole
  // in the buffer or whose header next() would reject, and after a read error, leaving those to
  // next(). The events taken and the bytes consumed are exactly those next() would deliver.
  template <class Take>
  void next_buffered(Take&& take) {
    take_buffered(stream_, kHeaderSize, [this](const std::byte* bytes) { return block_header(bytes); }, take);
  }

  // Reads up to `events` events of `count` samples each with one system call into `room`, handing
  // each to take(header, samples, count) as next_buffered does (see read_alike). Takes only events
  // next_buffered would take; the bytes consumed are exactly those of next().
  template <class Take>
  std::size_t next_alike(AlikeScratch& scratch, std::size_t count, std::size_t events, std::span<std::byte> room,
                         Take&& take) noexcept {
    return read_alike(stream_, scratch, kHeaderSize, 2 * count, events, room,
                      [this](const std::byte* bytes) { return block_header(bytes); }, take);
  }

  // The file offset of the next byte the reader decodes.
  std::uint64_t position() const noexcept { return stream_.position(); }
  // Goes back to `mark`, a position() taken before an event this reader delivered, so that the event
  // is decoded again (EventStream::return_to; a waiting stream reaches back only within the event
  // delivered last, when it fits in the buffer).
  Status return_to(std::uint64_t mark) { return stream_.return_to(mark); }
  // Moves to `offset`, the first byte of an event a walk of this file found, and reads on from there
  // as a new reader would: the failed state is cleared (EventStream::start_at).
  Status start_at(std::uint64_t offset) {
    failed_ = false;
    return stream_.start_at(offset);
  }
  // The file's size when it is a regular file.
  std::optional<std::uint64_t> file_size() const noexcept { return stream_.regular_file_size(); }
  std::uint64_t received() const noexcept { return stream_.received(); }

 private:
  // The header at `bytes` when next() would go on to read its samples: not after a read error, and
  // not for a size below the minimum.
  std::optional<BlockHeader<WD1Header>> block_header(const std::byte* bytes) const noexcept {
    const WD1Header header = parse_header(bytes);
    if (failed_ || header.event_size < kMinEventSize) return std::nullopt;
    const std::size_t count = sample_count(header.event_size);
    return BlockHeader<WD1Header>{header, count, 2 * count};
  }

  static WD1Header parse_header(const std::byte* bytes) noexcept {
    const auto word = [bytes](std::size_t i) { return static_cast<std::int32_t>(EventStream::load_u32(bytes + 4 * i)); };
    return {word(0), word(1), word(2), word(3), word(4), word(5)};
  }

  // Reads and checks the header, then hands it and the sample count to take_block, which consumes the
  // block; applies the end-of-data rule and the failed state to whatever failed.
  template <class Out, class TakeBlock>
  ReadOutcome<Out> decode(TakeBlock&& take_block);

  EventStream stream_;
  bool failed_ = false;
};

}  // namespace velk

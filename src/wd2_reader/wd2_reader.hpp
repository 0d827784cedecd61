// Decoder of the WD2 event layout.
//
// Events are packed back to back from byte 0, with no file header; all values little-endian:
//
//   offset    size  field            read as
//   0         4     event_counter    unsigned 32-bit
//   4         8     timestamp        unsigned 64-bit
//   12        4     samples          unsigned 32-bit, samples per channel
//   16        8     sampling_period  unsigned 64-bit
//   24        4     channels         signed 32-bit; present only when layout_channels >= 2
//   24 or 28  L     data block       IEEE-754 binary32 samples, L / 4 of them, in file order
//
// L = (layout_channels x samples x 4) mod 2^32, always from the reader's layout_channels, never from
// the event's own channel word. Whether events carry the channel word is not recorded in the file;
// the channel-layout probe decides it once, when the reader is opened.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "event_stream/batched_reads.hpp"
#include "event_stream/event_stream.hpp"
#include "event_stream/read_outcome.hpp"
#include "event_stream/sample_block.hpp"
#include "event_stream/sample_vector.hpp"

namespace velk {

// An event's header; channels is its channel word, or layout_channels when no word is read.
struct WD2Header {
  std::uint32_t event_counter;
  std::uint64_t timestamp;
  std::uint32_t samples;
  std::uint64_t sampling_period;
  std::int32_t channels;
};

// The header values with the samples.
struct WD2Event : WD2Header {
  SampleVector<float> data;
};

// How the channel-layout probe settled the layout.
enum class ChannelDecision : std::uint8_t {
  WordConfirmed,       // the first two headers, read with a channel word, continue each other
  NoWordConfirmed,     // they do so read without one
  NoWordUnconfirmed,   // neither reading continues: one channel, no word, by default
  WordConfirmedWraps,  // as WordConfirmed, but the first block's exact length reaches 2^32 and wraps:
                       // a file without words whose first sample reads as a huge channel word
  Given,               // not probed: the caller gave the layout (WD2Reader::with_layout)
};

// The decision's name as the tools show it, e.g. "word confirmed".
const char* channel_decision_name(ChannelDecision decision) noexcept;

// (channels x samples x 4) mod 2^32: the block length in bytes, wrapping as the layout prescribes.
constexpr std::uint32_t wd2_block_length(std::uint32_t channels, std::uint32_t samples) noexcept {
  return channels * samples * 4u;
}

// How the probe goes back to byte 0 after reading ahead. Seek rewinds the file, so a stream that cannot
// seek (a pipe) fails with the seek's error. Replay, on such a waiting stream, keeps every byte the
// probe reads in the stream's buffer (EventStream::begin_event at byte 0) and returns to them there:
// it reads any input whose first event and second header fit in the buffer; on other streams it
// seeks as Seek does.
enum class ProbeReturn : std::uint8_t { Seek, Replay };

class WD2Reader;
using ProbeOutcome = std::variant<WD2Reader, IoError, DecodeError>;

class WD2Reader {
 public:
  // Data blocks of this many bytes or more are refused.
  static constexpr std::uint32_t kBlockLimit = 0x8000'0000u;

  // Takes a stream positioned at byte 0, runs the channel-layout probe and returns the reader
  // positioned at byte 0 again. On failure the stream is destroyed (file closed) with the returned
  // error: any failed read, end of file included, or a first data block of kBlockLimit bytes or more.
  //
  // Given `explain`, the probe also stores there how it decided. Telling a confirmed reading without
  // a word from an unconfirmed one may then take a further look at the file, which passes over the
  // first block with skip_block; the layout decided and every outcome stay those of a plain open.
  // `back` says how the probe returns to byte 0 (ProbeReturn).
  static ProbeOutcome open(EventStream stream, ChannelDecision* explain = nullptr,
                           ProbeReturn back = ProbeReturn::Seek);

  // Takes a stream positioned at byte 0 and reads it with the layout the caller knows, without a probe
  // and without reading anything: `channels` >= 2 means a channel word in every header and blocks of
  // channels x samples floats, 1 no word and one channel. Needs channels >= 1. This reads files the
  // probe cannot decide (fewer than two events, a missing second event, varying sample counts).
  static WD2Reader with_layout(EventStream stream, std::int32_t channels) noexcept;

  // The next event, end of data, or an error. There is no failed state: every call reads at the
  // stream's current position. A block of kBlockLimit bytes or more leaves its header consumed.
  ReadOutcome<WD2Event> next();

  // The same step as next(), with the samples read into the storage `sink` gives for them (see
  // SampleSink) and the event's data left empty; when the sink gives none they come in data as from
  // next(). Every outcome and the stream position after it are those of next().
  ReadOutcome<WD2Event> next_into(SampleSink<float>& sink);

  // The same step as next() with the header in place of the event: the data block is passed over
  // (EventStream::skip_block) rather than read, and never allocated, so a block that cannot be held
  // is not an error here. Every other outcome and the stream position after it are those of next().
  ReadOutcome<WD2Header> skip_next();

  // Decodes, without reading from the file, the events that lie whole in the stream's buffer, handing
  // each to take(header, samples, count) with its `count` samples as little-endian bytes in the
  // buffer, for as long as take accepts them (returns true). Stops before an event that is not whole
  // in the buffer or whose header next() would reject, leaving it to next(). The events taken and
  // the bytes consumed are exactly those next() would deliver.
  template <class Take>
  void next_buffered(Take&& take) {
    take_buffered(stream_, header_size(), [this](const std::byte* bytes) { return block_header(bytes); }, take);
  }

  // Reads up to `events` events of `count` samples each with one system call into `room`, handing
  // each to take(header, samples, count) as next_buffered does (see read_alike). Takes only events
  // next_buffered would take; the bytes consumed are exactly those of next().
  template <class Take>
  std::size_t next_alike(AlikeScratch& scratch, std::size_t count, std::size_t events, std::span<std::byte> room,
                         Take&& take) noexcept {
    return read_alike(stream_, scratch, header_size(), 4 * count, events, room,
                      [this](const std::byte* bytes) { return block_header(bytes); }, take);
  }

  // The file offset of the next byte the reader decodes.
  std::uint64_t position() const noexcept { return stream_.position(); }
  // Goes back to `mark`, a position() taken before an event this reader delivered, so that the event
  // is decoded again (EventStream::return_to; a waiting stream reaches back only within the event
  // delivered last, when it fits in the buffer).
  Status return_to(std::uint64_t mark) { return stream_.return_to(mark); }
  // Moves to `offset`, the first byte of an event a walk of this file found, keeping the layout the
  // reader was opened with (EventStream::start_at).
  Status start_at(std::uint64_t offset) { return stream_.start_at(offset); }
  // The file's size when it is a regular file.
  std::optional<std::uint64_t> file_size() const noexcept { return stream_.regular_file_size(); }
  std::uint64_t received() const noexcept { return stream_.received(); }

  std::int32_t layout_channels() const noexcept { return layout_channels_; }

  WD2Reader(WD2Reader&&) noexcept = default;
  WD2Reader& operator=(WD2Reader&&) = delete;

 private:
  WD2Reader(EventStream stream, std::int32_t layout_channels) noexcept
      : stream_(std::move(stream)), layout_channels_(layout_channels) {}

  // 28 bytes with a channel word, 24 without.
  std::size_t header_size() const noexcept { return layout_channels_ >= 2 ? 28 : 24; }

  // The header at `bytes` when next() would go on to read its block: one below kBlockLimit.
  std::optional<BlockHeader<WD2Header>> block_header(const std::byte* bytes) const noexcept {
    const WD2Header header = parse_header(bytes);
    const std::uint32_t block = wd2_block_length(static_cast<std::uint32_t>(layout_channels_), header.samples);
    if (block >= kBlockLimit) return std::nullopt;
    return BlockHeader<WD2Header>{header, std::size_t{block} / 4, block};
  }

  // The header at `bytes`, with its channel word when the layout has one.
  WD2Header parse_header(const std::byte* bytes) const noexcept {
    return {EventStream::load_u32(bytes), EventStream::load_u64(bytes + 4), EventStream::load_u32(bytes + 12),
            EventStream::load_u64(bytes + 16),
            layout_channels_ >= 2 ? static_cast<std::int32_t>(EventStream::load_u32(bytes + 24)) : layout_channels_};
  }

  // Reads the header and hands it and the block length to take_block, which consumes the block;
  // applies the end-of-data rule to whatever failed.
  template <class Out, class TakeBlock>
  ReadOutcome<Out> decode(TakeBlock&& take_block);

  EventStream stream_;
  // Sizes every block, and switches the channel word on when >= 2 (a signed comparison).
  std::int32_t layout_channels_;
};

// The error for a data block of kBlockLimit bytes or more.
DecodeError wd2_block_too_large(std::uint32_t length) noexcept;

}  // namespace velk

// WD2 event decoding.
#include "wd2_reader/wd2_reader.hpp"

#include <array>

#include "event_stream/sample_block.hpp"

namespace velk {

DecodeError wd2_block_too_large(std::uint32_t length) noexcept {
  return {DecodeError::Kind::BlockTooLarge, "data block", length, WD2Reader::kBlockLimit - 1};
}

const char* channel_decision_name(ChannelDecision decision) noexcept {
  switch (decision) {
    case ChannelDecision::WordConfirmed: return "word confirmed";
    case ChannelDecision::NoWordConfirmed: return "no word, confirmed";
    case ChannelDecision::NoWordUnconfirmed: return "no word, unconfirmed";
    case ChannelDecision::WordConfirmedWraps: return "word confirmed, block length wraps";
    case ChannelDecision::Given: return "given";
  }
  return "";
}

WD2Reader WD2Reader::with_layout(EventStream stream, std::int32_t channels) noexcept {
  return WD2Reader(std::move(stream), channels);
}

template <class Out, class TakeBlock>
ReadOutcome<Out> WD2Reader::decode(TakeBlock&& take_block) {
  // One exact read of the header consumes the same bytes as reading its fields one by one.
  const std::uint64_t start = stream_.begin_event();
  std::array<std::byte, 28> scratch;
  const Result<const std::byte*> bytes = stream_.read_in_place(header_size(), scratch.data());
  if (!bytes) return read_failure<Out>(stream_, start, bytes.error());
  const WD2Header header = parse_header(*bytes);
  const std::uint32_t block = wd2_block_length(static_cast<std::uint32_t>(layout_channels_), header.samples);
  if (block >= kBlockLimit) return wd2_block_too_large(block);
  // Built in place and returned as it is unless it failed (no copy of a delivered event).
  ReadOutcome<Out> outcome = take_block(header, block);
  if (const IoError* error = std::get_if<IoError>(&outcome)) return read_failure<Out>(stream_, start, *error);
  return outcome;
}

ReadOutcome<WD2Event> WD2Reader::next() {
  SampleSink<float> none;
  return next_into(none);
}

ReadOutcome<WD2Event> WD2Reader::next_into(SampleSink<float>& sink) {
  return decode<WD2Event>([&](const WD2Header& h, std::uint32_t block) -> ReadOutcome<WD2Event> {
    SampleBlock<float> read = read_sample_block<float, std::uint32_t>(stream_, block / 4, sink);
    if (const IoError* error = std::get_if<IoError>(&read)) return *error;
    if (std::holds_alternative<SamplesUnallocatable>(read)) {
      return DecodeError{DecodeError::Kind::OutOfMemory, "data block", block, 0};
    }
    return WD2Event{h, std::move(std::get<SampleVector<float>>(read))};
  });
}

ReadOutcome<WD2Header> WD2Reader::skip_next() {
  return decode<WD2Header>([this](const WD2Header& h, std::uint32_t block) -> ReadOutcome<WD2Header> {
    if (Status s = stream_.skip_block(block); !s) return s.error();
    return h;
  });
}

}  // namespace velk

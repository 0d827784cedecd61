// WD1 event decoding.
#include "wd1_reader/wd1_reader.hpp"

#include <array>
#include <cstddef>

#include "event_stream/sample_block.hpp"

namespace velk {

template <class Out, class TakeBlock>
ReadOutcome<Out> WD1Reader::decode(TakeBlock&& take_block) {
  if (failed_) return EndOfData{};
  // A read given up for a signal is the caller's choice, not a fault of the file.
  const auto failure = [&](std::uint64_t start, const IoError& error) {
    failed_ = error.kind() != IoErrorKind::Interrupted && error.kind() != IoErrorKind::UnexpectedEof;
    return read_failure<Out>(stream_, start, error);
  };
  // One exact read of the six header words consumes the same bytes as six 4-byte reads would.
  const std::uint64_t start = stream_.begin_event();
  std::array<std::byte, kHeaderSize> scratch;
  const Result<const std::byte*> bytes = stream_.read_in_place(kHeaderSize, scratch.data());
  if (!bytes) return failure(start, bytes.error());
  const WD1Header header = parse_header(*bytes);
  if (header.event_size < kMinEventSize) {
    return DecodeError{DecodeError::Kind::SizeBelowMinimum, "event_size", header.event_size, kMinEventSize};
  }
  // Built in place and returned as it is unless it failed (no copy of a delivered event).
  ReadOutcome<Out> outcome = take_block(header, sample_count(header.event_size));
  if (const IoError* error = std::get_if<IoError>(&outcome)) return failure(start, *error);
  return outcome;
}

ReadOutcome<WD1Event> WD1Reader::next() {
  SampleSink<std::uint16_t> none;
  return next_into(none);
}

ReadOutcome<WD1Event> WD1Reader::next_into(SampleSink<std::uint16_t>& sink) {
  return decode<WD1Event>([&](const WD1Header& h, std::size_t count) -> ReadOutcome<WD1Event> {
    SampleBlock<std::uint16_t> block = read_sample_block<std::uint16_t, std::uint16_t>(stream_, count, sink);
    if (const IoError* error = std::get_if<IoError>(&block)) return *error;
    if (std::holds_alternative<SamplesUnallocatable>(block)) {
      return DecodeError{DecodeError::Kind::OutOfMemory, "samples",
                         static_cast<std::int64_t>(count * 2), 0};
    }
    return WD1Event{h, std::move(std::get<SampleVector<std::uint16_t>>(block))};
  });
}

ReadOutcome<WD1Header> WD1Reader::skip_next() {
  return decode<WD1Header>([this](const WD1Header& h, std::size_t count) -> ReadOutcome<WD1Header> {
    if (Status s = stream_.skip_block(std::uint64_t{count} * 2); !s) return s.error();
    return h;
  });
}

}  // namespace velk

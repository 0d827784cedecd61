// WD1 event decoding.
#include "wd1_reader/wd1_reader.hpp"

#include <array>
#include <cstddef>

#include "event_stream/sample_block.hpp"

namespace velk {
namespace {

std::int32_t load_i32(const std::byte* p) noexcept {
  return static_cast<std::int32_t>(EventStream::load_u32(p));
}

}  // namespace

ReadOutcome<WD1Event> WD1Reader::next() {
  if (failed_) return EndOfData{};
  ReadOutcome<WD1Event> outcome = decode();
  // A read given up for a signal is the caller's choice, not a fault of the file.
  const IoError* error = std::get_if<IoError>(&outcome);
  failed_ = error != nullptr && error->kind() != IoErrorKind::Interrupted;
  return outcome;
}

ReadOutcome<WD1Event> WD1Reader::decode() {
  // One exact read of the six header words consumes the same bytes as six 4-byte reads would.
  const std::uint64_t start = stream_.position();
  std::array<std::byte, kHeaderSize> header;
  if (Status s = stream_.read_exact(header.data(), header.size()); !s) {
    return read_failure<WD1Event>(stream_, start, s.error());
  }
  const std::int32_t event_size = load_i32(&header[0]);
  if (event_size < kMinEventSize) {
    return DecodeError{DecodeError::Kind::SizeBelowMinimum, "event_size", event_size, kMinEventSize};
  }
  const std::int64_t payload = std::int64_t{event_size} - std::int64_t{kHeaderSize};
  const auto count = static_cast<std::size_t>(payload > 0 ? payload / 2 : 0);
  SampleBlock<std::uint16_t> block = read_sample_block<std::uint16_t>(stream_, count);
  if (const IoError* error = std::get_if<IoError>(&block)) {
    return read_failure<WD1Event>(stream_, start, *error);
  }
  if (std::holds_alternative<SamplesUnallocatable>(block)) {
    return DecodeError{DecodeError::Kind::OutOfMemory, "samples", static_cast<std::int64_t>(count * 2),
                       0};
  }
  auto& samples = std::get<SampleVector<std::uint16_t>>(block);
  samples_from_little_endian<std::uint16_t, std::uint16_t>(samples);
  return WD1Event{event_size,           load_i32(&header[4]),  load_i32(&header[8]),
                  load_i32(&header[12]), load_i32(&header[16]), load_i32(&header[20]),
                  std::move(samples)};
}

}  // namespace velk

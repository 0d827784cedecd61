// WD2 event decoding.
#include "wd2_reader/wd2_reader.hpp"

#include <array>

#include "event_stream/sample_block.hpp"

namespace velk {

DecodeError wd2_block_too_large(std::uint32_t length) noexcept {
  return {DecodeError::Kind::BlockTooLarge, "data block", length, WD2Reader::kBlockLimit - 1};
}

ReadOutcome<WD2Event> WD2Reader::next() {
  const bool has_word = layout_channels_ >= 2;
  // One exact read of the header consumes the same bytes as reading its fields one by one.
  const std::uint64_t start = stream_.position();
  std::array<std::byte, 28> header;
  if (Status s = stream_.read_exact(header.data(), has_word ? 28 : 24); !s) {
    return read_failure<WD2Event>(stream_, start, s.error());
  }
  const std::uint32_t samples = EventStream::load_u32(&header[12]);
  const std::uint32_t block = wd2_block_length(static_cast<std::uint32_t>(layout_channels_), samples);
  if (block >= kBlockLimit) return wd2_block_too_large(block);
  SampleBlock<float> read = read_sample_block<float>(stream_, block / 4);
  if (const IoError* error = std::get_if<IoError>(&read)) {
    return read_failure<WD2Event>(stream_, start, *error);
  }
  if (std::holds_alternative<SamplesUnallocatable>(read)) {
    return DecodeError{DecodeError::Kind::OutOfMemory, "data block", block, 0};
  }
  auto& data = std::get<SampleVector<float>>(read);
  samples_from_little_endian<float, std::uint32_t>(data);
  return WD2Event{EventStream::load_u32(&header[0]),
                  EventStream::load_u64(&header[4]),
                  samples,
                  EventStream::load_u64(&header[16]),
                  has_word ? static_cast<std::int32_t>(EventStream::load_u32(&header[24]))
                           : layout_channels_,
                  std::move(data)};
}

}  // namespace velk

// The channel-layout probe: decides once, from the first two events, whether WD2 headers carry a
// channel word and how many channels size each data block.
//
// The file is first read as if headers carried the word. That reading is confirmed when the second
// header continues the first: counter + 1 (mod 2^32), equal samples, equal sampling period (all 64
// bits) and equal channel word; time tags are not compared. A mismatch means one channel, no word.
// A reading whose first block is beyond the block limit, or that runs past the end of the file before
// the second header is complete, is refuted outright; the probe then checks the reading without a word
// the same way before giving up, so that single-channel files open whatever their first sample's bit
// pattern happens to be. A file that fits neither reading fails with the channel-word reading's error.
// A mismatch alone decides one channel without looking further; asked to explain itself, the probe
// then also checks the reading without a word, to tell a confirmed single-channel file from a guess.
// A confirmed word whose first block's exact length (samples x word x 4) reaches 2^32 is most likely
// a sample read as a word: the layout stands, and the explanation says the block length wraps.
#include <array>

#include "wd2_reader/wd2_reader.hpp"

namespace velk {
namespace {

constexpr std::size_t kHeaderWithWord = 28;
constexpr std::size_t kHeaderWithoutWord = 24;

struct Layout {
  std::int32_t channels;
  ChannelDecision decision;
};

using LayoutOutcome = std::variant<Layout, IoError, DecodeError>;

struct ProbeHeader {
  std::uint32_t counter;
  std::uint32_t samples;
  std::uint64_t period;
  std::uint32_t channels;  // 1 when the header is read without a word
};

Result<ProbeHeader> read_probe_header(EventStream& stream, std::size_t size) {
  std::array<std::byte, kHeaderWithWord> b;
  if (Status s = stream.read_exact(b.data(), size); !s) return s.error();
  return ProbeHeader{EventStream::load_u32(&b[0]), EventStream::load_u32(&b[12]),
                     EventStream::load_u64(&b[16]),
                     size == kHeaderWithWord ? EventStream::load_u32(&b[24]) : 1u};
}

// Goes back to byte 0: by seeking, or within the kept bytes of a waiting stream asked to replay them.
Status back_to_start(EventStream& stream, ProbeReturn back) {
  if (back == ProbeReturn::Replay && stream.waits()) return stream.return_to(0);
  return stream.rewind();
}

bool continues(const ProbeHeader& first, const ProbeHeader& second) noexcept {
  return second.counter == first.counter + 1u && second.samples == first.samples &&
         second.period == first.period && second.channels == first.channels;
}

// A failed read of the fallback reading: end of file means "not confirmed", so the refutation of the
// channel-word reading stands; any other failure is reported as it is.
LayoutOutcome unless_eof(const IoError& error, const LayoutOutcome& refutation) {
  if (error.kind() == IoErrorKind::UnexpectedEof) return refutation;
  return error;
}

LayoutOutcome probe_without_word(EventStream& stream, ProbeReturn back, const LayoutOutcome& refutation) {
  if (Status s = back_to_start(stream, back); !s) return s.error();
  const Result<ProbeHeader> first = read_probe_header(stream, kHeaderWithoutWord);
  if (!first) return unless_eof(first.error(), refutation);
  const std::uint32_t block = wd2_block_length(1, first->samples);
  if (block >= WD2Reader::kBlockLimit) return refutation;
  if (Status s = stream.skip(block); !s) return unless_eof(s.error(), refutation);
  const Result<ProbeHeader> second = read_probe_header(stream, kHeaderWithoutWord);
  if (!second) return unless_eof(second.error(), refutation);
  return continues(*first, *second) ? LayoutOutcome{Layout{1, ChannelDecision::NoWordConfirmed}}
                                     : refutation;
}

// Whether the file reads as events without a word, first two continuing each other. A failure is a
// no, except a read given up for a signal, which is returned: the caller's signal handler raised.
Result<bool> confirmed_without_word(EventStream& stream, ProbeReturn back) {
  const auto no = [](const IoError& error) -> Result<bool> {
    if (error.kind() == IoErrorKind::Interrupted) return error;
    return false;
  };
  if (Status s = back_to_start(stream, back); !s) return no(s.error());
  const Result<ProbeHeader> first = read_probe_header(stream, kHeaderWithoutWord);
  if (!first) return no(first.error());
  const std::uint32_t block = wd2_block_length(1, first->samples);
  if (block >= WD2Reader::kBlockLimit) return false;
  if (Status s = stream.skip_block(block); !s) return no(s.error());
  const Result<ProbeHeader> second = read_probe_header(stream, kHeaderWithoutWord);
  if (!second) return no(second.error());
  return continues(*first, *second);
}

LayoutOutcome probe_with_word(EventStream& stream, ProbeReturn back, bool explain) {
  const Result<ProbeHeader> first = read_probe_header(stream, kHeaderWithWord);
  if (!first) return first.error();
  const std::uint32_t block = wd2_block_length(first->channels, first->samples);
  if (block >= WD2Reader::kBlockLimit) return probe_without_word(stream, back, wd2_block_too_large(block));
  const Status skipped = stream.skip(block);
  const Result<ProbeHeader> second =
      skipped ? read_probe_header(stream, kHeaderWithWord) : Result<ProbeHeader>(skipped.error());
  if (!second) {
    if (second.error().kind() != IoErrorKind::UnexpectedEof) return second.error();
    return probe_without_word(stream, back, second.error());
  }
  if (continues(*first, *second)) {
    const bool wraps = std::uint64_t{first->channels} * first->samples * 4 >= (std::uint64_t{1} << 32);
    return Layout{static_cast<std::int32_t>(first->channels),
                  wraps ? ChannelDecision::WordConfirmedWraps : ChannelDecision::WordConfirmed};
  }
  if (!explain) return Layout{1, ChannelDecision::NoWordUnconfirmed};
  const Result<bool> confirmed = confirmed_without_word(stream, back);
  if (!confirmed) return confirmed.error();
  return Layout{1, *confirmed ? ChannelDecision::NoWordConfirmed : ChannelDecision::NoWordUnconfirmed};
}

}  // namespace

ProbeOutcome WD2Reader::open(EventStream stream, ChannelDecision* explain, ProbeReturn back) {
  if (back == ProbeReturn::Replay) stream.begin_event();
  const LayoutOutcome outcome = probe_with_word(stream, back, explain != nullptr);
  if (const auto* error = std::get_if<IoError>(&outcome)) return *error;
  if (const auto* error = std::get_if<DecodeError>(&outcome)) return *error;
  if (Status s = back_to_start(stream, back); !s) return s.error();
  const Layout layout = std::get<Layout>(outcome);
  if (explain != nullptr) *explain = layout.decision;
  return WD2Reader(std::move(stream), layout.channels);
}

}  // namespace velk

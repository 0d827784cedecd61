// The scan: walks a recording with the readers' own rules, passing over sample blocks instead of
// reading them, and sums up what it meets.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "columns/column_buffer.hpp"
#include "event_stream/event_stream.hpp"
#include "event_stream/io_error.hpp"
#include "event_stream/read_outcome.hpp"
#include "wd1_reader/wd1_reader.hpp"
#include "wd2_reader/wd2_reader.hpp"

namespace velk {

enum class ScanLayout : std::uint8_t { WD1, WD2 };

// The error that ends a scan, as iterating the file would meet it.
struct ScanFailure {
  std::variant<IoError, DecodeError> error;
  bool during_probe;          // the WD2 channel-layout probe failed, so no reader could be made
  std::uint64_t event_index;  // complete events before it
  std::uint64_t offset;       // the first byte of the event being decoded (0 for the probe)
};

// A time tag as the layout stores it: signed 32-bit for WD1, unsigned 64-bit for WD2.
using TimeTag = std::variant<std::int64_t, std::uint64_t>;

struct ScanReport {
  std::uint64_t events = 0;       // complete events
  std::uint64_t bytes_read = 0;   // file offset after the last complete event
  std::optional<std::uint64_t> file_size;  // when the file is a regular one
  std::uint64_t trailing_bytes = 0;  // bytes of a partial event at the end (scan ended at end of data)
  std::optional<ScanFailure> error;
  // WD2 only: the layout's channel count and how the probe settled it.
  std::optional<std::int32_t> channels;
  std::optional<ChannelDecision> channel_decision;
  // Events by the number of sample values they hold (the length of their data array).
  std::map<std::uint64_t, std::uint64_t> sample_counts;
  // Steps between consecutive events' counters, taken modulo 2^32: a step above 1 is a gap of
  // (step - 1) missing counts, a step of 0 or below (as a signed 32-bit value) a backward step.
  std::uint64_t counter_gaps = 0;
  std::uint64_t missing_counts = 0;
  std::uint64_t counter_backward_steps = 0;
  std::optional<std::uint64_t> first_gap_event;       // index of the event after the first gap
  std::optional<std::uint64_t> first_backward_event;  // index of the event after the first backward step
  std::optional<TimeTag> first_timestamp;
  std::optional<TimeTag> last_timestamp;

  bool complete() const noexcept { return !error && trailing_bytes == 0; }
};

// Per complete event: its first byte, the 32 bits of its counter (signed for WD1, unsigned for WD2)
// and the number of its sample values, which a block below 2^31 bytes keeps below 2^32. 16 bytes an
// event, so that noting them costs the walk little; in columns whose storage is handed over without a
// copy, so that the index of a large file is not held twice.
struct EventIndexColumns {
  ColumnBuffer<std::int64_t> offsets;  // as NumPy users take them; a file offset stays below 2^63
  ColumnBuffer<std::uint32_t> counters;
  ColumnBuffer<std::uint32_t> sample_counts;
};

// Owns the reader of one file and the report so far. The scan proceeds in steps so that its caller can
// show progress and take signals between them; it stops at the first error, since iteration raises
// there, and at end of data.
class Scanner {
 public:
  enum class Step : std::uint8_t { More, Done, Interrupted };

  // Opens `path` and, for WD2, runs the channel-layout probe. A failed open, or a probe given up for a
  // signal, is returned as the error; a probe that fails otherwise is the report's error (the scan is
  // then done). Given `wd2_channels` (>= 1), a WD2 file is read with that layout instead of probed;
  // else the probe returns to byte 0 as `back` says. With `keep_index`, the scan also notes every
  // complete event in index().
  static std::variant<Scanner, IoError> open(std::string_view path, ScanLayout layout,
                                             StreamHooks hooks,
                                             std::optional<std::int32_t> wd2_channels = std::nullopt,
                                             bool keep_index = false, ProbeReturn back = ProbeReturn::Seek);

  // Scans until the position has moved on by at least `byte_budget` bytes, or the scan is done. A read
  // given up for a signal returns Interrupted with the reader back at the event's first byte, so a
  // later step takes it up again.
  Step step(std::uint64_t byte_budget);

  bool done() const noexcept { return done_; }
  std::uint64_t position() const noexcept;
  const ScanReport& report() const noexcept { return report_; }
  // Hands over the complete events noted so far (with keep_index), leaving none.
  EventIndexColumns take_index() noexcept { return std::exchange(index_, {}); }

  Scanner(Scanner&&) noexcept = default;
  Scanner& operator=(Scanner&&) = delete;

 private:
  using Reader = std::variant<std::monostate, WD1Reader, WD2Reader>;

  Scanner(Reader reader, ScanReport report, bool done) noexcept
      : reader_(std::move(reader)), report_(std::move(report)), done_(done) {}

  static std::variant<Scanner, IoError> open_walker(std::string_view path, ScanLayout layout,
                                                    StreamHooks hooks, std::optional<std::int32_t> wd2_channels,
                                                    ProbeReturn back);
  template <class R>
  Step walk(R& reader, std::uint64_t byte_budget);
  // Events reserved for at most, up front: 16 bytes each, 256 MiB in all.
  static constexpr std::uint64_t kIndexReserveLimit = std::uint64_t{1} << 24;
  void reserve_index(std::optional<std::uint64_t> file_size, std::uint64_t first_event_bytes);
  void note_event(std::uint64_t start, std::uint32_t counter, std::uint64_t values);
  void record(std::uint32_t counter, TimeTag time, std::uint64_t values);
  // `received`: how far the data went, which gives the trailing bytes of an input without a size.
  void finish(std::optional<std::uint64_t> file_size, std::uint64_t received, bool at_end_of_data);

  Reader reader_;
  ScanReport report_;
  bool done_;
  bool keep_index_ = false;
  EventIndexColumns index_;
  std::uint32_t last_counter_ = 0;
};

}  // namespace velk

// Events of one reader gathered into columns: one array per header field, every sample of the batch in
// one flat array, and the offsets where each event's samples start.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <tuple>
#include <utility>
#include <variant>

#include "columns/column_buffer.hpp"
#include "event_stream/batched_reads.hpp"
#include "event_stream/read_outcome.hpp"
#include "event_stream/sample_block.hpp"
#include "wd1_reader/wd1_reader.hpp"
#include "wd2_reader/wd2_reader.hpp"

namespace velk {

// The header columns of a layout, in the order of the event dictionary's keys, with the fields' exact
// types. Each layout says how to append one event's header values.
template <class Event>
struct HeaderColumns;

template <>
struct HeaderColumns<WD1Event> {
  using Header = WD1Header;
  using Sample = std::uint16_t;
  using SampleBits = std::uint16_t;
  static constexpr std::array<const char*, 6> kNames = {
      "event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp"};
  std::tuple<ColumnBuffer<std::int32_t>, ColumnBuffer<std::int32_t>, ColumnBuffer<std::int32_t>,
             ColumnBuffer<std::int32_t>, ColumnBuffer<std::int32_t>, ColumnBuffer<std::int32_t>>
      columns;

  static auto values(const WD1Header& e) noexcept {
    return std::tuple(e.event_size, e.board_id, e.pattern, e.board_channel, e.event_counter, e.timestamp);
  }
};

template <>
struct HeaderColumns<WD2Event> {
  using Header = WD2Header;
  using Sample = float;
  using SampleBits = std::uint32_t;
  static constexpr std::array<const char*, 5> kNames = {
      "event_counter", "timestamp", "samples", "sampling_period", "channels"};
  std::tuple<ColumnBuffer<std::uint32_t>, ColumnBuffer<std::uint64_t>, ColumnBuffer<std::uint32_t>,
             ColumnBuffer<std::uint64_t>, ColumnBuffer<std::int32_t>>
      columns;

  static auto values(const WD2Header& e) noexcept {
    return std::tuple(e.event_counter, e.timestamp, e.samples, e.sampling_period, e.channels);
  }
};

// One batch: `events` events, header column i holding their values of field i, `samples` all their
// samples back to back and `offsets` (events + 1 values, the first 0) where each event's samples begin.
template <class Event>
struct Batch {
  using Sample = typename HeaderColumns<Event>::Sample;

  std::size_t events = 0;
  HeaderColumns<Event> header;
  ColumnBuffer<Sample> samples;
  ColumnBuffer<std::int64_t> offsets;

  // Room in every header column and the offsets for one more event. Returns false, with the batch
  // unchanged in what it holds, when a column cannot grow.
  [[nodiscard]] bool reserve_event() noexcept { return event_room_ != 0 || grow_event_columns(); }

  // A sink that gives the reader the samples column's spare storage; append() counts what it placed.
  SampleSink<Sample>& sink() noexcept {
    sink_ = {samples.end(), samples.end() + samples.spare(), grow_samples, this};
    return sink_;
  }

  // Appends the event: its samples from its data, or when that is empty the ones the reader placed
  // through sink() in the reading that delivered it. An event's samples that arrive first in an
  // empty batch become the column, without a copy. Returns false, with the batch unchanged in what
  // it holds, when a column cannot grow.
  [[nodiscard]] bool append(Event& event) noexcept {
    const std::size_t count = event.data.size();
    const std::size_t placed =
        sink_.free == nullptr ? 0 : static_cast<std::size_t>(sink_.free - samples.end());
    sink_ = {};
    if (!reserve_event()) return false;
    if (count != 0 && samples.size() == 0) {
      samples.adopt(std::move(event.data));
    } else if (samples.reserve(count)) {
      samples.append(event.data.data(), count);
    } else {
      return false;
    }
    samples.commit(placed);
    push_header(event);
    return true;
  }

  // Appends an event whose `count` samples lie as little-endian bytes at `bytes` (the stream's
  // buffer, or the column's spare storage), moving them to the column's end. Returns false, with the
  // batch unchanged, when a column cannot grow.
  [[nodiscard]] bool append_copy(const typename HeaderColumns<Event>::Header& header, const std::byte* bytes,
                                 std::size_t count) noexcept {
    if (!reserve_event() || !samples.reserve(count)) return false;
    // The bytes may lie in the column's own spare storage, past its end (read_alike).
    if (count != 0 && bytes != reinterpret_cast<const std::byte*>(samples.end())) {
      std::memmove(samples.end(), bytes, count * sizeof(Sample));
    }
    samples_from_little_endian<Sample, typename HeaderColumns<Event>::SampleBits>(samples.end(), count);
    samples.commit(count);
    push_header(header);
    return true;
  }

  // The samples of the last event appended.
  std::size_t last_count() const noexcept {
    return events == 0 ? 0 : static_cast<std::size_t>(offsets.data()[events] - offsets.data()[events - 1]);
  }

  // Sets the limits that end the batch, from which the columns' growth guesses its final size.
  void plan(std::size_t max_events, std::size_t max_samples) noexcept {
    max_events_ = max_events;
    max_samples_ = max_samples;
  }

  // Gives back the storage a batch that ended short of its limits leaves unused.
  void shrink_to_fit() noexcept {
    samples.shrink_to_fit();
    offsets.shrink_to_fit();
    std::apply([](auto&... c) { (c.shrink_to_fit(), ...); }, header.columns);
  }

 private:
  // Counts an event whose samples are in place: its header values and where its samples end.
  void push_header(const typename HeaderColumns<Event>::Header& header) noexcept {
    if (events == 0) offsets.push(0);
    std::apply([&](auto&... c) {
      std::apply([&](auto... v) { (c.push(v), ...); }, HeaderColumns<Event>::values(header));
    }, this->header.columns);
    offsets.push(static_cast<std::int64_t>(samples.size()));
    ++events;
    --event_room_;
  }

  // Events the batch will probably take beyond those it holds: as many as the samples left below its
  // limit hold at the mean event's size, within the events left.
  std::size_t expected_more() const noexcept {
    if (events == 0 || events >= max_events_) return 0;
    const std::size_t mean = std::max<std::size_t>(1, samples.size() / events);
    const std::size_t left = max_samples_ > samples.size() ? max_samples_ - samples.size() : 0;
    return std::min(max_events_ - events, left / mean + 1);
  }

  // Grows the header columns and the offsets together, so that one count says when they are full.
  // They start small, and the first growth makes room for the events the batch probably takes.
  bool grow_event_columns() noexcept {
    const std::size_t extra = std::max<std::size_t>(events < 64 ? 64 : events, expected_more());
    const bool grown = std::apply([&](auto&... c) { return (c.reserve(extra) && ...); }, header.columns) &&
                       offsets.reserve(extra + 1);
    if (!grown) return false;
    event_room_ = offsets.spare() - (events == 0 ? 1 : 0);
    std::apply([&](auto&... c) { ((event_room_ = std::min(event_room_, c.spare())), ...); }, header.columns);
    return true;
  }

  static bool grow_samples(SampleSink<Sample>& sink, std::size_t count) noexcept {
    auto& batch = *static_cast<Batch*>(sink.context);
    if (!batch.samples.reserve(count)) return false;
    sink.free = batch.samples.end();
    sink.end = sink.free + batch.samples.spare();
    return true;
  }

  std::size_t max_events_ = 0;
  std::size_t max_samples_ = 0;
  std::size_t event_room_ = 0;  // events every header column and the offsets take without growing
  SampleSink<Sample> sink_;     // the last sink(), while an event read through it is appended
};

// A batch of at least one event, end of data (no event at the current position), or the error the
// reader returned before any event of the batch.
template <class Event>
using BatchOutcome = std::variant<Batch<Event>, EndOfData, IoError, DecodeError>;

// The stream buffer of a batch builder's reader. Batches read far more bytes per call than one event,
// and a 1 MiB buffer halves the system calls and copies of 64 KiB refills: 25-50% more events/s for
// events of 1024 samples. One buffer per open batch reader stays small beside the batch itself.
inline constexpr std::size_t kBatchStreamBufferBytes = std::size_t{1} << 20;

// Runs of events of one size are read with one system call per run (read_alike) into the batch's
// samples column itself rather than through the stream's buffer: blocks of 8 KiB and more go straight
// to their place, smaller ones are moved down over their headers while still in the cache. The guess
// that the next events have the size of the last ones is made once kAlikeRun events in a row have had
// it, for blocks of at least kAlikeMinBytes (16-sample WD1 events came 13% slower read packed; 2 KiB
// blocks 3% faster), and for no more events than that run holds, so that a file whose sizes change
// pays for a wrong guess with at most as many events' bytes as it read well before.
inline constexpr std::size_t kAlikeRun = 4;
inline constexpr std::size_t kAlikeMinBytes = 1024;

// Pulls events from a WD1Reader or WD2Reader through its next(), so the channel probe, the partial-event
// rule, the WD1 failed state and every error are the reader's own.
//
// A batch ends at `max_events` events, once its samples take `max_sample_bytes` or more (so its memory
// stays bounded whatever the events' size; it holds at least one event), at end of data, or before an
// event the reader could not deliver.
// Such an error is kept and returned by the next call, so the events decoded before it are delivered
// first and nothing is dropped. A read given up for a signal is not kept: the reader has returned to
// that event's first byte, and the next call reads it again.
template <class Reader>
class BatchBuilder {
 public:
  using Event = std::variant_alternative_t<0, decltype(std::declval<Reader&>().next())>;

  explicit BatchBuilder(Reader reader, std::size_t alike_min_bytes = kAlikeMinBytes) noexcept
      : reader_(std::move(reader)), alike_min_bytes_(alike_min_bytes) {}

  // The file offset after the bytes decoded so far: where the event after the last one delivered
  // starts, unless an event read ahead (one whose columns could not grow) or an error waits.
  std::uint64_t position() const noexcept { return reader_.position(); }

  // Moves the reader to `offset`, an event's first byte, dropping an event or error read ahead.
  Status start_at(std::uint64_t offset) {
    pending_.reset();
    carried_.reset();
    alike_run_ = 0;
    return reader_.start_at(offset);
  }

  // The reader, for what it knows of its file (its size, a WD2 layout).
  const Reader& reader() const noexcept { return reader_; }

  using Sample = typename Batch<Event>::Sample;

  // The samples a batch of `events` events holding `samples` samples takes room for: its samples, and
  // the headers and a page's offset of the events read packed into the column (read_alike).
  static std::size_t room_for(std::size_t events, std::size_t samples) noexcept {
    return samples + (events * AlikeScratch::kHeaderBytes + kPageBytes) / sizeof(Sample) + 1;
  }

  // `room`, when given and not empty, becomes the samples column's storage (sized by room_for) instead
  // of one the batch allocates: a thread that decodes for another takes storage the other allocated,
  // from the malloc arena where the batch will be freed.
  BatchOutcome<Event> next(std::size_t max_events, std::size_t max_sample_bytes,
                           SampleVector<Sample>* room = nullptr) {
    if (pending_) return take_pending();
    Batch<Event> batch;
    const std::size_t max_samples = max_sample_bytes / sizeof(Sample);
    if (room != nullptr && room->size() != 0) {
      batch.samples.take_room(std::move(*room));
    } else {
      // The samples column is allocated once at the size that ends the batch (a failure leaves it to
      // grow as events arrive), and what a short batch leaves unused is given back at its end. A batch
      // of few events plans for that many of the last event's size, so that small batches do not each
      // map and unmap a block sized for the byte limit.
      std::size_t planned = std::min(max_samples, kEagerBlockBytes / sizeof(Sample));
      if (alike_count_ != 0 && max_events < planned / alike_count_) planned = max_events * alike_count_;
      (void)batch.samples.reserve(planned + planned / 32 + kPageBytes / sizeof(Sample));
    }
    batch.plan(max_events, max_samples);
    // Open below both limits, and always for its first event: a byte limit below one sample still
    // delivers events, one per batch.
    const auto open = [&] {
      return batch.events < max_events && (batch.events == 0 || batch.samples.size() < max_samples);
    };
    // Takes an event the reader hands over as header and sample bytes, noting its size for the guess.
    const auto take = [&](const auto& header, const std::byte* bytes, std::size_t count) {
      if (!open() || !batch.append_copy(header, bytes, count)) return false;
      note_size(count);
      return true;
    };
    while (open()) {
      // Events already whole in the stream's buffer, then a guessed run, go in without the per-event
      // step.
      if (!carried_) {
        reader_.next_buffered(take);
        if (!open()) break;
        if (read_alike(batch, max_events, max_samples, take)) continue;
      }
      auto outcome = carried_ ? take_carried() : read_event(batch);
      if (auto* event = std::get_if<Event>(&outcome)) {
        if (batch.append(*event)) {
          note_size(batch.last_count());
          continue;
        }
        if (batch.events == 0) return columns_unallocatable(*event);
        carried_.emplace(std::move(*event));  // delivered first by the next call
        break;
      }
      if (std::holds_alternative<EndOfData>(outcome)) break;
      if (batch.events == 0) return error_of(std::move(outcome));
      if (!is_interruption(outcome)) pending_.emplace(std::move(outcome));
      break;
    }
    if (batch.events == 0) return EndOfData{};
    batch.shrink_to_fit();
    return batch;
  }

 private:
  using Outcome = ReadOutcome<Event>;

  static bool is_interruption(const Outcome& outcome) noexcept {
    const IoError* error = std::get_if<IoError>(&outcome);
    return error != nullptr && error->kind() == IoErrorKind::Interrupted;
  }

  static BatchOutcome<Event> error_of(Outcome&& outcome) {
    if (auto* error = std::get_if<IoError>(&outcome)) return std::move(*error);
    return std::get<DecodeError>(outcome);
  }

  static BatchOutcome<Event> columns_unallocatable(const Event& event) noexcept {
    const auto bytes = static_cast<std::int64_t>(event.data.size() * sizeof(typename Batch<Event>::Sample));
    return DecodeError{DecodeError::Kind::OutOfMemory, "batch columns", bytes, 0};
  }

  // Reads the next event with its samples straight into the batch's column; through next() when the
  // header columns cannot take one more event, so that such an event ends the batch as one whose
  // samples do not fit does.
  Outcome read_event(Batch<Event>& batch) {
    if (!batch.reserve_event()) return reader_.next();
    return reader_.next_into(batch.sink());
  }

  void note_size(std::size_t count) noexcept {
    alike_run_ = count == alike_count_ ? alike_run_ + 1 : 1;
    alike_count_ = count;
  }

  // Reads the run of events of the last size that the open batch still takes, if the run so far makes
  // that worth a guess (see kAlikeRun), into the samples column's spare storage. Returns whether it
  // appended any.
  template <class Take>
  bool read_alike(Batch<Event>& batch, std::size_t max_events, std::size_t max_samples, Take& take) {
    using Sample = typename Batch<Event>::Sample;
    const std::size_t count = alike_count_;
    if (alike_run_ < kAlikeRun || count == 0 || count * sizeof(Sample) < alike_min_bytes_) return false;
    // Every event read must start while the batch is open: below both of its limits.
    const std::size_t below_limit = (max_samples - batch.samples.size() + count - 1) / count;
    const std::size_t events = std::min({alike_run_, max_events - batch.events, below_limit});
    if (!scratch_) scratch_.reset(new (std::nothrow) AlikeScratch);
    if (!scratch_) return false;
    const std::span<std::byte> room(reinterpret_cast<std::byte*>(batch.samples.end()),
                                    batch.samples.spare() * sizeof(Sample));
    const std::size_t taken = reader_.next_alike(*scratch_, count, events, room, take);
    if (taken == 0) alike_run_ = 0;  // take counted those it appended
    return taken != 0;
  }

  BatchOutcome<Event> take_pending() {
    Outcome outcome = std::move(*pending_);
    pending_.reset();
    return error_of(std::move(outcome));
  }

  Outcome take_carried() {
    Outcome outcome = std::move(*carried_);
    carried_.reset();
    return outcome;
  }

  Reader reader_;
  std::optional<Outcome> pending_;  // an error, returned by the next call
  std::optional<Event> carried_;    // an event that did not fit, the first of the next batch
  std::size_t alike_min_bytes_;
  std::size_t alike_count_ = 0;  // the samples of the last event taken
  std::size_t alike_run_ = 0;    // events taken in a row with that count
  std::unique_ptr<AlikeScratch> scratch_;  // allocated at the first guess
};

}  // namespace velk

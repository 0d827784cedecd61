// The scan walker.
#include "scan/scan.hpp"

#include <algorithm>
#include <new>

namespace velk {
namespace {

// The number of sample values in the event's data array.
std::uint64_t sample_values(const WD1Header& header) {
  return WD1Reader::sample_count(header.event_size);
}

std::uint64_t sample_values(const WD2Header& header, std::int32_t layout_channels) {
  return wd2_block_length(static_cast<std::uint32_t>(layout_channels), header.samples) / 4;
}

}  // namespace

std::variant<Scanner, IoError> Scanner::open(std::string_view path, ScanLayout layout,
                                             StreamHooks hooks, std::optional<std::int32_t> wd2_channels,
                                             bool keep_index, ProbeReturn back) {
  std::variant<Scanner, IoError> opened = open_walker(path, layout, hooks, wd2_channels, back);
  if (auto* scanner = std::get_if<Scanner>(&opened)) scanner->keep_index_ = keep_index;
  return opened;
}

std::variant<Scanner, IoError> Scanner::open_walker(std::string_view path, ScanLayout layout,
                                                    StreamHooks hooks,
                                                    std::optional<std::int32_t> wd2_channels,
                                                    ProbeReturn back) {
  Result<EventStream> stream = EventStream::open(path, hooks);
  if (!stream) return stream.error();
  ScanReport report;
  report.file_size = stream->regular_file_size();
  if (layout == ScanLayout::WD1) return Scanner(WD1Reader(std::move(*stream)), std::move(report), false);
  if (wd2_channels) {
    report.channels = *wd2_channels;
    report.channel_decision = ChannelDecision::Given;
    return Scanner(WD2Reader::with_layout(std::move(*stream), *wd2_channels), std::move(report), false);
  }
  ChannelDecision decision{};
  ProbeOutcome probe = WD2Reader::open(std::move(*stream), &decision, back);
  if (auto* reader = std::get_if<WD2Reader>(&probe)) {
    report.channels = reader->layout_channels();
    report.channel_decision = decision;
    return Scanner(std::move(*reader), std::move(report), false);
  }
  if (const auto* error = std::get_if<IoError>(&probe)) {
    if (error->kind() == IoErrorKind::Interrupted) return *error;
    report.error = ScanFailure{*error, true, 0, 0};
  } else {
    report.error = ScanFailure{std::get<DecodeError>(probe), true, 0, 0};
  }
  return Scanner(std::monostate{}, std::move(report), true);
}

std::uint64_t Scanner::position() const noexcept {
  return std::visit(Overloaded{[](std::monostate) { return std::uint64_t{0}; },
                               [](const auto& reader) { return reader.position(); }},
                    reader_);
}

Scanner::Step Scanner::step(std::uint64_t byte_budget) {
  if (done_) return Step::Done;
  return std::visit(Overloaded{[](std::monostate) { return Step::Done; },
                               [&](auto& reader) { return walk(reader, byte_budget); }},
                    reader_);
}

template <class R>
Scanner::Step Scanner::walk(R& reader, std::uint64_t byte_budget) {
  const std::uint64_t stop = reader.position() + byte_budget;
  for (;;) {
    const std::uint64_t start = reader.position();
    auto outcome = reader.skip_next();
    if (std::holds_alternative<EndOfData>(outcome)) {
      finish(reader.file_size(), reader.received(), true);
      return Step::Done;
    }
    if (const IoError* error = std::get_if<IoError>(&outcome)) {
      if (error->kind() == IoErrorKind::Interrupted) return Step::Interrupted;
      report_.error = ScanFailure{*error, false, report_.events, start};
    } else if (const DecodeError* error = std::get_if<DecodeError>(&outcome)) {
      report_.error = ScanFailure{*error, false, report_.events, start};
    }
    if (report_.error) {
      finish(reader.file_size(), reader.received(), false);
      return Step::Done;
    }
    const auto& header = std::get<0>(outcome);
    std::uint64_t values = 0;
    if constexpr (std::is_same_v<R, WD1Reader>) {
      values = sample_values(header);
      record(static_cast<std::uint32_t>(header.event_counter), std::int64_t{header.timestamp}, values);
    } else {
      values = sample_values(header, reader.layout_channels());
      record(header.event_counter, header.timestamp, values);
    }
    if (keep_index_) {
      if (index_.offsets.size() == 0) reserve_index(reader.file_size(), reader.position() - start);
      note_event(start, static_cast<std::uint32_t>(header.event_counter), values);
    }
    report_.bytes_read = reader.position();
    if (report_.bytes_read >= stop) return Step::More;
  }
}

// Room for as many events as the file holds if they are all of the first one's size, so that a file of
// even events is indexed without the columns growing (and copying) on the way.
void Scanner::reserve_index(std::optional<std::uint64_t> file_size, std::uint64_t first_event_bytes) {
  if (!file_size || first_event_bytes == 0) return;
  const auto events =
      static_cast<std::size_t>(std::min<std::uint64_t>(*file_size / first_event_bytes + 1, kIndexReserveLimit));
  // A failure leaves the columns to grow as events come.
  (void)(index_.offsets.reserve(events) && index_.counters.reserve(events) && index_.sample_counts.reserve(events));
}

// A column that cannot grow fails the walk, as it would iterating the file.
void Scanner::note_event(std::uint64_t start, std::uint32_t counter, std::uint64_t values) {
  if (!index_.offsets.reserve(1) || !index_.counters.reserve(1) || !index_.sample_counts.reserve(1)) {
    throw std::bad_alloc();
  }
  index_.offsets.push(static_cast<std::int64_t>(start));
  index_.counters.push(counter);
  index_.sample_counts.push(static_cast<std::uint32_t>(values));
}

void Scanner::record(std::uint32_t counter, TimeTag time, std::uint64_t values) {
  const std::uint64_t index = report_.events++;
  ++report_.sample_counts[values];
  if (index > 0) {
    const auto delta = static_cast<std::int32_t>(counter - last_counter_);
    if (delta > 1) {
      ++report_.counter_gaps;
      report_.missing_counts += static_cast<std::uint64_t>(delta - 1);
      if (!report_.first_gap_event) report_.first_gap_event = index;
    } else if (delta <= 0) {
      ++report_.counter_backward_steps;
      if (!report_.first_backward_event) report_.first_backward_event = index;
    }
  } else {
    report_.first_timestamp = time;
  }
  report_.last_timestamp = time;
  last_counter_ = counter;
}

void Scanner::finish(std::optional<std::uint64_t> file_size, std::uint64_t received, bool at_end_of_data) {
  done_ = true;
  if (file_size) report_.file_size = file_size;
  const std::uint64_t end = report_.file_size ? *report_.file_size : received;
  if (at_end_of_data && end > report_.bytes_read) report_.trailing_bytes = end - report_.bytes_read;
}

}  // namespace velk

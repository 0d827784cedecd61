// Coverage-guided fuzz target for the decoding layer: arbitrary bytes become an in-memory file, read
// through a real descriptor by the WD1 or WD2 reader (chosen at compile time with VELK_FUZZ_WD2) until
// end of data, checking on the way what every outcome promises; then read again, taking the events
// next_buffered offers between the steps, and once more in batches whose builder guesses runs of
// events of one size at any size: both must deliver exactly what next() alone did.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <type_traits>
#include <variant>
#include <vector>

#include "columns/batch_builder.hpp"
#include "event_stream/event_stream.hpp"
#include "wd1_reader/wd1_reader.hpp"
#include "wd2_reader/wd2_reader.hpp"

namespace {

using namespace velk;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

void expect(bool condition, const char* what) {
  if (!condition) fail(what);
}

// An anonymous in-memory file holding exactly the input, positioned at byte 0.
int memory_file(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("velk-fuzz", MFD_CLOEXEC);
  if (fd < 0) fail("memfd_create");
  for (std::size_t done = 0; done < size;) {
    const ssize_t wrote = ::write(fd, data + done, size - done);
    if (wrote <= 0) fail("write to the memory file");
    done += static_cast<std::size_t>(wrote);
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) fail("lseek");
  return fd;
}

// A pipe holding exactly the input, its writing end closed: a stream that cannot seek, whose reads the
// stream takes for ones that may wait. -1 when the input does not fit in the pipe.
int pipe_of(const std::uint8_t* data, std::size_t size) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) fail("pipe2");
  const int capacity = ::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
  const bool fits = capacity > 0 && size <= static_cast<std::size_t>(capacity);
  for (std::size_t done = 0; fits && done < size;) {
    const ssize_t wrote = ::write(fds[1], data + done, size - done);
    if (wrote <= 0) fail("write to the pipe");
    done += static_cast<std::size_t>(wrote);
  }
  ::close(fds[1]);
  if (fits) return fds[0];
  ::close(fds[0]);
  return -1;
}

void check(const WD1Event& event) {
  expect(event.event_size >= WD1Reader::kMinEventSize, "WD1 event below the minimum size");
  const std::int64_t payload = std::int64_t{event.event_size} - 24;
  expect(event.data.size() == static_cast<std::size_t>(payload > 0 ? payload / 2 : 0),
         "WD1 sample count disagrees with event_size");
}

struct WD2Check {
  std::int32_t layout_channels;
  void operator()(const WD2Event& event) const {
    const std::uint32_t block = wd2_block_length(static_cast<std::uint32_t>(layout_channels), event.samples);
    expect(block < WD2Reader::kBlockLimit, "WD2 block beyond the limit was decoded");
    expect(event.data.size() == block / 4, "WD2 sample count disagrees with the block length");
    if (layout_channels < 2) expect(event.channels == layout_channels, "WD2 channels without a word");
  }
};

void check(const DecodeError& error) {
  switch (error.kind) {
    case DecodeError::Kind::SizeBelowMinimum: expect(error.value < error.limit, "size not below minimum"); break;
    case DecodeError::Kind::BlockTooLarge: expect(error.value > error.limit, "block not beyond limit"); break;
    case DecodeError::Kind::OutOfMemory: break;
  }
  expect(!error.message().empty(), "empty decode error text");
}

// One step's delivery, for comparing two ways of reading the same bytes: the header values and the
// samples' bits of an event (nothing for an error), and the reader's position after it.
struct Delivery {
  std::vector<std::uint64_t> values;
  std::uint64_t position;
  bool operator==(const Delivery&) const = default;
};

std::vector<std::uint64_t> values_of(const WD1Header& h) {
  return {std::uint64_t(std::uint32_t(h.event_size)), std::uint64_t(std::uint32_t(h.board_id)),
          std::uint64_t(std::uint32_t(h.pattern)),    std::uint64_t(std::uint32_t(h.board_channel)),
          std::uint64_t(std::uint32_t(h.event_counter)), std::uint64_t(std::uint32_t(h.timestamp))};
}

std::vector<std::uint64_t> values_of(const WD2Header& h) {
  return {h.event_counter, h.timestamp, h.samples, h.sampling_period, std::uint64_t(std::uint32_t(h.channels))};
}

constexpr std::size_t sample_size(const WD1Header&) { return 2; }
constexpr std::size_t sample_size(const WD2Header&) { return 4; }

template <class Header>
Delivery delivery(const Header& header, const std::byte* samples, std::size_t bytes, std::uint64_t position) {
  std::vector<std::uint64_t> values = values_of(header);
  for (std::size_t i = 0; i < bytes; ++i) values.push_back(std::to_integer<std::uint64_t>(samples[i]));
  return {std::move(values), position};
}

// Calls next() until end of data, returning what each step delivered. Every call consumes at least a
// 24-byte header or ends, so more calls than that mean a reader that stopped making progress. A second
// call after the end must end too.
template <class Reader, class EventCheck>
std::vector<Delivery> drain(Reader& reader, std::size_t size, EventCheck&& check_event) {
  const std::size_t bound = size / 24 + 2;
  std::vector<Delivery> delivered;
  for (std::size_t call = 0;; ++call) {
    expect(call <= bound, "reader makes no progress");
    auto outcome = reader.next();
    if (std::holds_alternative<EndOfData>(outcome)) break;
    if (std::holds_alternative<IoError>(outcome)) fail("read error from an in-memory file");
    if (const auto* error = std::get_if<DecodeError>(&outcome)) {
      check(*error);
      delivered.push_back({{}, reader.position()});
    }
    if (auto* event = std::get_if<0>(&outcome)) {
      check_event(*event);
      delivered.push_back(delivery(*event, reinterpret_cast<const std::byte*>(event->data.data()),
                                   event->data.size() * sizeof(*event->data.data()), reader.position()));
    }
  }
  expect(std::holds_alternative<EndOfData>(reader.next()), "end of data is not repeated");
  return delivered;
}

// Reads the same bytes again, taking every event next_buffered offers before each next(): the
// deliveries must be next()'s own, in the same order and at the same positions.
template <class Reader>
void expect_same_with_next_buffered(Reader& reader, const std::vector<Delivery>& expected) {
  std::size_t i = 0;
  for (;;) {
    reader.next_buffered([&](const auto& header, const std::byte* samples, std::size_t count) {
      const Delivery got = delivery(header, samples, count * sample_size(header), 0);
      expect(i < expected.size() && got.values == expected[i].values, "next_buffered delivered another event");
      ++i;
      return true;
    });
    auto outcome = reader.next();
    if (std::holds_alternative<EndOfData>(outcome)) break;
    expect(i < expected.size(), "next after next_buffered delivered more than next");
    std::vector<std::uint64_t> values;
    if (auto* event = std::get_if<0>(&outcome)) {
      values = delivery(*event, reinterpret_cast<const std::byte*>(event->data.data()),
                        event->data.size() * sizeof(*event->data.data()), 0).values;
    }
    expect(values == expected[i].values && reader.position() == expected[i].position,
           "next after next_buffered disagrees with next");
    ++i;
  }
  expect(i == expected.size(), "next_buffered and next delivered fewer than next");
}

// Reads the same bytes in batches, with reads of alike events tried whatever their size: the events
// and errors, in order, must be next()'s own. The input's size picks the batch limits: up to 7 events
// or as many as 256 KiB of samples hold, or fewer bytes.
template <class Reader>
void expect_same_in_batches(Reader reader, const std::vector<Delivery>& expected, std::size_t size) {
  const std::size_t max_events = size % 3 == 0 ? 65536 : 1 + size % 7;
  const std::size_t max_bytes = std::size_t{4096} << (size % 7);
  BatchBuilder<Reader> builder(std::move(reader), 0);
  std::size_t i = 0;
  for (std::size_t call = 0; call <= expected.size() + 1; ++call) {
    auto outcome = builder.next(max_events, max_bytes);
    if (std::holds_alternative<EndOfData>(outcome)) break;
    expect(i < expected.size(), "batches delivered more than next");
    if (std::holds_alternative<IoError>(outcome)) fail("read error from an in-memory file");
    if (std::holds_alternative<DecodeError>(outcome)) {
      expect(expected[i++].values.empty(), "batches failed where next delivered an event");
      continue;
    }
    auto& batch = std::get<0>(outcome);
    const auto* offsets = batch.offsets.data();
    for (std::size_t e = 0; e < batch.events; ++e, ++i) {
      std::vector<std::uint64_t> values;
      std::apply([&](const auto&... column) {
        (values.push_back(static_cast<std::make_unsigned_t<std::remove_cvref_t<decltype(*column.data())>>>(
             column.data()[e])), ...);
      }, batch.header.columns);
      const auto* samples = reinterpret_cast<const std::byte*>(batch.samples.data() + offsets[e]);
      const std::size_t bytes = static_cast<std::size_t>(offsets[e + 1] - offsets[e]) * sizeof(*batch.samples.data());
      for (std::size_t b = 0; b < bytes; ++b) values.push_back(std::to_integer<std::uint64_t>(samples[b]));
      expect(i < expected.size() && values == expected[i].values, "batches delivered another event");
    }
  }
  expect(i == expected.size(), "batches delivered fewer than next");
}

// A stream on a descriptor of its own over the input's bytes, positioned at byte 0.
EventStream stream_of(const std::uint8_t* data, std::size_t size) {
  Result<EventStream> stream = EventStream::adopt(FileDescriptor(memory_file(data, size)));
  if (!stream) fail("adopt");
  return std::move(*stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
#ifdef VELK_FUZZ_WD2
  ProbeOutcome probe = WD2Reader::open(stream_of(data, size));
  if (auto* reader = std::get_if<WD2Reader>(&probe)) {
    const std::int32_t layout = reader->layout_channels();
    const std::vector<Delivery> delivered = drain(*reader, size, WD2Check{layout});
    ProbeOutcome second = WD2Reader::open(stream_of(data, size));
    expect(std::holds_alternative<WD2Reader>(second), "the probe decided differently on the same bytes");
    expect_same_with_next_buffered(std::get<WD2Reader>(second), delivered);
    ProbeOutcome third = WD2Reader::open(stream_of(data, size));
    expect(std::holds_alternative<WD2Reader>(third), "the probe decided differently on the same bytes");
    expect_same_in_batches(std::move(std::get<WD2Reader>(third)), delivered, size);
  } else if (const auto* error = std::get_if<IoError>(&probe)) {
    expect(error->kind() == IoErrorKind::UnexpectedEof, "probe failed other than at end of file");
  } else {
    check(std::get<DecodeError>(probe));
  }
#else
  WD1Reader reader(stream_of(data, size));
  const std::vector<Delivery> delivered = drain(reader, size, [](const WD1Event& event) { check(event); });
  WD1Reader second(stream_of(data, size));
  expect_same_with_next_buffered(second, delivered);
  if (const int fd = pipe_of(data, size); fd >= 0) {
    Result<EventStream> piped = EventStream::adopt(FileDescriptor(fd));
    if (!piped) fail("adopt");
    WD1Reader reader_of_pipe(std::move(*piped));
    expect(drain(reader_of_pipe, size, [](const WD1Event& event) { check(event); }) == delivered,
           "a pipe delivered other events than a file");
  }
  expect_same_in_batches(WD1Reader(stream_of(data, size)), delivered, size);
#endif
  return 0;
}

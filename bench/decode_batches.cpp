// What the decoding layer alone reaches when it gathers a recording's events into batches: the same
// BatchBuilder, stream buffer and limits as velk_tools.read_batches, with no interpreter, no NumPy and no
// objects, against reading the same file in 1 MiB chunks into one reused, page-aligned buffer. The
// difference between its share of that bandwidth and read_batches' is what the Python binding costs;
// its own share is the most any binding of this decoder can reach.
//
// Keep loop: each batch is held until the next has been read, then freed as NumPy frees it.
//
// On a file of one event size with blocks below kScatterMinBytes, which batches never read scattered,
// it also times the bare reads and moves such a batch needs: a batch's worth of events read with one call
// into a block of its own at the file's phase, each sample block then moved down over the headers
// before it, the block kept until the next one is read. No header is decoded and no column is built,
// so its share of the bandwidth is the most this way of reading such files can reach; "-" elsewhere.
// Rounds interleave the readers; the fastest round of each is reported.
//
// Usage: decode_batches FILE WD1|WD2 [ROUNDS] [MAX_BYTES]
// Prints one line: "<share of bandwidth> <batches MB/s> <bandwidth MB/s> <events> <bare share>".
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <tuple>
#include <variant>

#include "columns/batch_builder.hpp"

namespace {

using velk::Batch;
using velk::BatchBuilder;
using velk::EventStream;

// read_batches' defaults (DEFAULT_MAX_EVENTS and DEFAULT_MAX_BYTES of velk_tools.columns).
constexpr std::size_t kMaxEvents = 65536;
constexpr std::size_t kDefaultMaxBytes = std::size_t{1} << 19;
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

template <class T>
void free_column(velk::ColumnBuffer<T>& column) {
  const velk::SampleStorage storage = std::move(column).release();
  velk::free_samples<T>(storage.data, storage.capacity);
}

template <class Event>
void free_batch(Batch<Event>& batch) {
  free_column(batch.samples);
  free_column(batch.offsets);
  std::apply([](auto&... column) { (free_column(column), ...); }, batch.header.columns);
}

std::optional<EventStream> open_stream(const char* path) {
  auto stream = EventStream::open(path, {}, velk::kBatchStreamBufferBytes);
  if (!stream) return std::nullopt;
  return std::move(*stream);
}

// What the batches of a file delivered.
struct Delivered {
  std::size_t events = 0;
  std::size_t sample_bytes = 0;
};

// Reads the whole file in batches.
template <class Reader>
Delivered drain_batches(Reader reader, std::size_t max_bytes) {
  using Event = typename BatchBuilder<Reader>::Event;
  BatchBuilder<Reader> builder(std::move(reader));
  std::optional<Batch<Event>> kept;
  Delivered delivered;
  for (;;) {
    auto outcome = builder.next(kMaxEvents, max_bytes);
    auto* batch = std::get_if<Batch<Event>>(&outcome);
    if (batch == nullptr) break;
    delivered.events += batch->events;
    delivered.sample_bytes += batch->samples.size() * sizeof(typename Batch<Event>::Sample);
    if (kept) free_batch(*kept);
    kept.emplace(std::move(*batch));
  }
  if (kept) free_batch(*kept);
  return delivered;
}

std::optional<Delivered> batches_pass(const char* path, std::string_view layout, std::size_t max_bytes) {
  auto stream = open_stream(path);
  if (!stream) return std::nullopt;
  if (layout == "WD1") return drain_batches(velk::WD1Reader(std::move(*stream)), max_bytes);
  auto probe = velk::WD2Reader::open(std::move(*stream));
  auto* reader = std::get_if<velk::WD2Reader>(&probe);
  if (reader == nullptr) return std::nullopt;
  return drain_batches(std::move(*reader), max_bytes);
}

// The header and sample block of every event of a file of one event size, from what its batches
// delivered; nothing for other files.
struct EventShape {
  std::size_t header_bytes;
  std::size_t block_bytes;
};

std::optional<EventShape> shape_of(const Delivered& delivered, std::uint64_t file_bytes) {
  const std::size_t events = delivered.events;
  if (events == 0 || file_bytes % events != 0 || delivered.sample_bytes % events != 0) return std::nullopt;
  const std::size_t event_bytes = static_cast<std::size_t>(file_bytes / events);
  const std::size_t block_bytes = delivered.sample_bytes / events;
  if (block_bytes == 0 || block_bytes >= event_bytes) return std::nullopt;
  return EventShape{event_bytes - block_bytes, block_bytes};
}

// The bare reads and moves of batches of `shape` events (see the top of this file).
bool bare_pass(const char* path, EventShape shape, std::size_t max_bytes) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const std::size_t event_bytes = shape.header_bytes + shape.block_bytes;
  // A batch holds at least one event, and ends at kMaxEvents events or once its samples take max_bytes.
  const std::size_t blocks_to_limit = (max_bytes + shape.block_bytes - 1) / shape.block_bytes;
  const std::size_t batch_events = std::clamp<std::size_t>(blocks_to_limit, 1, kMaxEvents);
  const std::size_t batch_bytes = batch_events * event_bytes;
  std::byte* kept = nullptr;
  std::uint64_t offset = 0;
  ssize_t got = 0;
  for (;;) {
    auto* block = static_cast<std::byte*>(std::malloc(batch_bytes + velk::kPageBytes));
    if (block == nullptr) {
      got = -1;
      break;
    }
    const std::size_t pad = (offset - reinterpret_cast<std::uintptr_t>(block)) % velk::kPageBytes;
    std::byte* const area = block + pad;
    got = ::read(fd, area, batch_bytes);
    if (got <= 0) {
      std::free(block);
      break;
    }
    const std::size_t events = static_cast<std::size_t>(got) / event_bytes;
    for (std::size_t i = 0; i < events; ++i) {
      const std::byte* samples = area + i * event_bytes + shape.header_bytes;
      std::memmove(block + i * shape.block_bytes, samples, shape.block_bytes);
    }
    offset += static_cast<std::uint64_t>(got);
    std::free(kept);
    kept = block;
  }
  std::free(kept);
  ::close(fd);
  return got == 0;
}

// The chunk is page-aligned, as bench.py's is: where it lands within a page changes the kernel's copy.
bool bandwidth_pass(const char* path, std::byte* chunk) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t got = 0;
  while ((got = ::read(fd, chunk, kChunkBytes)) > 0) {
  }
  ::close(fd);
  return got == 0;
}

std::uint64_t file_bytes(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const off_t end = ::lseek(fd, 0, SEEK_END);
  ::close(fd);
  return static_cast<std::uint64_t>(std::max<off_t>(end, 0));
}

template <class F>
double seconds(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::string_view(argv[2]) != "WD1" && std::string_view(argv[2]) != "WD2")) {
    std::fprintf(stderr, "usage: %s FILE WD1|WD2 [ROUNDS] [MAX_BYTES]\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  const std::string_view layout = argv[2];
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  const std::size_t max_bytes = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : kDefaultMaxBytes;
  const std::unique_ptr<std::byte, decltype(&std::free)> chunk(
      static_cast<std::byte*>(std::aligned_alloc(velk::kPageBytes, kChunkBytes)), &std::free);
  if (!chunk) {
    std::fprintf(stderr, "%s: out of memory\n", argv[0]);
    return 1;
  }
  const std::uint64_t size = file_bytes(path);
  double best_batches = 1e300;
  double best_bandwidth = 1e300;
  double best_bare = 1e300;
  std::optional<Delivered> delivered;
  std::optional<EventShape> shape;
  bool read_ok = true;
  for (int round = 0; round < rounds && read_ok; ++round) {
    best_batches = std::min(best_batches, seconds([&] { delivered = batches_pass(path, layout, max_bytes); }));
    if (!delivered) break;
    const double bandwidth = seconds([&] { read_ok = bandwidth_pass(path, chunk.get()); });
    best_bandwidth = std::min(best_bandwidth, bandwidth);
    if (round == 0) shape = shape_of(*delivered, size);
    if (shape && shape->block_bytes < velk::kScatterMinBytes) {
      best_bare = std::min(best_bare, seconds([&] { read_ok = bare_pass(path, *shape, max_bytes); }));
    }
  }
  if (!delivered || !read_ok) {
    std::fprintf(stderr, "%s: cannot read %s as %s\n", argv[0], path, argv[2]);
    return 1;
  }
  const double bytes = static_cast<double>(size);
  std::printf("%.3f %.0f %.0f %zu ", best_bandwidth / best_batches, bytes / best_batches / 1e6,
              bytes / best_bandwidth / 1e6, delivered->events);
  if (best_bare < 1e300) {
    std::printf("%.3f\n", best_bandwidth / best_bare);
  } else {
    std::printf("-\n");
  }
  return 0;
}

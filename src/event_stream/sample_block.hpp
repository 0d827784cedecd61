// Reading a block of samples whose length a header claims.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <variant>

#include "event_stream/event_stream.hpp"
#include "event_stream/sample_vector.hpp"

namespace velk {

// Blocks up to this size are allocated at once, at their exact size, and so are larger blocks that a
// regular file holds in full. Other larger claims grow with the bytes the file actually delivers, so a
// short or corrupt file that claims a block of up to 2 GiB costs no more memory than it holds, and
// ends in end of data rather than a failed allocation.
inline constexpr std::size_t kEagerBlockBytes = std::size_t{1} << 24;

// The event's samples could not be held in memory; the rest of its block was read and discarded.
struct SamplesUnallocatable {};

template <class T>
using SampleBlock = std::variant<SampleVector<T>, IoError, SamplesUnallocatable>;

// Reads and discards the rest of a block whose samples cannot be held.
template <class T>
SampleBlock<T> skip_rest(EventStream& stream, std::size_t bytes) {
  if (Status s = stream.skip(bytes); !s) return s.error();
  return SamplesUnallocatable{};
}

// Reads exactly `count` samples' bytes into a vector of exactly `count` samples. Bytes delivered before
// a failed read stay consumed, as with a single exact read of the whole block. When the samples cannot
// be allocated the block is still read to its end, so that the next event starts where it should.
template <class T>
SampleBlock<T> read_sample_block(EventStream& stream, std::size_t count) {
  const std::size_t bytes = count * sizeof(T);
  if (bytes >= block_cache::kMinBytes) stream.use_block_cache();
  // The samples share the file's offset within a page, which speeds up the kernel's copy (paged).
  const std::size_t phase = static_cast<std::size_t>(stream.position() % kPageBytes);
  // A cached block of the full size is memory already held, so it is used at once.
  std::optional<SampleVector<T>> samples = SampleVector<T>::reuse(count, phase);
  const bool at_once = samples || bytes <= kEagerBlockBytes || stream.file_holds(bytes);
  std::size_t have = at_once ? count : kEagerBlockBytes / sizeof(T);
  if (!samples) samples = SampleVector<T>::allocate(have, phase);
  for (std::size_t done = 0;;) {
    if (!samples) return skip_rest<T>(stream, (count - done) * sizeof(T));
    if (Status s = stream.read_exact(samples->bytes() + done * sizeof(T), (have - done) * sizeof(T)); !s) {
      return s.error();
    }
    if (have == count) return std::move(*samples);
    done = have;
    have = std::min(count, 2 * have);
    if (!samples->grow(have)) samples.reset();
  }
}

// Where a reader puts an event's samples instead of allocating them: the free storage from `free` to
// `end`, which grow(sink, count) may replace by storage for at least `count` samples (returning false
// when it cannot, or when it is null). A read that succeeds puts exactly the block's samples at `free`
// and advances it past them; one that fails leaves `free` where it was. The storage stays the
// caller's.
template <class T>
struct SampleSink {
  T* free = nullptr;
  T* end = nullptr;
  bool (*grow)(SampleSink& sink, std::size_t count) noexcept = nullptr;
  void* context = nullptr;
};

// Reads `count` samples as read_sample_block does, into the sink's storage when it gives some: the
// result is then an empty vector. Blocks too large to be allocated at once are never put in a sink,
// so a corrupt size claim costs no more memory there than through read_sample_block.
template <class T, class Bits>
SampleBlock<T> read_sample_block(EventStream& stream, std::size_t count, SampleSink<T>& sink) {
  const bool fits = count <= static_cast<std::size_t>(sink.end - sink.free) ||
                    (count <= kEagerBlockBytes / sizeof(T) && sink.grow != nullptr && sink.grow(sink, count));
  if (fits && count != 0) {
    if (Status s = stream.read_exact(reinterpret_cast<std::byte*>(sink.free), count * sizeof(T)); !s) {
      return s.error();
    }
    samples_from_little_endian<T, Bits>(sink.free, count);
    sink.free += count;
    return SampleVector<T>::empty();
  }
  SampleBlock<T> block = read_sample_block<T>(stream, count);
  if (auto* samples = std::get_if<SampleVector<T>>(&block)) samples_from_little_endian<T, Bits>(*samples);
  return block;
}

}  // namespace velk

// Reading a block of samples whose length a header claims.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <variant>

#include "event_stream/event_stream.hpp"
#include "event_stream/sample_vector.hpp"

namespace velk {

// Blocks up to this size are allocated at once, at their exact size. Larger claims grow with the bytes
// the file actually delivers, so a short or corrupt file that claims a block of up to 2 GiB costs no
// more memory than it holds, and ends in end of data rather than a failed allocation.
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
  if (count * sizeof(T) >= block_cache::kMinBytes) stream.use_block_cache();
  // A cached block of the full size is memory already held, so it is used at once.
  std::optional<SampleVector<T>> samples = SampleVector<T>::reuse(count);
  std::size_t have = samples ? count : std::min(count, kEagerBlockBytes / sizeof(T));
  if (!samples) samples = SampleVector<T>::allocate(have);
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

}  // namespace velk

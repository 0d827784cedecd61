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

struct SamplesUnallocatable {};

template <class T>
using SampleBlock = std::variant<SampleVector<T>, IoError, SamplesUnallocatable>;

// Reads exactly `count` samples' bytes into a vector of exactly `count` samples. Bytes delivered before
// a failed read stay consumed, as with a single exact read of the whole block.
template <class T>
SampleBlock<T> read_sample_block(EventStream& stream, std::size_t count) {
  // A cached block of the full size is memory already held, so it is used at once.
  std::optional<SampleVector<T>> samples = SampleVector<T>::reuse(count);
  std::size_t have = samples ? count : std::min(count, kEagerBlockBytes / sizeof(T));
  if (!samples) samples = SampleVector<T>::allocate(have);
  if (!samples) return SamplesUnallocatable{};
  for (std::size_t done = 0;;) {
    if (Status s = stream.read_exact(samples->bytes() + done * sizeof(T), (have - done) * sizeof(T)); !s) {
      return s.error();
    }
    if (have == count) return std::move(*samples);
    done = have;
    have = std::min(count, 2 * have);
    if (!samples->grow(have)) return SamplesUnallocatable{};
  }
}

}  // namespace velk

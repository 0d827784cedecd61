// A contiguous block of samples whose storage can be handed over to another owner without copying.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include <sys/mman.h>

#include "event_stream/block_cache.hpp"

namespace velk {

// Storage released from a SampleVector<T>. Whoever takes it frees it with free_samples<T>.
struct SampleStorage {
  void* data;
  std::size_t length;    // elements
  std::size_t capacity;  // elements
};

// Storage of at least kPagedMinBytes is "paged": malloc'd with kPagedSpareBytes to spare, its samples
// start at a chosen offset within a page (the phase), and the malloc'd block's address is kept just
// after them. Readers choose the phase of the file bytes the samples come from: the kernel copies
// page-cache data into memory that is not in the CPU cache up to twice as fast when source and
// destination share their offset within a page (64 MiB reads: 10-11 GB/s against 3-8 GB/s). Smaller
// blocks mostly land in memory the cache still holds, where the phase made no measurable difference.
inline constexpr std::size_t kPageBytes = 4096;
inline constexpr std::size_t kPagedMinBytes = std::size_t{1} << 20;
inline constexpr std::size_t kPagedSpareBytes = kPageBytes + 2 * sizeof(void*);

namespace paged {

inline bool holds(std::size_t bytes) noexcept { return bytes >= kPagedMinBytes; }

inline std::size_t phase_of(const void* data) noexcept {
  return reinterpret_cast<std::uintptr_t>(data) % kPageBytes;
}

// Where the block's address is kept: the first pointer-aligned bytes after `bytes` bytes of samples.
inline std::byte* block_slot(const void* data, std::size_t bytes) noexcept {
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(data) + bytes;
  return reinterpret_cast<std::byte*>((end + sizeof(void*) - 1) & ~(sizeof(void*) - 1));
}

// The malloc'd block of paged storage of `bytes` bytes whose samples start at `data`.
inline void* block_of(const void* data, std::size_t bytes) noexcept {
  void* block;
  std::memcpy(&block, block_slot(data, bytes), sizeof block);
  return block;
}

// Records `block` as the malloc'd block of the paged storage at `data`.
inline void mark(const void* data, std::size_t bytes, void* block) noexcept {
  std::memcpy(block_slot(data, bytes), &block, sizeof block);
}

// The first address of `block` at offset `phase` within its page.
inline std::byte* place(void* block, std::size_t phase) noexcept {
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(block);
  std::uintptr_t data = first - first % kPageBytes + phase;
  if (data < first) data += kPageBytes;
  return reinterpret_cast<std::byte*>(data);
}

// Asks for transparent huge pages on the whole pages of a block of `bytes` bytes of at least
// kHugePagesMinBytes, before anything touches them: the kernel then faults in 2 MiB at a time, which
// took reading 64 MiB events from 5.5 to 9.8 GB/s here. A failure (no such support) changes nothing.
inline constexpr std::size_t kHugePagesMinBytes = std::size_t{4} << 20;
inline void advise_huge_pages(void* block, std::size_t bytes) noexcept {
  if (bytes < kHugePagesMinBytes) return;
  const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(block) + kPageBytes - 1) & ~(kPageBytes - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(block) + bytes) & ~(kPageBytes - 1);
  (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace paged

// What malloc returned for storage of `bytes` bytes whose samples start at `data`.
inline void* storage_block(void* data, std::size_t bytes) noexcept {
  return data != nullptr && paged::holds(bytes) ? paged::block_of(data, bytes) : data;
}

// Frees storage of `capacity` elements of type T taken from a SampleVector<T>; nothing is allocated
// when capacity is 0. Blocks large enough go back to the block cache instead, and blocks of a few
// hundred KiB are freed one release late (block_cache). Safe from any thread.
template <class T>
void free_samples(void* data, std::size_t capacity) noexcept {
  const std::size_t bytes = capacity * sizeof(T);
  void* block = storage_block(data, bytes);
  if (bytes >= block_cache::kMinBytes) {
    block_cache::release(block, bytes);
  } else if (bytes >= block_cache::kLateMinBytes && bytes <= block_cache::kLateMaxBytes) {
    block_cache::release_late(block);
  } else {
    std::free(block);
  }
}

// Uninitialised storage for exactly `size` samples, allocated once with malloc so that the storage can
// outlive the vector (a std::vector cannot give its buffer away).
template <class T>
class SampleVector {
 public:
  // Returns nothing when the storage cannot be allocated. Paged storage puts its samples at offset
  // `phase` within a page (rounded down to the samples' alignment); smaller storage ignores it.
  static std::optional<SampleVector> allocate(std::size_t size, std::size_t phase = 0) noexcept {
    if (size == 0) return SampleVector(nullptr, 0);
    if (size > kMaxSize) return std::nullopt;
    const std::size_t bytes = size * sizeof(T);
    if (!paged::holds(bytes)) {
      void* data = retrying_allocation([&] { return std::malloc(bytes); });
      if (data == nullptr) return std::nullopt;
      return SampleVector(static_cast<T*>(data), size);
    }
    void* block = retrying_allocation([&] { return std::malloc(bytes + kPagedSpareBytes); });
    if (block == nullptr) return std::nullopt;
    paged::advise_huge_pages(block, bytes + kPagedSpareBytes);
    return SampleVector(placed(block, size, phase), size);
  }

  // No samples, no storage.
  static SampleVector empty() noexcept { return SampleVector(nullptr, 0); }

  // Storage for exactly `size` samples taken from the block cache, with stale contents, its samples
  // at `phase` as with allocate; nothing when the cache holds no block of that size.
  static std::optional<SampleVector> reuse(std::size_t size, std::size_t phase) noexcept {
    if (size < block_cache::kMinBytes / sizeof(T) || size > kMaxSize) return std::nullopt;
    void* block = block_cache::acquire(size * sizeof(T));
    if (block == nullptr) return std::nullopt;
    return SampleVector(placed(block, size, phase), size);
  }

  SampleVector(SampleVector&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  SampleVector& operator=(SampleVector&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  // Samples never handed over belong to no delivered event: they are freed, not cached. Most vectors
  // a batch sees are empty (their samples went straight into a column), hence the test.
  ~SampleVector() {
    if (data_ != nullptr) std::free(storage_block(data_, size_ * sizeof(T)));
  }

  // Enlarges the storage to exactly `size` samples (size >= size()), keeping the samples held so far
  // and their phase. Returns false, leaving the vector unchanged, when the storage cannot be allocated.
  bool grow(std::size_t size) noexcept { return size <= kMaxSize && resize(size); }

  // Gives back the storage beyond `size` samples (size <= size()); on a failure the storage stays
  // as it is, which is as good.
  void shrink(std::size_t size) noexcept {
    if (size != 0) {
      (void)resize(size);
    } else {
      std::free(storage_block(std::exchange(data_, nullptr), size_ * sizeof(T)));
      size_ = 0;
    }
  }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::byte* bytes() noexcept { return reinterpret_cast<std::byte*>(data_); }

  // Hands the storage to the caller, leaving the vector empty.
  SampleStorage release() && noexcept {
    return {std::exchange(data_, nullptr), size_, std::exchange(size_, 0)};
  }

 private:
  static constexpr std::size_t kMaxSize = (SIZE_MAX - kPagedSpareBytes) / sizeof(T);

  SampleVector(T* data, std::size_t size) noexcept : data_(data), size_(size) {}

  // Blocks kept by the cache must never be the reason an allocation fails: on failure the cache is
  // emptied and the allocation tried once more.
  template <class Allocate>
  static void* retrying_allocation(Allocate allocate) noexcept {
    void* data = allocate();
    if (data == nullptr && block_cache::clear()) data = allocate();
    return data;
  }

  // Samples of `size` elements placed at `phase` (rounded down to their alignment) in `block`.
  static T* placed(void* block, std::size_t size, std::size_t phase) noexcept {
    T* data = reinterpret_cast<T*>(paged::place(block, phase % kPageBytes / alignof(T) * alignof(T)));
    paged::mark(data, size * sizeof(T), block);
    return data;
  }

  // Reallocates the storage for `size` samples (nonzero), keeping min(size, size()) samples. Paged
  // storage stays where realloc puts it (so its phase survives when realloc maps it afresh); only a
  // shrink below the paged size moves the samples, to the block's start where smaller storage keeps
  // them.
  bool resize(std::size_t size) noexcept {
    const std::size_t old_bytes = size_ * sizeof(T);
    const std::size_t new_bytes = size * sizeof(T);
    const bool was_paged = data_ != nullptr && paged::holds(old_bytes);
    const bool is_paged = paged::holds(new_bytes);
    void* block = storage_block(data_, old_bytes);
    std::size_t offset = static_cast<std::size_t>(bytes() - static_cast<std::byte*>(block));
    if (was_paged && !is_paged) {
      std::memmove(block, data_, new_bytes);
      offset = 0;
    }
    void* moved = retrying_allocation(
        [&] { return std::realloc(block, is_paged ? new_bytes + kPagedSpareBytes : new_bytes); });
    if (moved == nullptr) {
      if (was_paged && !is_paged) std::memmove(data_, block, new_bytes);  // back where it was
      return false;
    }
    data_ = reinterpret_cast<T*>(static_cast<std::byte*>(moved) + offset);
    size_ = size;
    if (is_paged) {
      paged::mark(data_, new_bytes, moved);
      if (new_bytes > old_bytes) paged::advise_huge_pages(moved, new_bytes + kPagedSpareBytes);
    }
    return true;
  }

  T* data_;
  std::size_t size_;  // also the capacity: the storage is allocated at its exact size
};

// Samples are read from the file straight into their storage; on a big-endian host each element is
// then byte-swapped in place. Floats are swapped as their 32-bit patterns, so NaN payloads survive.
template <class T, class Bits>
void samples_from_little_endian(T* samples, std::size_t count) noexcept {
  static_assert(sizeof(T) == sizeof(Bits));
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i < count; ++i) {
      Bits bits = std::bit_cast<Bits>(samples[i]);
      bits = static_cast<Bits>(__builtin_bswap32(bits) >> (32 - 8 * sizeof(Bits)));
      samples[i] = std::bit_cast<T>(bits);
    }
  }
}

template <class T, class Bits>
void samples_from_little_endian(SampleVector<T>& samples) noexcept {
  samples_from_little_endian<T, Bits>(samples.data(), samples.size());
}

}  // namespace velk

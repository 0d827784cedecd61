// A contiguous block of samples whose storage can be handed over to another owner without copying.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <utility>

#include "event_stream/block_cache.hpp"

namespace velk {

// Storage released from a SampleVector<T>. Whoever takes it frees it with free_samples<T>.
struct SampleStorage {
  void* data;
  std::size_t length;    // elements
  std::size_t capacity;  // elements
};

// Frees storage of `capacity` elements of type T taken from a SampleVector<T>; nothing is allocated
// when capacity is 0. Blocks large enough go back to the block cache instead, and blocks of a few
// hundred KiB are freed one release late (block_cache). Safe from any thread.
template <class T>
void free_samples(void* data, std::size_t capacity) noexcept {
  const std::size_t bytes = capacity * sizeof(T);
  if (bytes >= block_cache::kMinBytes) {
    block_cache::release(data, bytes);
  } else if (bytes >= block_cache::kLateMinBytes && bytes <= block_cache::kLateMaxBytes) {
    block_cache::release_late(data);
  } else if (bytes != 0) {
    std::free(data);
  }
}

// Uninitialised storage for exactly `size` samples, allocated once with malloc so that the storage can
// outlive the vector (a std::vector cannot give its buffer away).
template <class T>
class SampleVector {
 public:
  // Returns nothing when the storage cannot be allocated.
  static std::optional<SampleVector> allocate(std::size_t size) noexcept {
    if (size == 0) return SampleVector(nullptr, 0);
    if (size > SIZE_MAX / sizeof(T)) return std::nullopt;
    void* data = retrying_allocation([&] { return std::malloc(size * sizeof(T)); });
    if (data == nullptr) return std::nullopt;
    return SampleVector(static_cast<T*>(data), size);
  }

  // No samples, no storage.
  static SampleVector empty() noexcept { return SampleVector(nullptr, 0); }

  // Storage for exactly `size` samples taken from the block cache, with stale contents; nothing when
  // the cache holds no block of that size.
  static std::optional<SampleVector> reuse(std::size_t size) noexcept {
    if (size < block_cache::kMinBytes / sizeof(T) || size > SIZE_MAX / sizeof(T)) return std::nullopt;
    void* data = block_cache::acquire(size * sizeof(T));
    if (data == nullptr) return std::nullopt;
    return SampleVector(static_cast<T*>(data), size);
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
    if (data_ != nullptr) std::free(data_);
  }

  // Enlarges the storage to exactly `size` samples (size >= size()), keeping the samples held so far.
  // Returns false, leaving the vector unchanged, when the storage cannot be allocated.
  bool grow(std::size_t size) noexcept {
    if (size > SIZE_MAX / sizeof(T)) return false;
    void* data = retrying_allocation([&] { return std::realloc(data_, size * sizeof(T)); });
    if (data == nullptr) return false;
    data_ = static_cast<T*>(data);
    size_ = size;
    return true;
  }

  // Gives back the storage beyond `size` samples (size <= size()); on a failure the storage stays
  // as it is, which is as good.
  void shrink(std::size_t size) noexcept {
    if (size == 0) {
      std::free(std::exchange(data_, nullptr));
    } else if (void* data = std::realloc(data_, size * sizeof(T))) {
      data_ = static_cast<T*>(data);
    } else {
      return;
    }
    size_ = size;
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
  SampleVector(T* data, std::size_t size) noexcept : data_(data), size_(size) {}

  // Blocks kept by the cache must never be the reason an allocation fails: on failure the cache is
  // emptied and the allocation tried once more.
  template <class Allocate>
  static void* retrying_allocation(Allocate allocate) noexcept {
    void* data = allocate();
    if (data == nullptr && block_cache::clear()) data = allocate();
    return data;
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

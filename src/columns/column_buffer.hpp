// A growing column of values whose storage is handed over to another owner without copying.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <utility>

#include "event_stream/sample_vector.hpp"

namespace velk {

// Values appended one by one or in runs into one malloc'd block that doubles as it fills. The block
// is a SampleVector's storage, so release() gives a SampleStorage that free_samples<T> frees, exactly
// like an event's samples; its length is the values held, its capacity the block's size.
template <class T>
class ColumnBuffer {
 public:
  ColumnBuffer() noexcept : storage_(std::move(*SampleVector<T>::allocate(0))) {}

  std::size_t size() const noexcept { return used_; }
  const T* data() const noexcept { return storage_.data(); }

  // Makes room for `extra` more values. Returns false, leaving the column unchanged, when the
  // storage cannot grow.
  [[nodiscard]] bool reserve(std::size_t extra) noexcept {
    if (extra <= storage_.size() - used_) return true;
    if (extra > SIZE_MAX / sizeof(T) - used_) return false;
    // The first storage takes exactly what is asked (at least kFirstCapacity): a column reserved at
    // the size its batch ends at is not doubled past it. Later growth doubles.
    std::size_t capacity = storage_.size() == 0 ? std::max(kFirstCapacity, extra) : storage_.size();
    while (capacity - used_ < extra) capacity = capacity > SIZE_MAX / 4 ? used_ + extra : 2 * capacity;
    return storage_.grow(capacity);
  }

  // Values the storage holds beyond those held, and where they start.
  std::size_t spare() const noexcept { return storage_.size() - used_; }
  T* end() noexcept { return storage_.data() + used_; }
  // Counts `n` more values written past the end, within the spare storage.
  void commit(std::size_t n) noexcept { used_ += n; }

  // Takes over a vector's storage as the values held; only while the column is empty.
  void adopt(SampleVector<T>&& values) noexcept {
    storage_ = std::move(values);
    used_ = storage_.size();
  }

  // Takes over a vector's storage as room for values to come; only while the column is empty.
  void take_room(SampleVector<T>&& room) noexcept {
    storage_ = std::move(room);
    used_ = 0;
  }

  // Appends after a reserve() that made room.
  void push(T value) noexcept { storage_.data()[used_++] = value; }
  void append(const T* values, std::size_t n) noexcept {
    if (n != 0) std::memcpy(storage_.data() + used_, values, n * sizeof(T));
    used_ += n;
  }

  // Gives back most of the storage when at most half of it is used.
  void shrink_to_fit() noexcept {
    if (used_ <= storage_.size() / 2) storage_.shrink(used_);
  }

  // Hands the storage to the caller, leaving the column empty.
  SampleStorage release() && noexcept {
    SampleStorage storage = std::move(storage_).release();
    storage.length = std::exchange(used_, 0);
    return storage;
  }

 private:
  static constexpr std::size_t kFirstCapacity = 64;

  SampleVector<T> storage_;
  std::size_t used_ = 0;
};

}  // namespace velk

// The buffered, little-endian, exact-read byte source that both readers decode from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "event_stream/block_cache.hpp"
#include "event_stream/io_error.hpp"

namespace velk {

// Sole owner of an open file descriptor; closes it on destruction, ignoring a close error.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

inline constexpr std::size_t kBufferSize = 8192;

// Reads a file through one 8192-byte buffer. Every read is exact: it delivers all requested bytes or
// fails; bytes delivered before a failure stay consumed. Reaching end of file is the failure of kind
// UnexpectedEof. Move-only; the stream owns its file and its buffer.
class EventStream {
 public:
  // Opens `path` read-only and close-on-exec. A path holding a NUL byte fails without a system call.
  static Result<EventStream> open(std::string_view path);
  // Wraps an already open descriptor, positioned wherever it is.
  static Result<EventStream> adopt(FileDescriptor fd);

  // A moved-from stream holds no file and no buffered bytes.
  EventStream(EventStream&& other) noexcept
      : fd_(std::move(other.fd_)),
        buffer_(std::move(other.buffer_)),
        pos_(std::exchange(other.pos_, 0)),
        filled_(std::exchange(other.filled_, 0)) {}
  EventStream& operator=(EventStream&&) = delete;
  // Open streams keep freed large sample blocks cached for reuse; the last one to close frees them.
  ~EventStream() {
    if (buffer_) block_cache::stream_closed();
  }

  Status read_exact(std::byte* destination, std::size_t n) {
    if (filled_ - pos_ >= n) {
      if (n != 0) std::memcpy(destination, buffer_.get() + pos_, n);
      pos_ += n;
      return {};
    }
    return read_exact_slow(destination, n);
  }

  Result<std::uint32_t> read_u32() {
    std::byte bytes[4];
    if (Status s = read_exact(bytes, 4); !s) return s.error();
    return load_u32(bytes);
  }

  // One 8-byte read; low word first, high word second.
  Result<std::uint64_t> read_u64() {
    std::byte bytes[8];
    if (Status s = read_exact(bytes, 8); !s) return s.error();
    return load_u64(bytes);
  }

  // Reads and discards n bytes through a fixed scratch area; never allocates.
  Status skip(std::size_t n);

  // Seeks the file to offset 0 and drops whatever is buffered.
  Status rewind();

  static std::uint32_t load_u32(const std::byte* p) noexcept {
    return std::to_integer<std::uint32_t>(p[0]) | std::to_integer<std::uint32_t>(p[1]) << 8 |
           std::to_integer<std::uint32_t>(p[2]) << 16 | std::to_integer<std::uint32_t>(p[3]) << 24;
  }
  static std::uint64_t load_u64(const std::byte* p) noexcept {
    return std::uint64_t{load_u32(p)} | std::uint64_t{load_u32(p + 4)} << 32;
  }

 private:
  EventStream(FileDescriptor fd, std::unique_ptr<std::byte[]> buffer) noexcept
      : fd_(std::move(fd)), buffer_(std::move(buffer)) {
    block_cache::stream_opened();
  }

  Status read_exact_slow(std::byte* destination, std::size_t n);
  Result<std::size_t> read_some(std::byte* destination, std::size_t n) const;

  FileDescriptor fd_;
  std::unique_ptr<std::byte[]> buffer_;
  // Invariant: pos_ <= filled_ <= kBufferSize; bytes [pos_, filled_) are buffered and unread.
  std::size_t pos_ = 0;
  std::size_t filled_ = 0;
};

}  // namespace velk

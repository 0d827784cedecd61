// The buffered, little-endian, exact-read byte source that both readers decode from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include <sys/uio.h>

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

// The buffer policy. Reads that the buffer cannot serve either refill it, or, when at least
// direct_bytes(capacity) of the request are not buffered, go straight into the caller's memory, with
// the first kLookahead bytes after the request read into the buffer by the same system call. Small
// events thus cost one system call per buffer's worth of bytes and one copy; large blocks cost one
// system call each and pass only what the buffer already held through it. A stream's buffer holds
// kBufferCapacity bytes unless its opener asks for more (a reader that builds whole batches reads in
// larger steps): a larger buffer also serves larger events, since one read per event costs more than
// the second copy below a sixteenth of the buffer, and it is refilled only kBufferCapacity at a time
// while the requests are large blocks, so that their bytes keep going straight to the caller.
inline constexpr std::size_t kBufferCapacity = std::size_t{1} << 16;
inline constexpr std::size_t kDirectBytes = std::size_t{1} << 14;
inline constexpr std::size_t kLookahead = std::size_t{1} << 12;
inline constexpr std::size_t direct_bytes(std::size_t capacity) noexcept {
  return capacity / 16 > kDirectBytes ? capacity / 16 : kDirectBytes;
}
static_assert(kLookahead <= kBufferCapacity && kDirectBytes <= kBufferCapacity);

// A stream's buffer starts on a page boundary: refills read whole buffers from file offsets that are
// mostly multiples of the page size, and the kernel copies page-cache data about twice as fast into
// memory that shares its offset within a page (a 1 MiB buffer at offset 16 took 7.8 GB/s, at offset 0
// 19 GB/s).
struct PageAlignedDelete {
  void operator()(std::byte* buffer) const noexcept { ::operator delete[](buffer, kBufferAlignment); }
  static constexpr std::align_val_t kBufferAlignment{4096};
};
using StreamBuffer = std::unique_ptr<std::byte[], PageAlignedDelete>;

// How the stream's owner takes part in the stream's system calls.
// - on_signal: asked when a system call was interrupted by a signal: true to retry it, false to give
//   up, in which case the call fails with an error of kind Interrupted. The owner uses it to run its
//   signal handlers.
// - release and restore bracket every call that may wait without end: opening a file (a FIFO's open
//   waits for a writer) and reading from anything but a regular file or block device (a pipe, socket,
//   terminal or character device). restore gets what release returned. The owner lets other threads
//   run meanwhile; restore may end the thread by a forced unwind, so nothing between it and the owner
//   is noexcept. Reads of regular files never call them: they do not wait, and cost less without.
struct StreamHooks {
  bool (*on_signal)() = nullptr;
  void* (*release)() = nullptr;
  void (*restore)(void* released) = nullptr;
};

// Reads a file through one buffer. Every read is exact: it delivers all requested bytes or
// fails; bytes delivered before a failure stay consumed until the reader returns to a position it noted
// earlier (return_to). Reaching end of file is the failure of kind UnexpectedEof. Move-only; the stream
// owns its file and its buffer.
//
// A stream over anything but a regular file or block device (a waiting stream) cannot go back by
// seeking, so it keeps the bytes of the event being decoded (from begin_event on) in its buffer until
// the next event begins: an event that fits in the buffer can always be returned to, however many reads
// and interruptions its bytes took.
class EventStream {
 public:
  // Opens `path` read-only and close-on-exec. A path holding a NUL byte fails without a system call.
  // An open or read interrupted by a signal is retried unless hooks.on_signal says to give up. The
  // buffer holds `capacity` bytes, at least kBufferCapacity.
  static Result<EventStream> open(std::string_view path, StreamHooks hooks = {},
                                  std::size_t capacity = kBufferCapacity);
  // Wraps an already open descriptor, positioned wherever it is.
  static Result<EventStream> adopt(FileDescriptor fd, StreamHooks hooks = {},
                                   std::size_t capacity = kBufferCapacity);

  // A moved-from stream holds no file and no buffered bytes.
  EventStream(EventStream&& other) noexcept
      : fd_(std::move(other.fd_)),
        buffer_(std::move(other.buffer_)),
        capacity_(std::exchange(other.capacity_, 0)),
        pos_(std::exchange(other.pos_, 0)),
        filled_(std::exchange(other.filled_, 0)),
        origin_(std::exchange(other.origin_, 0)),
        event_start_(std::exchange(other.event_start_, 0)),
        hooks_(other.hooks_),
        waits_(other.waits_),
        caches_blocks_(std::exchange(other.caches_blocks_, false)),
        large_requests_(other.large_requests_) {}
  EventStream& operator=(EventStream&&) = delete;
  // Also frees the block held back by block_cache::release_late, so that none stays held once the
  // readers are closed.
  ~EventStream() {
    if (caches_blocks_) block_cache::user_left();
    block_cache::free_late();
  }

  Status read_exact(std::byte* destination, std::size_t n) {
    if (filled_ - pos_ >= n) {
      if (n != 0) std::memcpy(destination, buffer_.get() + pos_, n);
      pos_ += n;
      return {};
    }
    return read_exact_slow(destination, n);
  }

  // The next n bytes, with the outcomes of read_exact(n): where they lie in the buffer when it holds
  // all of them (decoding a header in place spares copying it out and loading it back), else read
  // into `scratch`, which takes n bytes.
  Result<const std::byte*> read_in_place(std::size_t n, std::byte* scratch) {
    if (filled_ - pos_ < n) {
      if (Status s = read_exact_slow(scratch, n); !s) return s.error();
      return scratch;
    }
    const std::byte* bytes = buffer_.get() + pos_;
    pos_ += n;
    return bytes;
  }

  // The unread bytes the buffer holds, left unread; consume(n) then takes the first n of them, as
  // read_exact(n) would.
  std::span<const std::byte> buffered() const noexcept { return {buffer_.get() + pos_, filled_ - pos_}; }
  void consume(std::size_t n) noexcept { pos_ += n; }

  // Delivers the next bytes into `parts`, in order: the buffered ones, then as many as one readv(2)
  // brings, without retrying it. Returns how many; an error, a signal or the end of the file merely
  // ends the bytes early, and the next read meets it again. Does nothing and returns 0 when the
  // buffer alone holds all that `parts` take, and on a waiting stream, whose reads go through the
  // buffer so that a partial event stays there. The parts are restored before it returns.
  std::size_t read_scattered(std::span<iovec> parts) noexcept;
  // Makes bytes [from, to) of what read_scattered just delivered into `parts` the next ones to read
  // again, through the buffer, which takes them: to - from <= capacity().
  void unread(std::span<const iovec> parts, std::size_t from, std::size_t to) noexcept;
  std::size_t capacity() const noexcept { return capacity_; }

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

  // Reads and discards n bytes through the buffer; never allocates.
  Status skip(std::size_t n);

  // Passes over n bytes with the outcomes of read_exact(n), without delivering them: from the buffer
  // when it holds them, by one seek when the file is a regular one whose size shows all n bytes are
  // there, else by reading them (skip), so that a file ending inside them fails exactly as a read does.
  Status skip_block(std::uint64_t n);

  // The size of the file when it is a regular one; nullopt for anything else or when fstat fails.
  std::optional<std::uint64_t> regular_file_size() const noexcept;
  // The offset after the last byte taken from the file: where the data of an input without a size (a
  // pipe) has been read to, the bytes of an event cut short by its end included.
  std::uint64_t received() const noexcept { return origin_ + filled_; }
  // Whether the file is a regular one whose size shows at least n bytes from position() on.
  bool file_holds(std::uint64_t n) const noexcept;

  // Seeks the file to offset 0 and drops whatever is buffered.
  Status rewind();

  // The file offset of the next byte to be read.
  std::uint64_t position() const noexcept { return origin_ + pos_; }
  // Notes that an event starts at position(), which it returns: a waiting stream keeps the bytes from
  // there on buffered, so that return_to(position()) succeeds until the next begin_event as long as
  // the event fits in the buffer.
  std::uint64_t begin_event() noexcept { return event_start_ = position(); }
  // Whether reads may wait without end and the file cannot go back by seeking (see the class comment).
  bool waits() const noexcept { return waits_; }
  // Goes back to `mark`, a position() taken earlier: without a system call while the buffer still
  // holds the bytes read since, else by seeking. On an input that cannot seek the error is returned
  // and the bytes stay consumed.
  Status return_to(std::uint64_t mark);
  // Moves to `offset`, before or after the position: without a system call while the buffer holds
  // it, else by seeking, and notes an event starting there. For a stream that can seek (an index).
  Status start_at(std::uint64_t offset);

  // Marks the stream as a reader of large sample blocks: while it is open, freed large blocks are
  // kept for reuse (block_cache).
  void use_block_cache() noexcept {
    if (!std::exchange(caches_blocks_, true)) block_cache::user_joined();
  }

  static std::uint32_t load_u32(const std::byte* p) noexcept {
    return std::to_integer<std::uint32_t>(p[0]) | std::to_integer<std::uint32_t>(p[1]) << 8 |
           std::to_integer<std::uint32_t>(p[2]) << 16 | std::to_integer<std::uint32_t>(p[3]) << 24;
  }
  static std::uint64_t load_u64(const std::byte* p) noexcept {
    return std::uint64_t{load_u32(p)} | std::uint64_t{load_u32(p + 4)} << 32;
  }

 private:
  EventStream(FileDescriptor fd, StreamBuffer buffer, std::size_t capacity,
              std::uint64_t origin, StreamHooks hooks, bool waits) noexcept
      : fd_(std::move(fd)),
        buffer_(std::move(buffer)),
        capacity_(capacity),
        origin_(origin),
        event_start_(origin),
        hooks_(hooks),
        waits_(waits) {}

  Status read_exact_slow(std::byte* destination, std::size_t n);
  // Refills the empty buffer with one read(2) of up to capacity_ bytes, or kBufferCapacity while the
  // requests are large blocks; on a waiting stream, after the current event's bytes (keep_event).
  Status refill();
  // On a waiting stream whose buffer holds the start of the current event, moves the event's bytes
  // to the buffer's start and returns how many, unless they fill it; else 0.
  std::size_t keep_event() noexcept;
  // Whether a waiting stream can take `more` bytes of the current event through its buffer.
  bool event_fits(std::size_t more) const noexcept;
  // One readv(2) of up to n bytes into `destination` followed by up to kLookahead bytes into the empty
  // buffer; returns the count that went to `destination`.
  Result<std::size_t> read_direct(std::byte* destination, std::size_t n);
  // Moves the file to `offset` and drops whatever is buffered.
  Status seek(std::uint64_t offset);
  // Moves to `offset` without a system call when the buffer holds it; false, moving nothing, otherwise.
  bool move_within_buffer(std::uint64_t offset) noexcept;
  // Retries a system call interrupted by a signal unless hooks_.on_signal says to give up; on a
  // waiting stream, each try runs between hooks_.release and hooks_.restore.
  template <class Call>
  Result<std::size_t> retrying(Call call) const;

  FileDescriptor fd_;
  StreamBuffer buffer_;
  std::size_t capacity_;
  // Invariant: pos_ <= filled_ <= capacity_; bytes [pos_, filled_) are buffered and unread, and
  // bytes [0, pos_) are the last pos_ bytes delivered, so a return within them needs no system call.
  std::size_t pos_ = 0;
  std::size_t filled_ = 0;
  // The file offset of buffer_[0]; the file's own offset is origin_ + filled_.
  std::uint64_t origin_ = 0;
  std::uint64_t event_start_ = 0;  // the last begin_event()
  StreamHooks hooks_;
  bool waits_ = false;
  bool caches_blocks_ = false;
  bool large_requests_ = false;  // whether the last request the buffer could not serve was a large block
};

}  // namespace velk

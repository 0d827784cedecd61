// File access of the event stream: open, the slow path of exact reads, skip, rewind and returns.
#include "event_stream/event_stream.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <limits>
#include <new>
#include <string>

namespace velk {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);  // a close error cannot be acted on here
}

namespace {

// Runs call() between hooks.release and hooks.restore when `wait` holds; errno stays as call() left it.
template <class Call>
auto released_if(const StreamHooks& hooks, bool wait, Call&& call) {
  if (!wait || hooks.release == nullptr) return call();
  void* const released = hooks.release();
  const auto result = call();
  const int err = errno;
  hooks.restore(released);
  errno = err;
  return result;
}

// Whether reads of the file may wait without end, which those of regular files and block devices
// never do; a descriptor that cannot be examined counts as one that may.
bool may_wait(int fd) noexcept {
  struct stat status;
  return ::fstat(fd, &status) != 0 || !(S_ISREG(status.st_mode) || S_ISBLK(status.st_mode));
}

}  // namespace

Result<EventStream> EventStream::open(std::string_view path, StreamHooks hooks, std::size_t capacity) {
  if (path.find('\0') != std::string_view::npos) return IoError::nul_in_path();
  const std::string terminated(path);
  for (;;) {
    const int fd = released_if(hooks, true, [&] { return ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC); });
    if (fd >= 0) return adopt(FileDescriptor(fd), hooks, capacity);
    const int err = errno;
    if (err != EINTR || (hooks.on_signal != nullptr && !hooks.on_signal())) return IoError::from_errno(err);
  }
}

Result<EventStream> EventStream::adopt(FileDescriptor fd, StreamHooks hooks, std::size_t capacity) {
  capacity = std::max(capacity, kBufferCapacity);
  StreamBuffer buffer(new (PageAlignedDelete::kBufferAlignment, std::nothrow) std::byte[capacity]);
  if (!buffer) return IoError::out_of_memory();
  // A descriptor that cannot seek (a pipe) has no offset; 0 stands in, and return_to reports the seek
  // error should it ever need one.
  const off_t offset = ::lseek(fd.get(), 0, SEEK_CUR);
  const bool waits = may_wait(fd.get());
  return EventStream(std::move(fd), std::move(buffer), capacity,
                     offset < 0 ? 0 : static_cast<std::uint64_t>(offset), hooks, waits);
}

// A system call that returns a byte count: 0 only at end of file; one interrupted by a signal before
// delivering anything is retried unless the signal check says to give up; errno is captured at once.
template <class Call>
Result<std::size_t> EventStream::retrying(Call call) const {
  for (;;) {
    const ssize_t got = released_if(hooks_, waits_, call);
    if (got >= 0) return static_cast<std::size_t>(got);
    const int err = errno;
    if (err != EINTR || (hooks_.on_signal != nullptr && !hooks_.on_signal())) return IoError::from_errno(err);
  }
}

// A failed or empty read leaves the buffer as it was, so return_to can still reach the bytes in it.
Status EventStream::read_exact_slow(std::byte* destination, std::size_t n) {
  const std::size_t direct = direct_bytes(capacity_);
  large_requests_ = n >= direct;
  std::size_t done = 0;
  while (done < n) {
    assert(pos_ <= filled_ && filled_ <= capacity_);
    if (pos_ < filled_) {
      const std::size_t take = std::min(filled_ - pos_, n - done);
      std::memcpy(destination + done, buffer_.get() + pos_, take);
      pos_ += take;
      done += take;
    } else if (n - done >= direct && !event_fits(n - done)) {
      const Result<std::size_t> got = read_direct(destination + done, n - done);
      if (!got) return got.error();
      done += *got;
    } else if (Status s = refill(); !s) {
      return s;
    }
  }
  return {};
}

Status EventStream::refill() {
  assert(pos_ == filled_);
  const std::size_t kept = keep_event();
  const std::size_t room = capacity_ - kept;
  const std::size_t size = large_requests_ ? std::min(kBufferCapacity, room) : room;
  const Result<std::size_t> got = retrying([&] { return ::read(fd_.get(), buffer_.get() + kept, size); });
  if (!got) return got.error();
  if (*got == 0) return IoError::unexpected_eof();
  origin_ += filled_ - kept;
  pos_ = kept;
  filled_ = kept + *got;
  return {};
}

// The state stays consistent whether or not the read that follows succeeds: a failed one leaves the
// kept bytes where return_to finds them.
std::size_t EventStream::keep_event() noexcept {
  if (!waits_ || event_start_ < origin_) return 0;
  const std::size_t from = static_cast<std::size_t>(event_start_ - origin_);
  const std::size_t kept = filled_ - from;
  if (kept == 0 || kept >= capacity_) return 0;
  std::memmove(buffer_.get(), buffer_.get() + from, kept);
  origin_ = event_start_;
  pos_ = filled_ = kept;
  return kept;
}

bool EventStream::event_fits(std::size_t more) const noexcept {
  // position() - event_start_ <= pos_ <= capacity_ once the event starts within the buffer.
  return waits_ && event_start_ >= origin_ && more <= capacity_ - (position() - event_start_);
}

// The kernel fills `destination` before it writes to the buffer, so a read that stops early (end of
// file, a pipe) leaves the buffer empty and the bytes it did deliver in `destination`.
Result<std::size_t> EventStream::read_direct(std::byte* destination, std::size_t n) {
  assert(pos_ == filled_);
  n = std::min<std::size_t>(n, SSIZE_MAX - kLookahead);
  iovec parts[2] = {{destination, n}, {buffer_.get(), kLookahead}};
  const Result<std::size_t> got = retrying([&] { return ::readv(fd_.get(), parts, 2); });
  if (!got) return got.error();
  if (*got == 0) return IoError::unexpected_eof();
  const std::size_t direct = std::min(*got, n);
  origin_ += filled_ + direct;
  pos_ = 0;
  filled_ = *got - direct;
  return direct;
}

namespace {

// Calls copy(piece, at, n) for each piece of `parts` that lies within bytes [from, to) of their
// concatenation: n bytes at `piece`, which are bytes [from + at, from + at + n).
template <class Copy>
void for_each_piece(std::span<const iovec> parts, std::size_t from, std::size_t to, Copy&& copy) {
  std::size_t start = 0;  // the offset of the current part within the concatenation
  for (const iovec& part : parts) {
    const std::size_t end = start + part.iov_len;
    if (end > from && start < to) {
      const std::size_t first = std::max(from, start);
      copy(static_cast<std::byte*>(part.iov_base) + (first - start), first - from, std::min(to, end) - first);
    }
    start = end;
  }
}

}  // namespace

std::size_t EventStream::read_scattered(std::span<iovec> parts) noexcept {
  std::size_t total = 0;
  for (const iovec& part : parts) total += part.iov_len;
  const std::size_t buffered = filled_ - pos_;
  if (buffered >= total || waits_) return 0;
  for_each_piece(parts, 0, buffered, [&](std::byte* piece, std::size_t at, std::size_t n) {
    std::memcpy(piece, buffer_.get() + pos_ + at, n);
  });
  // The file's bytes go on from part i, `offset` bytes in (buffered < total keeps i in range).
  std::size_t i = 0;
  std::size_t offset = buffered;
  while (offset >= parts[i].iov_len) offset -= parts[i++].iov_len;
  const iovec whole = parts[i];
  parts[i] = {static_cast<std::byte*>(whole.iov_base) + offset, whole.iov_len - offset};
  const std::size_t count = std::min<std::size_t>(parts.size() - i, IOV_MAX);
  const ssize_t got = ::readv(fd_.get(), parts.data() + i, static_cast<int>(count));
  parts[i] = whole;
  const std::size_t read = got > 0 ? static_cast<std::size_t>(got) : 0;
  origin_ += filled_ + read;
  pos_ = filled_ = 0;
  return buffered + read;
}

void EventStream::unread(std::span<const iovec> parts, std::size_t from, std::size_t to) noexcept {
  if (from == to) return;
  assert(pos_ == 0 && filled_ == 0 && to - from <= capacity_);
  for_each_piece(parts, from, to, [&](const std::byte* piece, std::size_t at, std::size_t n) {
    std::memcpy(buffer_.get() + at, piece, n);
  });
  origin_ -= to - from;
  filled_ = to - from;
}

Status EventStream::skip(std::size_t n) {
  while (n > 0) {
    if (pos_ == filled_) {
      if (Status s = refill(); !s) return s;
    }
    const std::size_t take = std::min(filled_ - pos_, n);
    pos_ += take;
    n -= take;
  }
  return {};
}

Status EventStream::skip_block(std::uint64_t n) {
  const std::size_t buffered = filled_ - pos_;
  if (n <= buffered) {
    pos_ += static_cast<std::size_t>(n);
    return {};
  }
  // Seeking drops the buffer; below one buffer's worth a read costs no more than the seek would.
  if (n - buffered >= capacity_ && file_holds(n)) return seek(position() + n);
  if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
    if (n > std::numeric_limits<std::size_t>::max()) return IoError::from_errno(EOVERFLOW);
  }
  return skip(static_cast<std::size_t>(n));
}

std::optional<std::uint64_t> EventStream::regular_file_size() const noexcept {
  struct stat status;
  if (::fstat(fd_.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

bool EventStream::file_holds(std::uint64_t n) const noexcept {
  const std::optional<std::uint64_t> size = regular_file_size();
  return size && *size >= position() && *size - position() >= n;
}

Status EventStream::rewind() { return seek(0); }

bool EventStream::move_within_buffer(std::uint64_t offset) noexcept {
  if (offset < origin_ || offset - origin_ > filled_) return false;
  pos_ = static_cast<std::size_t>(offset - origin_);
  return true;
}

Status EventStream::return_to(std::uint64_t mark) {
  assert(mark <= position());
  return move_within_buffer(mark) ? Status{} : seek(mark);
}

Status EventStream::start_at(std::uint64_t offset) {
  if (!move_within_buffer(offset)) return seek(offset);
  event_start_ = offset;
  return {};
}

Status EventStream::seek(std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return IoError::from_errno(EINVAL);
  }
  if (::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET) < 0) return IoError::from_errno(errno);
  origin_ = event_start_ = offset;
  pos_ = filled_ = 0;
  return {};
}

}  // namespace velk

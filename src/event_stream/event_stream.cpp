// File access of the event stream: open, the slow path of exact reads, skip and rewind.
#include "event_stream/event_stream.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <new>
#include <string>

namespace velk {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);  // a close error cannot be acted on here
}

Result<EventStream> EventStream::open(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return IoError::nul_in_path();
  const std::string terminated(path);
  int fd;
  do {
    fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::from_errno(errno);
  return adopt(FileDescriptor(fd));
}

Result<EventStream> EventStream::adopt(FileDescriptor fd) {
  std::unique_ptr<std::byte[]> buffer(new (std::nothrow) std::byte[kBufferSize]);
  if (!buffer) return IoError::out_of_memory();
  return EventStream(std::move(fd), std::move(buffer));
}

// One read(2) of up to n bytes. Returns the count delivered, 0 only at end of file; a read interrupted
// by a signal before delivering anything is retried; errno is captured at once.
Result<std::size_t> EventStream::read_some(std::byte* destination, std::size_t n) const {
  n = std::min<std::size_t>(n, SSIZE_MAX);
  for (;;) {
    const ssize_t got = ::read(fd_.get(), destination, n);
    if (got >= 0) return static_cast<std::size_t>(got);
    const int err = errno;
    if (err != EINTR) return IoError::from_errno(err);
  }
}

Status EventStream::read_exact_slow(std::byte* destination, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    assert(pos_ <= filled_ && filled_ <= kBufferSize);
    if (pos_ == filled_) {
      const bool bypass = n - done >= kBufferSize;
      std::byte* target = bypass ? destination + done : buffer_.get();
      pos_ = filled_ = 0;
      const Result<std::size_t> got = read_some(target, bypass ? n - done : kBufferSize);
      if (!got) return got.error();
      if (*got == 0) return IoError::unexpected_eof();
      if (bypass) {
        done += *got;
        continue;
      }
      filled_ = *got;
    }
    const std::size_t take = std::min(filled_ - pos_, n - done);
    std::memcpy(destination + done, buffer_.get() + pos_, take);
    pos_ += take;
    done += take;
  }
  return {};
}

Status EventStream::skip(std::size_t n) {
  std::byte scratch[kBufferSize];
  while (n > 0) {
    const std::size_t chunk = std::min(n, kBufferSize);
    if (Status s = read_exact(scratch, chunk); !s) return s;
    n -= chunk;
  }
  return {};
}

Status EventStream::rewind() {
  if (::lseek(fd_.get(), 0, SEEK_SET) < 0) return IoError::from_errno(errno);
  pos_ = filled_ = 0;
  return {};
}

}  // namespace velk

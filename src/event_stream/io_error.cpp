// Classification and text of I/O errors.
#include "event_stream/io_error.hpp"

#include <cerrno>
#include <cstring>

namespace velk {
namespace {

IoErrorKind kind_of(int os_errno) noexcept {
  switch (os_errno) {
    case ENOENT: return IoErrorKind::NotFound;
    case EPERM:
    case EACCES: return IoErrorKind::PermissionDenied;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case EISDIR: return IoErrorKind::IsADirectory;
    case ENOTDIR: return IoErrorKind::NotADirectory;
    case EINTR: return IoErrorKind::Interrupted;
    case EAGAIN: return IoErrorKind::WouldBlock;
    case ETIMEDOUT: return IoErrorKind::TimedOut;
    case EPIPE: return IoErrorKind::BrokenPipe;
    case ECONNREFUSED: return IoErrorKind::ConnectionRefused;
    case ECONNRESET: return IoErrorKind::ConnectionReset;
    case ECONNABORTED: return IoErrorKind::ConnectionAborted;
    case ENOMEM: return IoErrorKind::OutOfMemory;
    default: return IoErrorKind::Other;
  }
}

// strerror_r comes in two flavours: the GNU one returns the text, the POSIX one fills the buffer.
[[maybe_unused]] const char* strerror_text(char* result, const char*) noexcept { return result; }
[[maybe_unused]] const char* strerror_text(int status, const char* buffer) noexcept {
  return status == 0 ? buffer : "Unknown error";
}

std::string os_message(int os_errno) {
  char buffer[256] = {};
  const char* text = strerror_text(strerror_r(os_errno, buffer, sizeof buffer), buffer);
  return std::string(text) + " (os error " + std::to_string(os_errno) + ")";
}

}  // namespace

IoError IoError::from_errno(int os_errno) noexcept { return IoError(kind_of(os_errno), os_errno); }

std::string IoError::message() const {
  if (os_errno_ != 0) return os_message(os_errno_);
  switch (kind_) {
    case IoErrorKind::UnexpectedEof: return "failed to fill whole buffer";
    case IoErrorKind::InvalidInput: return "file name contained an unexpected NUL byte";
    case IoErrorKind::OutOfMemory: return "out of memory";
    default: return "I/O error";
  }
}

}  // namespace velk

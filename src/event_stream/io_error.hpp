// I/O failures of the decoding layer, carried as values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace velk {

enum class IoErrorKind : std::uint8_t {
  NotFound,
  PermissionDenied,
  AlreadyExists,
  IsADirectory,
  NotADirectory,
  Interrupted,
  WouldBlock,
  TimedOut,
  BrokenPipe,
  ConnectionRefused,
  ConnectionReset,
  ConnectionAborted,
  OutOfMemory,
  UnexpectedEof,
  InvalidInput,
  Other,
};

// What a failed open, read or seek reports: a kind and, for failures that came from the operating
// system, the error number. The text is built on demand by message().
class IoError {
 public:
  static IoError from_errno(int os_errno) noexcept;
  static IoError unexpected_eof() noexcept { return IoError(IoErrorKind::UnexpectedEof, 0); }
  static IoError nul_in_path() noexcept { return IoError(IoErrorKind::InvalidInput, 0); }
  static IoError out_of_memory() noexcept { return IoError(IoErrorKind::OutOfMemory, 0); }

  IoErrorKind kind() const noexcept { return kind_; }

  // "failed to fill whole buffer" for end of file; for an OS error the C library's text followed by
  // " (os error N)".
  std::string message() const;

 private:
  IoError(IoErrorKind kind, int os_errno) noexcept : kind_(kind), os_errno_(os_errno) {}

  IoErrorKind kind_;
  int os_errno_;  // 0 when the failure did not come from the operating system
};

// The outcome of an operation that yields nothing on success.
class [[nodiscard]] Status {
 public:
  Status() noexcept = default;
  Status(IoError error) noexcept : error_(error) {}  // NOLINT: implicit by design

  explicit operator bool() const noexcept { return !error_; }
  const IoError& error() const noexcept { return *error_; }

 private:
  std::optional<IoError> error_;
};

// A value or the I/O error that prevented it.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept : v_(std::move(value)) {}  // NOLINT: implicit by design
  Result(IoError error) noexcept : v_(error) {}       // NOLINT: implicit by design

  explicit operator bool() const noexcept { return v_.index() == 0; }
  T& operator*() noexcept { return *std::get_if<0>(&v_); }
  const T& operator*() const noexcept { return *std::get_if<0>(&v_); }
  T* operator->() noexcept { return std::get_if<0>(&v_); }
  const T* operator->() const noexcept { return std::get_if<0>(&v_); }
  const IoError& error() const noexcept { return *std::get_if<1>(&v_); }

 private:
  std::variant<T, IoError> v_;
};

}  // namespace velk

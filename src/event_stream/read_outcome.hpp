// What a reader's next() returns, and the end-of-data rule both readers apply to failed reads.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "event_stream/io_error.hpp"

namespace velk {

// No further complete event at the current position. Not final: a later call reads again.
struct EndOfData {};

// An event the layout cannot describe, or one whose samples cannot be held in memory.
struct DecodeError {
  enum class Kind : std::uint8_t { SizeBelowMinimum, BlockTooLarge, OutOfMemory };

  Kind kind;
  const char* field;    // the header field or block at fault
  std::int64_t value;   // its value, or the bytes requested for OutOfMemory
  std::int64_t limit;   // the smallest (SizeBelowMinimum) or largest (BlockTooLarge) accepted value

  std::string message() const;
};

// Exactly one of: an event, end of data, a read error, a decode error.
template <class Event>
using ReadOutcome = std::variant<Event, EndOfData, IoError, DecodeError>;

// The end-of-data rule: running out of file while decoding an event means the data is exhausted;
// any other failure is an error of the reader.
template <class Event>
ReadOutcome<Event> read_failure(const IoError& error) noexcept {
  if (error.kind() == IoErrorKind::UnexpectedEof) return EndOfData{};
  return error;
}

}  // namespace velk

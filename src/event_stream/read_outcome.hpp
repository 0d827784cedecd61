// What a reader's next() returns, and the end-of-data rule both readers apply to failed reads.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "event_stream/event_stream.hpp"
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

// A visitor made of one lambda per alternative: std::visit(Overloaded{...}, outcome).
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// The end-of-data rule, for a read that failed while decoding the event that starts at `event_start`.
// Running out of file means no complete event is there yet: the stream goes back to the event's first
// byte, so that the event is read whole once the rest of it is written. A read given up for a signal
// goes back there too. On an input that cannot seek, bytes that have left the buffer stay consumed.
// End of file is end of data; any other failure is an error of the reader.
template <class Event>
ReadOutcome<Event> read_failure(EventStream& stream, std::uint64_t event_start, const IoError& error) {
  const IoErrorKind kind = error.kind();
  if (kind == IoErrorKind::UnexpectedEof || kind == IoErrorKind::Interrupted) {
    (void)stream.return_to(event_start);
  }
  if (kind == IoErrorKind::UnexpectedEof) return EndOfData{};
  return error;
}

}  // namespace velk

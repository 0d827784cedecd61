// Helpers for the decoding-layer tests: temporary files, byte builders for both layouts, descriptor
// inspection and readable descriptions of read outcomes.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "event_stream/event_stream.hpp"
#include "event_stream/read_outcome.hpp"
#include "wd1_reader/wd1_reader.hpp"
#include "wd2_reader/wd2_reader.hpp"

namespace velk::test {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const noexcept { return path_; }
  std::string path_of(const std::string& name) const { return path_ + "/" + name; }
  // Creates or replaces `name` with `bytes` and returns its path.
  std::string write(const std::string& name, const Bytes& bytes) const;

 private:
  std::string path_;
};

void append_to(const std::string& path, const Bytes& bytes);
// Overwrites bytes in place, leaving the file's size and other bytes as they are.
void overwrite_at(const std::string& path, std::size_t offset, const Bytes& bytes);

// `bytes` placed right before an unmapped page and read through /proc/self/mem, so that reading on
// past them fails with EIO: a read error part-way through the data.
class BytesBeforeAHole {
 public:
  explicit BytesBeforeAHole(const Bytes& bytes);  // at most one page of bytes
  ~BytesBeforeAHole();
  BytesBeforeAHole(const BytesBeforeAHole&) = delete;
  BytesBeforeAHole& operator=(const BytesBeforeAHole&) = delete;

  // A stream whose first byte is the first of `bytes`.
  EventStream stream() const;

 private:
  std::uint8_t* page_;
  std::size_t page_size_;
  std::size_t offset_;
};

// The descriptors of this process that refer to `path` (found through /proc/self/fd).
std::vector<int> fds_open_on(const std::string& path);

// Little-endian encoders; each appends to `out`.
void put_u16(Bytes& out, std::uint16_t v);
void put_u32(Bytes& out, std::uint32_t v);
void put_u64(Bytes& out, std::uint64_t v);
Bytes concat(std::initializer_list<Bytes> parts);
// n bytes of `bytes` from offset `from`.
Bytes slice(const Bytes& bytes, std::size_t from, std::size_t n);
// Little-endian values stored at `offset`.
std::uint32_t u32_at(const Bytes& bytes, std::size_t offset);
std::uint64_t u64_at(const Bytes& bytes, std::size_t offset);
// n bytes whose values depend on their offset, so misplaced reads show up.
Bytes pattern_bytes(std::size_t n, std::uint8_t seed = 0);

// WD1: six 32-bit words (passed as raw bit patterns), then the samples.
Bytes wd1_event(std::uint32_t event_size, const std::vector<std::uint16_t>& samples,
                std::uint32_t event_counter = 0, std::uint32_t board_id = 1);
// A WD1 event whose size matches its samples.
Bytes wd1_event(const std::vector<std::uint16_t>& samples, std::uint32_t event_counter);
// n samples start, start + 7, start + 14, ... (wrapping), and n floats first, first + 0.25, ...
std::vector<std::uint16_t> ramp(std::size_t n, std::uint16_t start);
std::vector<float> float_ramp(std::size_t n, float first);

struct WD2Header {
  std::uint32_t event_counter = 0;
  std::uint64_t timestamp = 0;
  std::uint32_t samples = 0;
  std::uint64_t sampling_period = 1;
  std::optional<std::int32_t> channels;  // written as the channel word when present
};
// A header followed by the samples' float bit patterns.
Bytes wd2_event(const WD2Header& header, const std::vector<float>& values);
Bytes wd2_event_bits(const WD2Header& header, const std::vector<std::uint32_t>& bits);
std::uint32_t float_bits(float v);

// Opening helpers that throw (reported by the test framework as a failure) when the file cannot be
// opened or probed.
EventStream open_stream(const std::string& path);
WD2Reader open_wd2(const std::string& path);

std::string describe(const IoError& error);
std::string describe(const DecodeError& error);
std::string describe(const ProbeOutcome& outcome);

// "event", "end of data", "io error: <text>" or "decode error: <text>".
template <class Event>
std::string describe(const ReadOutcome<Event>& outcome) {
  if (std::holds_alternative<Event>(outcome)) return "event";
  if (std::holds_alternative<EndOfData>(outcome)) return "end of data";
  if (const auto* e = std::get_if<IoError>(&outcome)) return describe(*e);
  return describe(std::get<DecodeError>(outcome));
}

// The value itself; throws with the error's description when there is none.
template <class T>
T take(Result<T> result) {
  if (!result) throw std::runtime_error("expected a value, got " + describe(result.error()));
  return std::move(*result);
}

// The event itself; throws with the outcome's description when it is anything else.
template <class Event>
Event take_event(ReadOutcome<Event> outcome) {
  if (auto* event = std::get_if<Event>(&outcome)) return std::move(*event);
  throw std::runtime_error("expected an event, got " + describe(outcome));
}

template <class T>
std::vector<T> to_vector(const SampleVector<T>& samples) {
  return std::vector<T>(samples.data(), samples.data() + samples.size());
}

}  // namespace velk::test

// Helpers for the decoding-layer tests: temporary files, byte builders for both layouts, a source of
// read errors and readable descriptions of outcomes.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "event_stream/event_stream.hpp"
#include "event_stream/read_outcome.hpp"
#include "wd1_reader/wd1_reader.hpp"
#include "wd2_reader/wd2_reader.hpp"

namespace velk::test {
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] inline void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Creates (or appends to) `path` with `bytes`; "r+" overwrites at `offset` in place.
inline void write_file(const std::string& path, const Bytes& bytes, const char* mode = "w", long offset = 0) {
  FILE* f = std::fopen(path.c_str(), mode);
  if (f == nullptr || std::fseek(f, offset, SEEK_SET) != 0) fail(path);
  const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !ok) fail(path);
}

// A fresh directory (canonical, to compare with /proc/self/fd links), removed on destruction.
class TempDir {
 public:
  TempDir() {
    std::string templ = (fs::temp_directory_path() / "velk-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) fail("mkdtemp");
    path_ = fs::canonical(templ).string();
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const noexcept { return path_; }
  std::string write(const std::string& name, const Bytes& bytes) const {
    write_file(path_ + "/" + name, bytes);
    return path_ + "/" + name;
  }

 private:
  std::string path_;
};

// The descriptors of this process that refer to `path`.
inline std::vector<int> fds_open_on(const std::string& path) {
  std::vector<int> fds;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec) == path && !ec) fds.push_back(std::stoi(entry.path().filename()));
  }
  return fds;
}

// "event", "end of data", "layout_channels N", "io error: <text>" or "decode error: <text>".
inline std::string describe(const IoError& e) { return "io error: " + e.message(); }
inline std::string describe(const DecodeError& e) { return "decode error: " + e.message(); }
inline std::string describe(const EndOfData&) { return "end of data"; }
inline std::string describe(const WD1Event&) { return "event"; }
inline std::string describe(const WD2Event&) { return "event"; }
inline std::string describe(const WD2Reader& r) {
  return "layout_channels " + std::to_string(r.layout_channels());
}
template <class... T>
std::string describe(const std::variant<T...>& outcome) {
  return std::visit([](const auto& alternative) { return describe(alternative); }, outcome);
}

// The value or event itself; throws (a test failure) with a description of anything else.
template <class T>
T take(Result<T> result) {
  if (!result) throw std::runtime_error("expected a value, got " + describe(result.error()));
  return std::move(*result);
}
template <class Event>
Event take_event(ReadOutcome<Event> outcome) {
  if (auto* event = std::get_if<Event>(&outcome)) return std::move(*event);
  throw std::runtime_error("expected an event, got " + describe(outcome));
}

inline EventStream open_stream(const std::string& path, std::size_t capacity = kBufferCapacity) {
  return take(EventStream::open(path, {}, capacity));
}

// `bytes` placed right before an unmapped page and read through /proc/self/mem, so that reading on past
// them fails with EIO: a read error part-way through the data.
class BytesBeforeAHole {
 public:
  explicit BytesBeforeAHole(const Bytes& bytes) : size_(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))) {
    if (bytes.size() > size_) throw std::invalid_argument("more than one page of bytes");
    void* pages = ::mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) fail("mmap");
    page_ = static_cast<std::uint8_t*>(pages);
    ::munmap(page_ + size_, size_);  // the hole
    start_ = page_ + size_ - bytes.size();
    std::copy(bytes.begin(), bytes.end(), start_);
  }
  ~BytesBeforeAHole() { ::munmap(page_, size_); }
  BytesBeforeAHole(const BytesBeforeAHole&) = delete;
  BytesBeforeAHole& operator=(const BytesBeforeAHole&) = delete;

  EventStream stream() const {
    FileDescriptor fd(::open("/proc/self/mem", O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0 ||
        ::lseek(fd.get(), static_cast<off_t>(reinterpret_cast<std::uintptr_t>(start_)), SEEK_SET) < 0) {
      fail("/proc/self/mem");
    }
    return take(EventStream::adopt(std::move(fd)));
  }

 private:
  std::size_t size_;
  std::uint8_t* page_;
  std::uint8_t* start_;
};

// Little-endian encoders appending to `out`.
inline void put(Bytes& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
inline Bytes slice(const Bytes& bytes, std::size_t from, std::size_t n) {
  if (from + n > bytes.size()) throw std::out_of_range("slice beyond the end");
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + n));
}
inline std::uint64_t u64_at(const Bytes& bytes, std::size_t offset) {
  return EventStream::load_u64(reinterpret_cast<const std::byte*>(slice(bytes, offset, 8).data()));
}
// n bytes whose values depend on their offset, so misplaced reads show up.
inline Bytes pattern_bytes(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return out;
}

// n samples start, start + 7, ... (wrapping), and n floats first, first + 0.25, ...
inline std::vector<std::uint16_t> ramp(std::size_t n, std::uint16_t start) {
  std::vector<std::uint16_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint16_t>(start + 7 * i);
  return out;
}
inline std::vector<float> float_ramp(std::size_t n, float first) {
  std::vector<float> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = first + 0.25f * static_cast<float>(i);
  return out;
}

// WD1: six 32-bit words (raw bit patterns), then the samples; by default the size fits the samples.
inline Bytes wd1_event(const std::vector<std::uint16_t>& samples, std::uint32_t event_counter,
                       std::optional<std::uint32_t> event_size = {}) {
  Bytes out;
  put(out, event_size.value_or(static_cast<std::uint32_t>(24 + 2 * samples.size())), 4);
  for (std::uint32_t word : {1u, 0x0A0B0C0Du, 3u, event_counter, 0x12345678u}) put(out, word, 4);
  for (std::uint16_t s : samples) put(out, s, 2);
  return out;
}

struct WD2Header {
  std::uint32_t event_counter = 0;
  std::uint64_t timestamp = 0;
  std::uint32_t samples = 0;
  std::uint64_t sampling_period = 1;
  std::optional<std::int32_t> channels;  // written as the channel word when present
};
inline Bytes wd2_event(const WD2Header& h, const std::vector<float>& values) {
  Bytes out;
  put(out, h.event_counter, 4);
  put(out, h.timestamp, 8);
  put(out, h.samples, 4);
  put(out, h.sampling_period, 8);
  if (h.channels) put(out, static_cast<std::uint32_t>(*h.channels), 4);
  for (float v : values) put(out, std::bit_cast<std::uint32_t>(v), 4);
  return out;
}

template <class T>
std::vector<T> to_vector(const SampleVector<T>& samples) {
  return std::vector<T>(samples.data(), samples.data() + samples.size());
}

}  // namespace velk::test

// Helpers for the decoding-layer tests.
#include "test_support.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace velk::test {
namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/velk-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) throw std::system_error(errno, std::generic_category());
  // Canonical, so that it compares equal to the targets of /proc/self/fd links.
  path_ = fs::canonical(templ).string();
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

namespace {

void write_file(const std::string& path, const Bytes& bytes, std::ios::openmode mode) {
  std::ofstream out(path, std::ios::binary | mode);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace

std::string TempDir::write(const std::string& name, const Bytes& bytes) const {
  const std::string path = path_of(name);
  write_file(path, bytes, std::ios::trunc);
  return path;
}

void append_to(const std::string& path, const Bytes& bytes) { write_file(path, bytes, std::ios::app); }

void overwrite_at(const std::string& path, std::size_t offset, const Bytes& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
  ::close(fd);
  if (written != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("pwrite failed");
}

BytesBeforeAHole::BytesBeforeAHole(const Bytes& bytes)
    : page_size_(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))) {
  if (bytes.size() > page_size_) throw std::invalid_argument("more than one page of bytes");
  void* pages =
      ::mmap(nullptr, 2 * page_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "mmap");
  page_ = static_cast<std::uint8_t*>(pages);
  ::munmap(page_ + page_size_, page_size_);  // the hole: reading it through /proc/self/mem fails
  offset_ = page_size_ - bytes.size();
  std::copy(bytes.begin(), bytes.end(), page_ + offset_);
}

BytesBeforeAHole::~BytesBeforeAHole() { ::munmap(page_, page_size_); }

EventStream BytesBeforeAHole::stream() const {
  FileDescriptor fd(::open("/proc/self/mem", O_RDONLY | O_CLOEXEC));
  const auto address = reinterpret_cast<std::uintptr_t>(page_ + offset_);
  if (fd.get() < 0 || ::lseek(fd.get(), static_cast<off_t>(address), SEEK_SET) < 0) {
    throw std::system_error(errno, std::generic_category(), "/proc/self/mem");
  }
  return take(EventStream::adopt(std::move(fd)));
}

std::vector<int> fds_open_on(const std::string& path) {
  std::vector<int> fds;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(entry.path(), ec);
    if (!ec && target == path) fds.push_back(std::stoi(entry.path().filename().string()));
  }
  return fds;
}

void put_u16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put_u32(Bytes& out, std::uint32_t v) {
  put_u16(out, static_cast<std::uint16_t>(v));
  put_u16(out, static_cast<std::uint16_t>(v >> 16));
}
void put_u64(Bytes& out, std::uint64_t v) {
  put_u32(out, static_cast<std::uint32_t>(v));
  put_u32(out, static_cast<std::uint32_t>(v >> 32));
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t n) {
  if (from + n > bytes.size()) throw std::out_of_range("slice beyond the end");
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + n));
}

std::uint32_t u32_at(const Bytes& bytes, std::size_t offset) {
  return EventStream::load_u32(reinterpret_cast<const std::byte*>(slice(bytes, offset, 4).data()));
}
std::uint64_t u64_at(const Bytes& bytes, std::size_t offset) {
  return EventStream::load_u64(reinterpret_cast<const std::byte*>(slice(bytes, offset, 8).data()));
}

Bytes pattern_bytes(std::size_t n, std::uint8_t seed) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>((i * 7 + i / 251 + seed) % 256);
  return out;
}

Bytes wd1_event(std::uint32_t event_size, const std::vector<std::uint16_t>& samples,
                std::uint32_t event_counter, std::uint32_t board_id) {
  Bytes out;
  for (std::uint32_t word : {event_size, board_id, 0x0A0B0C0Du, 3u, event_counter, 0x12345678u}) {
    put_u32(out, word);
  }
  for (std::uint16_t s : samples) put_u16(out, s);
  return out;
}

Bytes wd1_event(const std::vector<std::uint16_t>& samples, std::uint32_t event_counter) {
  return wd1_event(static_cast<std::uint32_t>(24 + 2 * samples.size()), samples, event_counter);
}

std::vector<std::uint16_t> ramp(std::size_t n, std::uint16_t start) {
  std::vector<std::uint16_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint16_t>(start + 7 * i);
  return out;
}

std::vector<float> float_ramp(std::size_t n, float first) {
  std::vector<float> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = first + 0.25f * static_cast<float>(i);
  return out;
}

std::uint32_t float_bits(float v) { return std::bit_cast<std::uint32_t>(v); }

Bytes wd2_event_bits(const WD2Header& h, const std::vector<std::uint32_t>& bits) {
  Bytes out;
  put_u32(out, h.event_counter);
  put_u64(out, h.timestamp);
  put_u32(out, h.samples);
  put_u64(out, h.sampling_period);
  if (h.channels) put_u32(out, static_cast<std::uint32_t>(*h.channels));
  for (std::uint32_t b : bits) put_u32(out, b);
  return out;
}

Bytes wd2_event(const WD2Header& h, const std::vector<float>& values) {
  std::vector<std::uint32_t> bits;
  for (float v : values) bits.push_back(float_bits(v));
  return wd2_event_bits(h, bits);
}

EventStream open_stream(const std::string& path) {
  Result<EventStream> stream = EventStream::open(path);
  if (!stream) throw std::runtime_error("cannot open " + path + ": " + describe(stream.error()));
  return std::move(*stream);
}

WD2Reader open_wd2(const std::string& path) {
  ProbeOutcome outcome = WD2Reader::open(open_stream(path));
  if (auto* reader = std::get_if<WD2Reader>(&outcome)) return std::move(*reader);
  throw std::runtime_error("cannot probe " + path + ": " + describe(outcome));
}

std::string describe(const IoError& error) { return "io error: " + error.message(); }

std::string describe(const DecodeError& error) { return "decode error: " + error.message(); }

std::string describe(const ProbeOutcome& outcome) {
  if (const auto* reader = std::get_if<WD2Reader>(&outcome)) {
    return "layout_channels " + std::to_string(reader->layout_channels());
  }
  if (const auto* e = std::get_if<IoError>(&outcome)) return describe(*e);
  return describe(std::get<DecodeError>(outcome));
}

}  // namespace velk::test

// Decoding many events per system call, for readers that gather events into batches: the events that
// lie whole in the stream's buffer, and runs of events of one size read with one scattered read.
#pragma once

#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "event_stream/event_stream.hpp"
#include "event_stream/sample_vector.hpp"

namespace velk {

// A header that next() would accept as it stands, with its block of `count` samples, `bytes` long.
template <class Header>
struct BlockHeader {
  Header header;
  std::size_t count;
  std::size_t bytes;
};

// Hands each event whole in the stream's buffer to take(header, samples, count), its samples as bytes
// in the buffer, while `parse` (header bytes -> std::optional<BlockHeader>) accepts its header and take
// accepts the event; consumes the events taken.
template <class Parse, class Take>
void take_buffered(EventStream& stream, std::size_t header_size, Parse&& parse, Take&& take) {
  for (;;) {
    const std::span<const std::byte> bytes = stream.buffered();
    if (bytes.size() < header_size) return;
    const auto block = parse(bytes.data());
    if (!block || block->bytes > bytes.size() - header_size ||
        !take(block->header, bytes.data() + header_size, block->count)) {
      return;
    }
    stream.consume(header_size + block->bytes);
  }
}

// Blocks of this size or more are read scattered: each straight to its place, its header apart. Smaller
// ones are read packed, headers included, and then moved down over the headers: a scattered read's
// parts (a header, and a block that mostly spans two pages of the file) cost more than that move up to
// 4 KiB. A bare C loop doing only the reads and moves reached, as a share of 1 MiB reads, 0.77 - 0.80
// packed against 0.73 - 0.75 scattered for 4 KiB blocks, and 0.80 against 0.85 for 8 KiB; read_batches
// on 4 KiB WD2 events 0.75 packed against 0.68 scattered (medians of 6 alternating processes).
inline constexpr std::size_t kScatterMinBytes = 8192;

// Where a read of alike events puts the headers of its events, and its readv(2) parts.
struct AlikeScratch {
  static constexpr std::size_t kEvents = 512;      // two parts each: the usual IOV_MAX of 1024
  static constexpr std::size_t kHeaderBytes = 28;  // the largest header of both layouts
  std::array<iovec, 2 * kEvents> parts;
  std::array<std::byte, kEvents * kHeaderBytes> headers;
};

// Reads up to `events` events on the guess that each has a header of `header_size` bytes and a block
// of `block_bytes`, with one system call into `room`, where the blocks are to lie back to back. Then
// hands to take(header, block, count) each event that arrived whole and whose header `parse` accepts
// with exactly that block, in order, while take accepts it; take must put the block at the start of
// `room` plus the blocks taken before (where a scattered read has already put it), and may fail only
// before moving anything. The bytes from the first event not taken on go back to the stream, so the
// events and bytes consumed are exactly those of next() for the same events. Returns the events
// taken. A guess that fails costs a read but changes nothing else.
template <class Parse, class Take>
std::size_t read_alike(EventStream& stream, AlikeScratch& scratch, std::size_t header_size,
                       std::size_t block_bytes, std::size_t events, std::span<std::byte> room, Parse&& parse,
                       Take&& take) noexcept {
  const std::size_t event_bytes = header_size + block_bytes;
  const bool scatter = block_bytes >= kScatterMinBytes;
  // Packed, the file's bytes land where they share the file offset's phase within a page, which the
  // kernel copies fastest (see StreamBuffer).
  const std::size_t pad = scatter ? 0 : static_cast<std::size_t>(
      (stream.position() - reinterpret_cast<std::uintptr_t>(room.data())) % kPageBytes);
  const std::size_t fits = scatter ? room.size() / block_bytes
                                   : (room.size() > pad ? (room.size() - pad) / event_bytes : 0);
  events = std::min({events, fits, AlikeScratch::kEvents, stream.capacity() / event_bytes});
  if (header_size > AlikeScratch::kHeaderBytes || events == 0) return 0;
  std::byte* const area = room.data() + pad;
  std::span<iovec> parts(scratch.parts.data(), scatter ? 2 * events : 1);
  if (scatter) {
    for (std::size_t i = 0; i < events; ++i) {
      parts[2 * i] = {scratch.headers.data() + i * header_size, header_size};
      parts[2 * i + 1] = {room.data() + i * block_bytes, block_bytes};
    }
  } else {
    parts[0] = {area, events * event_bytes};
  }
  const std::size_t got = stream.read_scattered(parts);
  std::size_t taken = 0;
  for (; taken < events && got - taken * event_bytes >= event_bytes; ++taken) {
    const std::byte* header = scatter ? scratch.headers.data() + taken * header_size : area + taken * event_bytes;
    const std::byte* block = scatter ? room.data() + taken * block_bytes : header + header_size;
    const auto parsed = parse(header);
    if (!parsed || parsed->bytes != block_bytes || !take(parsed->header, block, parsed->count)) break;
  }
  stream.unread(parts, taken * event_bytes, got);
  return taken;
}

}  // namespace velk

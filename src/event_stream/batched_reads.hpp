// Decoding many events per system call, for readers that gather events into batches: the events that
// lie whole in the stream's buffer, and runs of events of one size read with one scattered read.
#pragma once

#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>

#include "event_stream/event_stream.hpp"

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

// Where one scattered read puts the headers of its events, and its readv(2) parts.
struct AlikeScratch {
  static constexpr std::size_t kEvents = 512;      // two parts each: the usual IOV_MAX of 1024
  static constexpr std::size_t kHeaderBytes = 28;  // the largest header of both layouts
  std::array<iovec, 2 * kEvents> parts;
  std::array<std::byte, kEvents * kHeaderBytes> headers;
};

// Reads up to `events` events on the guess that each has a header of `header_size` bytes and a block
// of `block_bytes`, with one system call that puts the headers in `scratch` and the blocks back to back
// at `blocks` (room for `events` blocks). Then hands to take(header), in order, each event that arrived
// whole and whose header `parse` accepts with exactly that block, while take accepts it; the block of
// the i-th taken is then at blocks + i * block_bytes. The bytes from the first event not taken on go
// back to the stream, so the events and bytes consumed are exactly those of next() for the same events.
// Returns the events taken. A guess that fails costs a read but changes nothing else.
template <class Parse, class Take>
std::size_t read_alike(EventStream& stream, AlikeScratch& scratch, std::size_t header_size,
                       std::size_t block_bytes, std::size_t events, std::byte* blocks, Parse&& parse,
                       Take&& take) noexcept {
  const std::size_t event_bytes = header_size + block_bytes;
  events = std::min({events, AlikeScratch::kEvents, stream.capacity() / event_bytes});
  if (header_size > AlikeScratch::kHeaderBytes || events == 0) return 0;
  for (std::size_t i = 0; i < events; ++i) {
    scratch.parts[2 * i] = {scratch.headers.data() + i * header_size, header_size};
    scratch.parts[2 * i + 1] = {blocks + i * block_bytes, block_bytes};
  }
  const std::span<iovec> parts(scratch.parts.data(), 2 * events);
  const std::size_t got = stream.read_scattered(parts);
  std::size_t taken = 0;
  for (; taken < events && got - taken * event_bytes >= event_bytes; ++taken) {
    const auto block = parse(scratch.headers.data() + taken * header_size);
    if (!block || block->bytes != block_bytes || !take(block->header)) break;
  }
  stream.unread(parts, taken * event_bytes, got);
  return taken;
}

}  // namespace velk

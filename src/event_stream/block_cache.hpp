// A few freed sample blocks of more than 16 MiB, kept for the next event of the same size.
//
// malloc reuses smaller freed blocks without asking the kernel for memory again. Larger ones it maps
// afresh for every allocation once they exceed its mmap threshold (glibc raises that threshold as
// large blocks are freed, but never beyond 32 MiB), so each new block page-faults in zero-filled
// pages, and the sample reader builds such blocks in steps as the file delivers their bytes. Handing a
// freed block of exactly the right size back to the next event skips all of that.
//
// Blocks are kept only while at least one stream that reads such blocks is open, and the last of those
// to close frees them, so no memory stays held once those readers are gone. Only blocks of delivered
// events come back here; an allocation that fails empties the cache before it tries again. All
// functions are safe from any thread.
//
// Blocks of kLateMinBytes to kLateMaxBytes are freed one release late instead: the block of the event
// a loop has just dropped stays allocated until the next such block is released, so malloc hands the
// next event a different block. The kernel copies file data into memory that was written a moment
// ago markedly slower than into another block (by 10-20% for 256 KiB blocks), and a loop that drops
// each event before reading the next would otherwise get the same block every time.
//
// Every function below acts on the cache use() names, by default this copy's own.
#pragma once

#include <cstddef>

namespace velk::block_cache {

// Blocks of at least this many bytes are cached; smaller ones are left to malloc.
inline constexpr std::size_t kMinBytes = (std::size_t{1} << 24) + 1;

// How many freed blocks are kept at most.
inline constexpr std::size_t kSlots = 2;

// A cached block of exactly `bytes` bytes, now the caller's, or nullptr. Its contents are stale.
void* acquire(std::size_t bytes) noexcept;

// Takes back a block of `bytes` bytes (at least kMinBytes) that came from malloc, realloc or
// acquire: keeps it while a stream is open, evicting the longest-kept block when every slot is
// taken, or else frees it.
void release(void* block, std::size_t bytes) noexcept;

// Blocks of this size range are freed one release late; at most one is held at a time.
inline constexpr std::size_t kLateMinBytes = std::size_t{1} << 16;
inline constexpr std::size_t kLateMaxBytes = std::size_t{1} << 19;

// Takes a block from malloc or realloc of kLateMinBytes to kLateMaxBytes, and frees the block
// taken before it.
void release_late(void* block) noexcept;

// Frees the block held by release_late, if any; returns whether there was one.
bool free_late() noexcept;

// Streams that read large blocks announce themselves: the cache keeps blocks only while one is open.
void user_joined() noexcept;
void user_left() noexcept;

// Frees every kept block and the one held by release_late; returns whether there was any.
bool clear() noexcept;

// Blocks currently kept (for tests).
std::size_t cached_blocks() noexcept;

// The cache's entry points. Every extension module links its own copy of the decoding layer, and so
// of this cache; a process should hold one cache, so that a failed allocation anywhere can empty it
// and the blocks one module frees serve the next. The first module loaded offers its cache (own()),
// and each later one routes every function above to it (use()), before it opens any stream.
struct Functions {
  void* (*acquire)(std::size_t bytes) noexcept;
  void (*release)(void* block, std::size_t bytes) noexcept;
  void (*release_late)(void* block) noexcept;
  bool (*free_late)() noexcept;
  void (*user_joined)() noexcept;
  void (*user_left)() noexcept;
  bool (*clear)() noexcept;
  std::size_t (*cached_blocks)() noexcept;
};

// This copy's own cache, whichever cache its functions use.
const Functions& own() noexcept;
// Routes this copy's functions to `shared`, which must outlive every later call.
void use(const Functions& shared) noexcept;

}  // namespace velk::block_cache

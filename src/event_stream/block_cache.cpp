// The cache of freed large sample blocks.
#include "event_stream/block_cache.hpp"

#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace velk::block_cache {
namespace {

struct Slot {
  void* block = nullptr;
  std::size_t bytes = 0;
};

// Blocks are released wherever the last reference to their array goes, which may be any thread.
std::mutex g_mutex;
std::array<Slot, kSlots> g_slots;  // filled from the front, oldest first
std::size_t g_users = 0;  // open streams that read large blocks
std::atomic<void*> g_late{nullptr};  // the block release_late took last

void* acquire_here(std::size_t bytes) noexcept {
  if (bytes < kMinBytes) return nullptr;
  const std::lock_guard<std::mutex> lock(g_mutex);
  for (std::size_t i = 0; i < kSlots && g_slots[i].block != nullptr; ++i) {
    if (g_slots[i].bytes != bytes) continue;
    void* block = g_slots[i].block;
    for (; i + 1 < kSlots; ++i) g_slots[i] = g_slots[i + 1];
    g_slots[kSlots - 1] = Slot{};
    return block;
  }
  return nullptr;
}

void release_here(void* block, std::size_t bytes) noexcept {
  void* evicted = block;
  {
    const std::lock_guard<std::mutex> lock(g_mutex);
    if (g_users > 0 && bytes >= kMinBytes) {
      std::size_t free_slot = 0;
      while (free_slot < kSlots && g_slots[free_slot].block != nullptr) ++free_slot;
      if (free_slot == kSlots) {
        evicted = g_slots[0].block;
        for (std::size_t i = 0; i + 1 < kSlots; ++i) g_slots[i] = g_slots[i + 1];
        free_slot = kSlots - 1;
      } else {
        evicted = nullptr;
      }
      g_slots[free_slot] = Slot{block, bytes};
    }
  }
  std::free(evicted);  // outside the lock: unmapping a large block takes a while
}

void release_late_here(void* block) noexcept { std::free(g_late.exchange(block)); }

bool free_late_here() noexcept {
  void* block = g_late.exchange(nullptr);
  std::free(block);
  return block != nullptr;
}

bool clear_here() noexcept;

void user_joined_here() noexcept {
  const std::lock_guard<std::mutex> lock(g_mutex);
  ++g_users;
}

void user_left_here() noexcept {
  bool last = false;
  {
    const std::lock_guard<std::mutex> lock(g_mutex);
    last = --g_users == 0;
  }
  if (last) clear_here();
}

bool clear_here() noexcept {
  std::array<Slot, kSlots> dropped{};
  {
    const std::lock_guard<std::mutex> lock(g_mutex);
    dropped = std::exchange(g_slots, {});
  }
  for (const Slot& slot : dropped) std::free(slot.block);
  const bool late = free_late_here();
  return dropped[0].block != nullptr || late;
}

std::size_t cached_blocks_here() noexcept {
  const std::lock_guard<std::mutex> lock(g_mutex);
  std::size_t count = 0;
  for (const Slot& slot : g_slots) count += slot.block != nullptr ? 1 : 0;
  return count;
}

constexpr Functions kOwn = {acquire_here,     release_here,   release_late_here, free_late_here,
                           user_joined_here, user_left_here, clear_here,        cached_blocks_here};
std::atomic<const Functions*> g_used{&kOwn};

const Functions& used() noexcept { return *g_used.load(std::memory_order_acquire); }

}  // namespace

const Functions& own() noexcept { return kOwn; }
void use(const Functions& shared) noexcept { g_used.store(&shared, std::memory_order_release); }

void* acquire(std::size_t bytes) noexcept { return used().acquire(bytes); }
void release(void* block, std::size_t bytes) noexcept { used().release(block, bytes); }
void release_late(void* block) noexcept { used().release_late(block); }
bool free_late() noexcept { return used().free_late(); }
void user_joined() noexcept { used().user_joined(); }
void user_left() noexcept { used().user_left(); }
bool clear() noexcept { return used().clear(); }
std::size_t cached_blocks() noexcept { return used().cached_blocks(); }

}  // namespace velk::block_cache

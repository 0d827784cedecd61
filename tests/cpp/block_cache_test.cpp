// The cache of freed large sample blocks: which blocks it keeps, for how long, and that a reused block
// carries the new event's samples.
#include "event_stream/block_cache.hpp"

#include <gtest/gtest.h>

#include "event_stream/sample_block.hpp"
#include "test_support.hpp"

namespace velk::test {
namespace {

constexpr std::size_t kLarge = block_cache::kMinBytes;  // the smallest size the cache keeps

// Counts as an open stream that reads large blocks, for its lifetime.
struct OpenStream {
  OpenStream() { block_cache::user_joined(); }
  ~OpenStream() { block_cache::user_left(); }
};

// What happens to the samples of a delivered event once its array is gone.
template <class T>
void deliver_and_drop(SampleBlock<T>& block) {
  const SampleStorage storage = std::move(std::get<SampleVector<T>>(block)).release();
  free_samples<T>(storage.data, storage.capacity);
}

void* new_block(std::size_t bytes) {
  void* block = std::malloc(bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

// The samples of a new vector of `bytes` bytes of floats, as free_samples takes them.
void* new_samples(std::size_t bytes) {
  return std::move(*SampleVector<float>::allocate(bytes / sizeof(float))).release().data;
}

class BlockCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(block_cache::cached_blocks(), 0u) << "a test left blocks behind"; }
  void TearDown() override { EXPECT_EQ(block_cache::cached_blocks(), 0u); }
  TempDir dir;
};

// Keeps two blocks at most, hands each back once and for exactly its size, evicting the longest kept.
TEST_F(BlockCacheTest, HandsKeptBlocksBackOnceForExactlyTheirSize) {
  static_assert(block_cache::kSlots == 2);
  OpenStream open;
  void* blocks[] = {new_block(kLarge), new_block(kLarge + 8), new_block(kLarge + 16)};
  for (std::size_t i = 0; i < 3; ++i) block_cache::release(blocks[i], kLarge + 8 * i);
  EXPECT_EQ(block_cache::cached_blocks(), 2u);
  EXPECT_EQ(block_cache::acquire(kLarge), nullptr);  // evicted
  EXPECT_EQ(block_cache::acquire(kLarge + 12), nullptr);
  EXPECT_EQ(block_cache::acquire(kLarge + 4), nullptr);
  void* got[] = {block_cache::acquire(kLarge + 16), block_cache::acquire(kLarge + 8)};
  EXPECT_EQ(got[0], blocks[2]);
  EXPECT_EQ(got[1], blocks[1]);
  EXPECT_EQ(block_cache::acquire(kLarge + 8), nullptr);
  for (void* block : got) std::free(block);
}

TEST_F(BlockCacheTest, FreesWhatItMustNotKeep) {
  for (bool stream_open : {false, true}) {
    SCOPED_TRACE(stream_open ? "too small" : "no stream open");
    std::optional<OpenStream> open;
    if (stream_open) open.emplace();
    const std::size_t bytes = stream_open ? kLarge - 1 : kLarge;
    block_cache::release(new_block(bytes), bytes);
    EXPECT_EQ(block_cache::cached_blocks(), 0u);
  }
}

// Only streams that read large blocks keep the cache; the last of them to close empties it.
TEST_F(BlockCacheTest, TheLastStreamReadingLargeBlocksToCloseEmptiesTheCache) {
  const std::string path = dir.write("file", {1, 2, 3});
  EventStream idle = open_stream(path);
  block_cache::release(new_block(kLarge), kLarge);
  EXPECT_EQ(block_cache::cached_blocks(), 0u);
  std::optional<EventStream> one = open_stream(path);
  one->use_block_cache();
  {
    EventStream two = open_stream(path);
    two.use_block_cache();
    block_cache::release(new_block(kLarge), kLarge);
    EventStream moved = std::move(two);  // a moved-from stream does not count as a second closing
  }
  EXPECT_EQ(block_cache::cached_blocks(), 1u);
  one.reset();
  EXPECT_EQ(block_cache::cached_blocks(), 0u);
}

// Two float blocks just over the cache's limit, each with its own bytes, then a third block cut short:
// a delivered block is reused by the next event; the block of an event cut short is freed.
TEST_F(BlockCacheTest, ReusedBlocksHoldTheNewSamplesAndUndeliveredBlocksAreFreed) {
  const std::size_t count = kLarge / 4 + 1;
  const Bytes bytes = pattern_bytes(count * 4 * 2 + 100);
  EventStream stream = open_stream(dir.write("blocks", bytes));
  const auto holds = [&](const SampleBlock<float>& block, std::size_t index) {
    const auto* samples = std::get_if<SampleVector<float>>(&block);
    return samples != nullptr && samples->size() == count &&
           std::memcmp(samples->data(), bytes.data() + index * count * 4, count * 4) == 0;
  };
  SampleBlock<float> first = read_sample_block<float>(stream, count);
  ASSERT_TRUE(holds(first, 0));
  void* first_block = storage_block(std::get<SampleVector<float>>(first).data(), count * 4);
  deliver_and_drop(first);
  EXPECT_EQ(block_cache::cached_blocks(), 1u);

  SampleBlock<float> second = read_sample_block<float>(stream, count);
  ASSERT_TRUE(holds(second, 1));
  const float* second_data = std::get<SampleVector<float>>(second).data();
  EXPECT_EQ(storage_block(const_cast<float*>(second_data), count * 4), first_block);
  EXPECT_EQ(paged::phase_of(second_data), count * 4 % kPageBytes);  // the file offset's phase
  EXPECT_EQ(block_cache::cached_blocks(), 0u);
  deliver_and_drop(second);

  SampleBlock<float> cut = read_sample_block<float>(stream, count);
  ASSERT_TRUE(std::holds_alternative<IoError>(cut));
  EXPECT_EQ(block_cache::cached_blocks(), 0u);
}

// Blocks of the late range are freed one release late, one at a time; clear() frees the last one too.
TEST_F(BlockCacheTest, LateBlocksAreHeldUntilTheNextOneIsReleased) {
  EXPECT_FALSE(block_cache::free_late());
  block_cache::release_late(new_block(block_cache::kLateMinBytes));
  block_cache::release_late(new_block(block_cache::kLateMaxBytes));  // frees the first
  EXPECT_TRUE(block_cache::free_late());
  EXPECT_FALSE(block_cache::free_late());
  free_samples<float>(new_samples(block_cache::kLateMaxBytes), block_cache::kLateMaxBytes / sizeof(float));
  free_samples<float>(new_samples(block_cache::kLateMinBytes - 4), block_cache::kLateMinBytes / 4 - 1);
  EXPECT_TRUE(block_cache::clear());  // the first of the two is held, the one below the range is not
  EXPECT_FALSE(block_cache::clear());
}

// Paged storage starts at the phase asked for (rounded down to the samples' alignment); resizes
// within and across the paged size, both ways, keep the samples held, and the storage is freed from
// wherever it ended (the sanitizer build checks the frees).
TEST(PagedStorageTest, StartsAtThePhaseAndResizesKeepTheSamples) {
  const std::size_t small = kPagedMinBytes / 2 / sizeof(float);
  const std::size_t sizes[] = {2 * small, 8 * small, 4 * small, small, 2 * small, 64, 4 * small};
  for (std::size_t phase : {0, 3, 24, 4092}) {
    SCOPED_TRACE(phase);
    SampleVector<float> samples = std::move(*SampleVector<float>::allocate(sizes[0], phase));
    EXPECT_EQ(paged::phase_of(samples.data()), phase / 4 * 4);
    for (std::size_t i = 0; i < sizes[0]; ++i) samples.data()[i] = static_cast<float>(i);
    std::size_t held = sizes[0];
    for (std::size_t size : sizes) {
      if (size >= samples.size()) {
        ASSERT_TRUE(samples.grow(size));
      } else {
        samples.shrink(size);
      }
      ASSERT_EQ(samples.size(), size);
      held = std::min(held, size);
      for (std::size_t i = 0; i < held; i += 97) ASSERT_EQ(samples.data()[i], static_cast<float>(i)) << size;
    }
    const SampleStorage storage = std::move(samples).release();
    free_samples<float>(storage.data, storage.capacity);
  }
  block_cache::free_late();
}

}  // namespace
}  // namespace velk::test

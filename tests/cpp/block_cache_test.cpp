// The cache of freed large sample blocks: which blocks it keeps, for how long, and that a reused block
// carries the new event's samples.
#include "event_stream/block_cache.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <variant>
#include <vector>

#include "event_stream/event_stream.hpp"
#include "event_stream/sample_block.hpp"

namespace velk {
namespace {

constexpr std::size_t kLarge = block_cache::kMinBytes;  // the smallest size the cache keeps

// Counts as an open stream for its lifetime.
struct OpenStream {
  OpenStream() { block_cache::stream_opened(); }
  ~OpenStream() { block_cache::stream_closed(); }
  OpenStream(const OpenStream&) = delete;
  OpenStream& operator=(const OpenStream&) = delete;
};

void* new_block(std::size_t bytes) {
  void* block = std::malloc(bytes);
  if (block == nullptr) std::abort();
  return block;
}

// A stream over an in-memory file holding `bytes`.
EventStream stream_over(const std::vector<std::uint8_t>& bytes) {
  const int fd = memfd_create("velk-block-cache", MFD_CLOEXEC);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
      ::lseek(fd, 0, SEEK_SET) != 0) {
    std::abort();
  }
  Result<EventStream> stream = EventStream::adopt(FileDescriptor(fd));
  if (!stream) std::abort();
  return std::move(*stream);
}

class BlockCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(block_cache::cached_blocks(), 0u) << "a test left blocks behind"; }
  void TearDown() override { EXPECT_EQ(block_cache::cached_blocks(), 0u); }
};

TEST_F(BlockCacheTest, HandsAKeptBlockBackOnceForExactlyItsSize) {
  OpenStream open;
  void* block = new_block(kLarge);
  block_cache::release(block, kLarge);
  EXPECT_EQ(block_cache::cached_blocks(), 1u);
  EXPECT_EQ(block_cache::acquire(kLarge + 4), nullptr);
  EXPECT_EQ(block_cache::acquire(kLarge - 4), nullptr);
  EXPECT_EQ(block_cache::acquire(kLarge), block);
  EXPECT_EQ(block_cache::acquire(kLarge), nullptr);
  std::free(block);
}

TEST_F(BlockCacheTest, FreesWhatItMustNotKeep) {
  struct Case {
    const char* what;
    bool stream_open;
    std::size_t bytes;
  };
  for (const Case& c : {Case{"no stream open", false, kLarge}, Case{"too small", true, kLarge - 1}}) {
    SCOPED_TRACE(c.what);
    std::optional<OpenStream> open;
    if (c.stream_open) open.emplace();
    block_cache::release(new_block(c.bytes), c.bytes);
    EXPECT_EQ(block_cache::cached_blocks(), 0u);
    EXPECT_EQ(block_cache::acquire(c.bytes), nullptr);
  }
}

TEST_F(BlockCacheTest, EvictsTheLongestKeptBlockWhenFull) {
  static_assert(block_cache::kSlots == 2);
  OpenStream open;
  void* first = new_block(kLarge);
  void* second = new_block(kLarge + 8);
  void* third = new_block(kLarge + 16);
  block_cache::release(first, kLarge);
  block_cache::release(second, kLarge + 8);
  block_cache::release(third, kLarge + 16);
  EXPECT_EQ(block_cache::cached_blocks(), 2u);
  EXPECT_EQ(block_cache::acquire(kLarge), nullptr);
  void* got_third = block_cache::acquire(kLarge + 16);
  void* got_second = block_cache::acquire(kLarge + 8);
  EXPECT_EQ(got_third, third);
  EXPECT_EQ(got_second, second);
  std::free(got_second);
  std::free(got_third);
}

TEST_F(BlockCacheTest, TheLastStreamToCloseEmptiesTheCache) {
  std::optional<EventStream> one = stream_over({1, 2, 3});
  {
    EventStream two = stream_over({4});
    block_cache::release(new_block(kLarge), kLarge);
    // A moved-from stream owns nothing and does not count as a second closing.
    EventStream moved = std::move(two);
  }
  EXPECT_EQ(block_cache::cached_blocks(), 1u);
  one.reset();
  EXPECT_EQ(block_cache::cached_blocks(), 0u);
}

// Two events' worth of float blocks just over the cache's limit, each filled with its own pattern,
// then a third block cut short.
TEST_F(BlockCacheTest, ReusedBlocksHoldTheNewSamplesAndReturnAfterAShortRead) {
  const std::size_t count = kLarge / 4 + 1;
  std::vector<std::uint8_t> bytes(count * 4 * 2 + 100);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 4093);
  EventStream stream = stream_over(bytes);

  const auto read_block = [&] { return read_sample_block<float>(stream, count); };
  SampleBlock<float> first = read_block();
  ASSERT_TRUE(std::holds_alternative<SampleVector<float>>(first));
  const float* first_data = std::get<SampleVector<float>>(first).data();
  EXPECT_EQ(std::memcmp(first_data, bytes.data(), count * 4), 0);
  first = SamplesUnallocatable{};  // the event is gone: its block goes to the cache
  EXPECT_EQ(block_cache::cached_blocks(), 1u);

  SampleBlock<float> second = read_block();
  ASSERT_TRUE(std::holds_alternative<SampleVector<float>>(second));
  const SampleVector<float>& samples = std::get<SampleVector<float>>(second);
  EXPECT_EQ(samples.data(), first_data);
  ASSERT_EQ(samples.size(), count);
  EXPECT_EQ(std::memcmp(samples.data(), bytes.data() + count * 4, count * 4), 0);
  EXPECT_EQ(block_cache::cached_blocks(), 0u);
  second = SamplesUnallocatable{};

  SampleBlock<float> cut = read_block();
  ASSERT_TRUE(std::holds_alternative<IoError>(cut));
  EXPECT_EQ(std::get<IoError>(cut).kind(), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(block_cache::cached_blocks(), 1u);
}

}  // namespace
}  // namespace velk

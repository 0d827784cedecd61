// Batches against next(): runs of events of one size, which the builder reads with one system call
// per run, must deliver exactly the events and errors of next() wherever a run changes size, meets a
// header next() rejects or is cut by the end of the file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "columns/batch_builder.hpp"
#include "test_support.hpp"

namespace velk::test {
namespace {

// The header values, the sample count and an FNV-1a hash of the samples' bits.
template <class Values, class T>
std::string render(const Values& values, const T* samples, std::size_t count) {
  std::string out = std::apply([](const auto&... v) { return ((std::to_string(v) + ' ') + ...); }, values);
  std::uint64_t hash = 14695981039346656037u;
  const auto* bytes = reinterpret_cast<const unsigned char*>(samples);
  for (std::size_t i = 0; i < count * sizeof(T); ++i) hash = (hash ^ bytes[i]) * 1099511628211u;
  return out + "| " + std::to_string(count) + " samples, hash " + std::to_string(hash);
}

// Each event next() delivers, rendered, and each error as its text, to the end of data.
template <class Reader>
std::vector<std::string> stepped(Reader reader) {
  using Event = typename BatchBuilder<Reader>::Event;
  std::vector<std::string> out;
  for (auto outcome = reader.next(); !std::holds_alternative<EndOfData>(outcome); outcome = reader.next()) {
    const auto* event = std::get_if<Event>(&outcome);
    out.push_back(event ? render(HeaderColumns<Event>::values(*event), event->data.data(), event->data.size())
                        : describe(outcome));
  }
  return out;
}

// The same, from the builder's batches of up to `max_events` events.
template <class Reader>
std::vector<std::string> batched(Reader reader, std::size_t max_events) {
  BatchBuilder<Reader> builder(std::move(reader));
  std::vector<std::string> out;
  for (auto outcome = builder.next(max_events, 1 << 20); !std::holds_alternative<EndOfData>(outcome);
       outcome = builder.next(max_events, 1 << 20)) {
    const auto* batch = std::get_if<0>(&outcome);
    if (const auto* error = std::get_if<IoError>(&outcome)) out.push_back(describe(*error));
    if (const auto* error = std::get_if<DecodeError>(&outcome)) out.push_back(describe(*error));
    for (std::size_t e = 0; batch != nullptr && e < batch->events; ++e) {
      const std::int64_t* offsets = batch->offsets.data();
      const auto values =
          std::apply([&](const auto&... c) { return std::tuple(c.data()[e]...); }, batch->header.columns);
      const auto count = static_cast<std::size_t>(offsets[e + 1] - offsets[e]);
      out.push_back(render(values, batch->samples.data() + offsets[e], count));
    }
  }
  return out;
}

// Runs of `first` samples (`scale` times 6, 3 of one more, 9), a header next() rejects (`rejected`),
// and 8 more, the last one cut: 26 x scale events delivered.
template <class MakeEvent>
Bytes runs(std::size_t first, std::size_t scale, MakeEvent&& event, const Bytes& rejected) {
  Bytes out;
  std::uint32_t counter = 0;
  const auto add = [&](std::size_t n, std::size_t samples) {
    for (std::size_t i = 0; i < n; ++i) out = concat({out, event(samples, counter++)});
  };
  add(6 * scale, first);
  add(3 * scale, first + 1);
  add(9 * scale, first);
  out = concat({out, rejected});
  add(8 * scale, first);
  out.resize(out.size() - 100);
  return out;
}

WD2Reader opened_wd2(const std::string& path) {
  ProbeOutcome outcome = WD2Reader::open(open_stream(path));
  if (auto* reader = std::get_if<WD2Reader>(&outcome)) return std::move(*reader);
  throw std::runtime_error("expected a reader, got " + describe(outcome));
}

// Blocks of 12 and 24 KiB are read scattered, of 1200 and 2400 bytes packed.
TEST(BatchBuilderTest, RunsReadAtOnceDeliverWhatNextDoes) {
  TempDir dir;
  const auto wd1_at = [](std::size_t n, std::uint32_t i) {
    return wd1_event(ramp(n, static_cast<std::uint16_t>(i)), i);
  };
  const auto wd2_at = [](std::size_t n, std::uint32_t i) {
    WD2Header h{.event_counter = i, .samples = static_cast<std::uint32_t>(n), .channels = 2};
    return wd2_event(h, float_ramp(2 * n, static_cast<float>(i)));
  };
  const Bytes wd1_rejected = wd1_event({}, 99, 5);
  const Bytes wd2_rejected = wd2_event({.samples = 1u << 28, .channels = 2}, {});
  for (const auto& [samples, scale] : {std::pair<std::size_t, std::size_t>{6000, 1}, {600, 4}}) {
    const std::string wd1 = dir.write("wd1", runs(samples, scale, wd1_at, wd1_rejected));
    const std::string wd2 = dir.write("wd2", runs(samples / 2, scale, wd2_at, wd2_rejected));
    const std::vector<std::string> wd1_expected = stepped(WD1Reader(open_stream(wd1)));
    const std::vector<std::string> wd2_expected = stepped(opened_wd2(wd2));
    ASSERT_EQ(wd1_expected.size(), 26 * scale);
    ASSERT_EQ(wd2_expected.size(), 26 * scale);
    for (std::size_t max_events : {7, 65536}) {
      EXPECT_EQ(batched(WD1Reader(open_stream(wd1)), max_events), wd1_expected) << samples;
      EXPECT_EQ(batched(opened_wd2(wd2), max_events), wd2_expected) << samples;
    }
  }
}

// The samples column is allocated once at the size that ends the batch, plus the room for a packed
// read; growing it by doubling from a small start would allocate twice that and keep it.
TEST(BatchBuilderTest, SamplesColumnIsAllocatedAtItsPlannedSize) {
  TempDir dir;
  Bytes file;
  for (std::uint32_t i = 0; i < 40; ++i) {
    file = concat({file, wd1_event(ramp(1000, static_cast<std::uint16_t>(i)), i)});
  }
  BatchBuilder<WD1Reader> builder(WD1Reader(open_stream(dir.write("wd1", file))));
  auto outcome = builder.next(65536, 64 << 10);
  const auto& batch = std::get<0>(outcome);
  EXPECT_EQ(batch.events, 33u);  // the first to reach 32768 samples ends it
  EXPECT_LE(batch.samples.size() + batch.samples.spare(), 32768u + 32768u / 32 + kPageBytes / 2);
}

}  // namespace
}  // namespace velk::test

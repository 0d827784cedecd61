// Conversion of decoded events into dictionaries.
#include "binding/event_dict.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <initializer_list>

#include "binding/errors.hpp"
#include "binding/process_once.hpp"
#include "binding/sample_array.hpp"

namespace velk::py {
namespace {

enum Key : std::size_t {
  kEventSize, kBoardId, kPattern, kBoardChannel, kEventCounter, kTimestamp,
  kSamples, kSamplingPeriod, kChannels, kData, kKeyCount,
};

constexpr std::array<const char*, kKeyCount> kKeyNames = {
    "event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp",
    "samples", "sampling_period", "channels", "data",
};

using KeyTable = std::array<PyObject*, kKeyCount>;

// The process-wide objects every dictionary is built from, created once and never released.
struct DictParts {
  // Interned once and reused by every dictionary: keys are compared by value, so sharing them is
  // invisible to callers and saves creating the strings for every event.
  KeyTable keys;
  // One dictionary per layout holding its keys in order, every value None. Merging one into a new,
  // empty dictionary copies its whole table in one step, so each event's dictionary starts at its
  // final size instead of growing while its keys are inserted; setting the values then only
  // replaces them.
  PyObject* wd1_template;
  PyObject* wd2_template;
};

PyRef create_template(const KeyTable& keys, std::initializer_list<Key> order) {
  PyRef dict = checked(PyDict_New());
  for (Key key : order) check(PyDict_SetItem(dict.get(), keys[key], Py_None));
  return dict;
}

DictParts create_parts() {
  std::array<PyRef, kKeyCount> owned;
  KeyTable keys{};
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    owned[i] = checked(PyUnicode_InternFromString(kKeyNames[i]));
    keys[i] = owned[i].get();
  }
  PyRef wd1 = create_template(keys, {kEventSize, kBoardId, kPattern, kBoardChannel, kEventCounter,
                                     kTimestamp, kData});
  PyRef wd2 = create_template(keys, {kEventCounter, kTimestamp, kSamples, kSamplingPeriod, kChannels,
                                     kData});
  for (PyRef& key : owned) (void)key.release();  // kept for the life of the process
  return {keys, wd1.release(), wd2.release()};
}

ProcessOnce<DictParts> g_parts;
std::atomic<bool> g_prepared{false};

PyRef to_int(std::int32_t value) { return checked(PyLong_FromLong(value)); }
PyRef to_int(std::uint32_t value) { return checked(PyLong_FromUnsignedLong(value)); }
PyRef to_int(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

void set_item(PyObject* dict, PyObject* key, PyRef value) {
  check(PyDict_SetItem(dict, key, value.get()));
}

}  // namespace

void prepare_event_dicts() {
  g_parts.get(create_parts);
  prepare_sample_arrays();
  g_prepared.store(true, std::memory_order_release);
}

bool event_dicts_prepared() noexcept { return g_prepared.load(std::memory_order_acquire); }

void fill_event_dict(PyObject* dict, WD1Event&& event) {
  const DictParts& parts = g_parts.get(create_parts);
  const KeyTable& key = parts.keys;
  check(PyDict_Update(dict, parts.wd1_template));
  set_item(dict, key[kEventSize], to_int(event.event_size));
  set_item(dict, key[kBoardId], to_int(event.board_id));
  set_item(dict, key[kPattern], to_int(event.pattern));
  set_item(dict, key[kBoardChannel], to_int(event.board_channel));
  set_item(dict, key[kEventCounter], to_int(event.event_counter));
  set_item(dict, key[kTimestamp], to_int(event.timestamp));
  set_item(dict, key[kData], sample_array(std::move(event.data)));
}

void fill_event_dict(PyObject* dict, WD2Event&& event) {
  const DictParts& parts = g_parts.get(create_parts);
  const KeyTable& key = parts.keys;
  check(PyDict_Update(dict, parts.wd2_template));
  set_item(dict, key[kEventCounter], to_int(event.event_counter));
  set_item(dict, key[kTimestamp], to_int(event.timestamp));
  set_item(dict, key[kSamples], to_int(event.samples));
  set_item(dict, key[kSamplingPeriod], to_int(event.sampling_period));
  set_item(dict, key[kChannels], to_int(event.channels));
  set_item(dict, key[kData], sample_array(std::move(event.data)));
}

}  // namespace velk::py

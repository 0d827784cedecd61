// Conversion of decoded events into dictionaries.
#include "event_dict.hpp"

#include <array>
#include <cstddef>

#include "errors.hpp"
#include "process_once.hpp"
#include "sample_array.hpp"

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

// Interned once and reused by every dictionary: keys are compared by value, so sharing them is
// invisible to callers and saves creating ten strings per event.
KeyTable create_keys() {
  KeyTable keys{};
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    keys[i] = PyUnicode_InternFromString(kKeyNames[i]);
    if (keys[i] == nullptr) {
      for (std::size_t j = 0; j < i; ++j) Py_DECREF(keys[j]);
      throw PythonError{};
    }
  }
  return keys;
}

ProcessOnce<KeyTable> g_keys;

PyRef to_int(std::int32_t value) { return checked(PyLong_FromLong(value)); }
PyRef to_int(std::uint32_t value) { return checked(PyLong_FromUnsignedLong(value)); }
PyRef to_int(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

void set_item(PyObject* dict, PyObject* key, PyRef value) {
  check(PyDict_SetItem(dict, key, value.get()));
}

}  // namespace

void fill_event_dict(PyObject* dict, WD1Event&& event) {
  const KeyTable& key = g_keys.get(create_keys);
  set_item(dict, key[kEventSize], to_int(event.event_size));
  set_item(dict, key[kBoardId], to_int(event.board_id));
  set_item(dict, key[kPattern], to_int(event.pattern));
  set_item(dict, key[kBoardChannel], to_int(event.board_channel));
  set_item(dict, key[kEventCounter], to_int(event.event_counter));
  set_item(dict, key[kTimestamp], to_int(event.timestamp));
  set_item(dict, key[kData], sample_array(std::move(event.data)));
}

void fill_event_dict(PyObject* dict, WD2Event&& event) {
  const KeyTable& key = g_keys.get(create_keys);
  set_item(dict, key[kEventCounter], to_int(event.event_counter));
  set_item(dict, key[kTimestamp], to_int(event.timestamp));
  set_item(dict, key[kSamples], to_int(event.samples));
  set_item(dict, key[kSamplingPeriod], to_int(event.sampling_period));
  set_item(dict, key[kChannels], to_int(event.channels));
  set_item(dict, key[kData], sample_array(std::move(event.data)));
}

}  // namespace velk::py

// BatchReader: construction, reading a batch as NumPy columns, deallocation.
//
// BatchReader(path, reader_type, channels) opens the file as EventReader does, with the same exceptions;
// a WD2 file with the layout `channels` when that is not None, else by the probe.
// read(max_events, max_bytes) returns (columns, samples, offsets): a dict of the header columns in the event
// dictionary's key order, all samples in one array, and the int64 offsets (one more than the events)
// where each event's samples begin. The batch ends once its samples take max_bytes or more. It returns
// an empty batch at end of data, and always for max_events 0. An error raises from the call after the batch it ended; a signal handler's exception
// raises at once, and the batch built so far comes with the next call.
#include "velk_tools/columns/batch_reader.hpp"

#include <cstddef>
#include <memory>
#include <type_traits>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/decoding_hooks.hpp"
#include "binding/errors.hpp"
#include "binding/heap_type.hpp"
#include "binding/open_reader.hpp"
#include "binding/reader_lock.hpp"
#include "binding/sample_array.hpp"
#include "columns/batch_builder.hpp"

namespace velk::py {
namespace {

using Builder = std::variant<BatchBuilder<WD1Reader>, BatchBuilder<WD2Reader>>;
using AnyBatch = std::variant<Batch<WD1Event>, Batch<WD2Event>>;

struct BatchReaderObject {
  PyObject_HEAD
  ReaderLock lock;  // held by every method; read() decodes without the interpreter lock
  Builder builder;
  std::optional<AnyBatch> held;  // built when a signal handler raised; the next read returns it
  ChannelDecision decision;      // how a WD2 layout was settled
};

BatchReaderObject* as_batch_reader(PyObject* self) noexcept {
  return reinterpret_cast<BatchReaderObject*>(self);
}

Builder open_builder(std::string_view path, PyObject* reader_type_object, std::string_view reader_type,
                     WD2Layout wd2) {
  AnyReader reader = open_reader(path, reader_type_object, reader_type, kBatchStreamBufferBytes, wd2);
  if (auto* wd1 = std::get_if<WD1Reader>(&reader)) return Builder(std::in_place_index<0>, std::move(*wd1));
  return Builder(std::in_place_index<1>, std::move(std::get<WD2Reader>(reader)));
}

// A WD2 layout as a walk of the file found it (any 32-bit channel count, 0 and negatives included, as
// the probe may settle on them), for readers that start at an event the walk indexed.
std::int32_t layout_argument(PyObject* value) {
  const long count = PyLong_AsLong(value);
  if (count == -1 && PyErr_Occurred() != nullptr) throw PythonError{};
  if (count < INT32_MIN || count > INT32_MAX) raise(PyExc_ValueError, "layout must be a 32-bit channel count");
  return static_cast<std::int32_t>(count);
}

PyRef create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 4> kParameters = {"path", "reader_type", "channels", "layout"};
  const auto [path, reader_type, channels, layout] =
      bind_arguments("BatchReader.__new__()", kParameters, args, kwargs);
  const PathArgument path_text = path_argument(path, "path");
  const std::string_view reader_type_text = utf8_argument(reader_type, "reader_type");
  ChannelDecision decision = ChannelDecision::Given;
  // The probe replays what it read from a pipe instead of seeking back, so any stream can be read.
  WD2Layout wd2{layout != Py_None ? std::optional<std::int32_t>(layout_argument(layout)) : channels_argument(channels),
                nullptr, ProbeReturn::Replay};
  if (!wd2.channels) wd2.decision = &decision;
  Builder builder = open_builder(path_text.text, reader_type, reader_type_text, wd2);
  PyRef self = allocate_instance(type);
  BatchReaderObject* object = as_batch_reader(self.get());
  new (&object->lock) ReaderLock();
  new (&object->builder) Builder(std::move(builder));
  new (&object->held) std::optional<AnyBatch>();
  object->decision = decision;
  return self;
}

template <class T>
void add_column(PyObject* dict, const char* name, ColumnBuffer<T>&& column) {
  PyRef array = storage_array<T>(std::move(column).release());
  check(PyDict_SetItemString(dict, name, array.get()));
}

// The batch's columns as NumPy arrays that take over its storage.
template <class Event>
PyRef batch_tuple(Batch<Event>&& batch) {
  if (batch.offsets.size() == 0) {  // a batch without events still has its first offset
    if (!batch.offsets.reserve(1)) throw std::bad_alloc();
    batch.offsets.push(0);
  }
  PyRef columns = checked(PyDict_New());
  std::size_t i = 0;
  std::apply([&](auto&... column) {
    (add_column(columns.get(), HeaderColumns<Event>::kNames[i++], std::move(column)), ...);
  }, batch.header.columns);
  PyRef samples = storage_array<typename Batch<Event>::Sample>(std::move(batch.samples).release());
  PyRef offsets = storage_array<std::int64_t>(std::move(batch.offsets).release());
  return checked(PyTuple_Pack(3, columns.get(), samples.get(), offsets.get()));
}

template <class Reader>
PyRef next_batch(BatchReaderObject* object, BatchBuilder<Reader>& builder, std::size_t max_events,
                 std::size_t max_bytes) {
  using Event = typename BatchBuilder<Reader>::Event;
  if (max_events == 0) return batch_tuple(Batch<Event>{});
  auto outcome = without_interpreter_lock([&] { return builder.next(max_events, max_bytes); });
  return std::visit(Overloaded{
                        [](EndOfData) { return batch_tuple(Batch<Event>{}); },
                        [](IoError& error) -> PyRef { raise_io_error(error); },
                        [](DecodeError& error) -> PyRef { raise_decode_error(error); },
                        [&](Batch<Event>& batch) -> PyRef {
                          if (PyErr_Occurred() != nullptr) {  // a signal handler raised
                            object->held.emplace(std::move(batch));
                            throw PythonError{};
                          }
                          return batch_tuple(std::move(batch));
                        },
                    },
                    outcome);
}

std::size_t count_argument(PyObject* value, const char* name) {
  const Py_ssize_t count = PyNumber_AsSsize_t(value, PyExc_OverflowError);
  if (count == -1 && PyErr_Occurred() != nullptr) throw PythonError{};
  if (count < 0) {
    PyErr_Format(PyExc_ValueError, "%s must not be negative", name);
    throw PythonError{};
  }
  return static_cast<std::size_t>(count);
}

PyRef read(BatchReaderObject* object, PyObject* const* args, Py_ssize_t nargs) {
  // First, before anything of a batch exists: importing NumPy runs Python code.
  prepare_sample_arrays();
  if (nargs != 2) raise(PyExc_TypeError, "read() takes 2 arguments: max_events and max_bytes");
  const std::size_t max_events = count_argument(args[0], "max_events");
  const std::size_t max_bytes = count_argument(args[1], "max_bytes");
  ReaderLock::Hold hold(object->lock);
  if (object->held) {
    AnyBatch batch = std::move(*object->held);
    object->held.reset();
    return std::visit([](auto& b) { return batch_tuple(std::move(b)); }, batch);
  }
  return std::visit([&](auto& builder) { return next_batch(object, builder, max_events, max_bytes); },
                    object->builder);
}

// Storage for the samples columns of batches to come, allocated by the thread that will free them
// (see BatchBuilder::next), held by a capsule until read_counted() takes it.
template <class Sample>
struct SampleRoom {
  static constexpr const char* kName =
      std::is_same_v<Sample, std::uint16_t> ? "velk_tools._columns.room.WD1" : "velk_tools._columns.room.WD2";
  std::vector<SampleVector<Sample>> blocks;
};

template <class Sample>
void free_room(PyObject* capsule) noexcept {
  delete static_cast<SampleRoom<Sample>*>(PyCapsule_GetPointer(capsule, SampleRoom<Sample>::kName));
}

template <class Reader>
PyRef room_capsule(const std::vector<std::size_t>& events, const std::vector<std::size_t>& samples) {
  using Sample = typename BatchBuilder<Reader>::Sample;
  auto room = std::make_unique<SampleRoom<Sample>>();
  room->blocks.reserve(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    auto block = SampleVector<Sample>::allocate(BatchBuilder<Reader>::room_for(events[i], samples[i]));
    room->blocks.push_back(block ? std::move(*block) : SampleVector<Sample>::empty());  // empty: the batch allocates
  }
  PyRef capsule = checked(PyCapsule_New(room.get(), SampleRoom<Sample>::kName, free_room<Sample>));
  (void)room.release();
  return capsule;
}

// The blocks a room capsule holds, taken out of it (so that no other call can take them too); none
// for None.
template <class Sample>
std::vector<SampleVector<Sample>> take_room(PyObject* capsule) {
  if (capsule == Py_None) return {};
  auto* room = static_cast<SampleRoom<Sample>*>(PyCapsule_GetPointer(capsule, SampleRoom<Sample>::kName));
  if (room == nullptr) throw PythonError{};
  return std::move(room->blocks);
}

// Batches of exactly `counts` events each, cut where `max_bytes` cuts them too (so that each samples
// column is planned at the batch's size), decoded in one stretch without the interpreter lock: a
// thread decoding many batches takes the lock back once. A batch cut short (the file changed since
// it was indexed, or ends) ends the list; an error raises, dropping the batches before it. Batch i
// takes rooms[i] as its samples storage where there is one.
template <class Reader>
PyRef counted_batches(BatchBuilder<Reader>& builder, const std::vector<std::size_t>& counts,
                      std::size_t max_bytes, std::vector<SampleVector<typename BatchBuilder<Reader>::Sample>> rooms) {
  using Event = typename BatchBuilder<Reader>::Event;
  std::vector<Batch<Event>> batches;
  batches.reserve(counts.size());
  BatchOutcome<Event> stop = EndOfData{};
  without_interpreter_lock([&] {
    for (const std::size_t count : counts) {
      const std::size_t i = batches.size();
      auto outcome = builder.next(count, max_bytes, i < rooms.size() ? &rooms[i] : nullptr);
      auto* batch = std::get_if<Batch<Event>>(&outcome);
      if (batch == nullptr) {
        stop = std::move(outcome);
        break;
      }
      batches.push_back(std::move(*batch));
      if (batches.back().events != count) break;
    }
    return 0;
  });
  if (PyErr_Occurred() != nullptr) throw PythonError{};  // a signal handler raised
  if (auto* error = std::get_if<IoError>(&stop)) raise_io_error(*error);
  if (auto* error = std::get_if<DecodeError>(&stop)) raise_decode_error(*error);
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(batches.size())));
  for (std::size_t i = 0; i < batches.size(); ++i) {
    check(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), batch_tuple(std::move(batches[i])).release()));
  }
  return list;
}

std::vector<std::size_t> counts_argument(PyObject* value) {
  const Py_ssize_t size = PySequence_Size(value);
  if (size < 0) throw PythonError{};
  std::vector<std::size_t> counts;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = checked(PySequence_GetItem(value, i));
    counts.push_back(count_argument(item.get(), "a count"));
  }
  return counts;
}

PyRef read_counted(BatchReaderObject* object, PyObject* const* args, Py_ssize_t nargs) {
  prepare_sample_arrays();  // first: importing NumPy runs Python code
  if (nargs != 2 && nargs != 3) {
    raise(PyExc_TypeError, "read_counted() takes 2 or 3 arguments: counts, max_bytes and room");
  }
  const std::vector<std::size_t> counts = counts_argument(args[0]);
  const std::size_t max_bytes = count_argument(args[1], "max_bytes");
  PyObject* room = nargs == 3 ? args[2] : Py_None;
  ReaderLock::Hold hold(object->lock);
  object->held.reset();
  return std::visit(
      [&](auto& builder) {
        using Sample = typename std::remove_reference_t<decltype(builder)>::Sample;
        return counted_batches(builder, counts, max_bytes, take_room<Sample>(room));
      },
      object->builder);
}

// seek(offset): the next read starts at `offset`, an event's first byte found by a walk of the file;
// a batch or an error held back is dropped.
PyRef seek(BatchReaderObject* object, PyObject* offset_object) {
  const unsigned long long offset = PyLong_AsUnsignedLongLong(offset_object);
  if (offset == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) throw PythonError{};
  ReaderLock::Hold hold(object->lock);
  object->held.reset();
  Status moved = std::visit([&](auto& builder) { return builder.start_at(offset); }, object->builder);
  if (!moved) raise_io_error(moved.error());
  return PyRef::borrow(Py_None);
}

PyRef position(BatchReaderObject* object) {
  ReaderLock::Hold hold(object->lock);
  const std::uint64_t offset = std::visit([](const auto& builder) { return builder.position(); }, object->builder);
  return checked(PyLong_FromUnsignedLongLong(offset));
}

PyRef to_int_or_none(std::optional<std::uint64_t> value) {
  return value ? checked(PyLong_FromUnsignedLongLong(*value)) : PyRef::borrow(Py_None);
}

// (channels, decision): the WD2 layout and how it was settled, or (None, None) for WD1.
PyRef layout(BatchReaderObject* object) {
  ReaderLock::Hold hold(object->lock);
  const auto* builder = std::get_if<BatchBuilder<WD2Reader>>(&object->builder);
  if (builder == nullptr) return checked(PyTuple_Pack(2, Py_None, Py_None));
  PyRef channels = checked(PyLong_FromLong(builder->reader().layout_channels()));
  PyRef decision = checked(PyUnicode_FromString(channel_decision_name(object->decision)));
  return checked(PyTuple_Pack(2, channels.get(), decision.get()));
}

PyObject* batch_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] { return create(type, args, kwargs).release(); });
}

PyObject* batch_reader_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&] { return read(as_batch_reader(self), args, nargs).release(); });
}

// Destroying the builder frees the stream's buffer and closes the file.
void batch_reader_dealloc(PyObject* self) {
  guarded_unraisable(self, [&] {
    BatchReaderObject* object = as_batch_reader(self);
    object->held.~optional();
    object->builder.~Builder();
    object->lock.~ReaderLock();
  });
  free_heap_instance(self);
}

PyObject* batch_reader_position(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return position(as_batch_reader(self)).release(); });
}

PyObject* batch_reader_file_size(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    BatchReaderObject* object = as_batch_reader(self);
    ReaderLock::Hold hold(object->lock);
    return to_int_or_none(std::visit([](const auto& b) { return b.reader().file_size(); }, object->builder))
        .release();
  });
}

PyObject* batch_reader_read_counted(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&] { return read_counted(as_batch_reader(self), args, nargs).release(); });
}

PyObject* batch_reader_received(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    BatchReaderObject* object = as_batch_reader(self);
    ReaderLock::Hold hold(object->lock);
    return to_int_or_none(std::visit([](const auto& b) { return std::optional(b.reader().received()); },
                                     object->builder))
        .release();
  });
}

PyObject* batch_reader_seek(PyObject* self, PyObject* offset) {
  return guarded<PyObject*>(nullptr, [&] { return seek(as_batch_reader(self), offset).release(); });
}

PyObject* batch_reader_layout(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] { return layout(as_batch_reader(self)).release(); });
}

PyGetSetDef batch_reader_getset[] = {
    {"position", batch_reader_position, nullptr,
     "The file offset after the bytes decoded so far: where the next batch starts.", nullptr},
    {"file_size", batch_reader_file_size, nullptr, "The file's size now, None when it is not a regular file.",
     nullptr},
    {"received", batch_reader_received, nullptr,
     "The offset after the last byte taken from the file, a partial event's included.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef batch_reader_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_reader_read)), METH_FASTCALL,
     "read($self, max_events, max_bytes, /)\n--\n\n"
     "The next batch of up to max_events events as (columns, samples, offsets)."},
    {"read_counted", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_reader_read_counted)),
     METH_FASTCALL,
     "read_counted($self, counts, max_bytes, room=None, /)\n--\n\n"
     "Batches of exactly counts[i] events, decoded at one go; a short batch ends the list. Batch i\n"
     "takes its samples storage from a sample_room() capsule's block i, where there is one."},
    {"seek", batch_reader_seek, METH_O,
     "seek($self, offset, /)\n--\n\nThe next read starts at offset, the first byte of an event."},
    {"layout", batch_reader_layout, METH_NOARGS,
     "layout($self, /)\n--\n\nThe WD2 channel count and how it was settled, or (None, None) for WD1."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot batch_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("BatchReader(path, reader_type, channels, layout)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(batch_reader_new)},
    {Py_tp_methods, batch_reader_methods},
    {Py_tp_getset, batch_reader_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_reader_dealloc)},
    {0, nullptr},
};

PyType_Spec batch_reader_spec = {
    "velk_tools._columns.BatchReader",
    sizeof(BatchReaderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    batch_reader_slots,
};

HeapType g_batch_reader_type(batch_reader_spec, "BatchReader");

}  // namespace

PyTypeObject* batch_reader_type() { return g_batch_reader_type.get(); }

PyRef sample_room(PyObject* reader_type, PyObject* events_object, PyObject* samples_object) {
  const std::string_view type = utf8_argument(reader_type, "reader_type");
  const std::vector<std::size_t> events = counts_argument(events_object);
  const std::vector<std::size_t> samples = counts_argument(samples_object);
  if (events.size() != samples.size()) raise(PyExc_ValueError, "events and samples differ in length");
  if (type == "WD1") return room_capsule<WD1Reader>(events, samples);
  if (type == "WD2") return room_capsule<WD2Reader>(events, samples);
  raise(PyExc_ValueError, "reader_type must be 'WD1' or 'WD2'");
}

}  // namespace velk::py

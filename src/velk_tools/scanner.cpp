// Scanner: construction, steps, the report as a dictionary, and deallocation.
#include "velk_tools/scanner.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/decoding_hooks.hpp"
#include "binding/reader_lock.hpp"
#include "binding/errors.hpp"
#include "binding/heap_type.hpp"
#include "binding/sample_array.hpp"
#include "scan/scan.hpp"

namespace velk::py {
namespace {

struct ScannerObject {
  PyObject_HEAD
  ReaderLock lock;  // held by every method; step() walks without the interpreter lock
  Scanner scanner;
};

ScannerObject* as_scanner(PyObject* self) noexcept { return reinterpret_cast<ScannerObject*>(self); }

// Opens the file before looking at the reader type, as EventReader does, so a bad path wins. The WD2
// probe replays what it read from a pipe instead of seeking back, so that the tools read any stream.
Scanner open_scanner(std::string_view path, PyObject* reader_type_object, std::string_view reader_type,
                     std::optional<std::int32_t> channels, bool keep_index) {
  const bool known = reader_type == "WD1" || reader_type == "WD2";
  const ScanLayout layout = reader_type == "WD2" ? ScanLayout::WD2 : ScanLayout::WD1;
  if (!known) {
    Result<EventStream> stream = EventStream::open(path, python_stream_hooks());
    if (!stream) raise_io_error(stream.error());
    { EventStream unused = std::move(*stream); }  // the file is closed before the error is raised
    raise_unknown_reader_type(reader_type_object);
  }
  std::variant<Scanner, IoError> opened =
      Scanner::open(path, layout, python_stream_hooks(), channels, keep_index, ProbeReturn::Replay);
  // A failed open raises as EventReader's would; a probe given up for a signal raises the handler's.
  if (const IoError* error = std::get_if<IoError>(&opened)) raise_io_error(*error);
  return std::move(std::get<Scanner>(opened));
}

PyRef create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 4> kParameters = {"path", "reader_type", "channels", "index"};
  const auto [path, reader_type, channels, index] =
      bind_arguments("Scanner.__new__()", kParameters, args, kwargs);
  const PathArgument path_text = path_argument(path, "path");
  const std::string_view reader_type_text = utf8_argument(reader_type, "reader_type");
  const int keep_index = PyObject_IsTrue(index);
  if (keep_index < 0) throw PythonError{};
  Scanner scanner = open_scanner(path_text.text, reader_type, reader_type_text, channels_argument(channels),
                                 keep_index != 0);
  PyRef self = allocate_instance(type);
  ScannerObject* object = as_scanner(self.get());
  new (&object->lock) ReaderLock();
  new (&object->scanner) Scanner(std::move(scanner));
  return self;
}

// The exception iteration raises for the failure: plain OSError for a failed probe, as at EventReader
// construction; the I/O mapping or the decode error's class for a failed event.
PyRef exception_for(const ScanFailure& failure) {
  try {
    if (const IoError* error = std::get_if<IoError>(&failure.error)) {
      if (failure.during_probe) raise_os_error(*error);
      raise_io_error(*error);
    }
    raise_decode_error(std::get<DecodeError>(failure.error));
  } catch (const PythonError&) {
  }
  PyRef exception = fetch_exception();
  if (!exception) throw PythonError{};
  return exception;
}

PyRef to_int(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

PyRef to_int(std::int64_t value) { return checked(PyLong_FromLongLong(value)); }

template <class T>
PyRef to_int_or_none(const std::optional<T>& value) {
  return value ? to_int(static_cast<std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>>(
                     *value))
               : PyRef::borrow(Py_None);
}

PyRef time_tag(const std::optional<TimeTag>& tag) {
  if (!tag) return PyRef::borrow(Py_None);
  return std::visit([](auto value) { return to_int(value); }, *tag);
}

void set_item(PyObject* dict, const char* key, PyRef value) {
  check(PyDict_SetItemString(dict, key, value.get()));
}

void add_failure(PyObject* dict, const std::optional<ScanFailure>& failure) {
  set_item(dict, "error", failure ? exception_for(*failure) : PyRef::borrow(Py_None));
  set_item(dict, "error_event", failure ? to_int(failure->event_index) : PyRef::borrow(Py_None));
  set_item(dict, "error_offset", failure ? to_int(failure->offset) : PyRef::borrow(Py_None));
}

PyRef sample_counts(const ScanReport& report) {
  PyRef counts = checked(PyDict_New());
  for (const auto& [values, events] : report.sample_counts) {
    check(PyDict_SetItem(counts.get(), to_int(values).get(), to_int(events).get()));
  }
  return counts;
}

PyRef report_dict(const ScanReport& report) {
  PyRef dict = checked(PyDict_New());
  PyObject* d = dict.get();
  set_item(d, "events", to_int(report.events));
  set_item(d, "bytes_read", to_int(report.bytes_read));
  set_item(d, "file_size", to_int_or_none(report.file_size));
  set_item(d, "trailing_bytes", to_int(report.trailing_bytes));
  set_item(d, "complete", PyRef::borrow(report.complete() ? Py_True : Py_False));
  add_failure(d, report.error);
  set_item(d, "channels", to_int_or_none(report.channels));
  set_item(d, "channel_decision", report.channel_decision
                                      ? checked(PyUnicode_FromString(channel_decision_name(*report.channel_decision)))
                                      : PyRef::borrow(Py_None));
  set_item(d, "sample_counts", sample_counts(report));
  set_item(d, "counter_gaps", to_int(report.counter_gaps));
  set_item(d, "missing_counts", to_int(report.missing_counts));
  set_item(d, "counter_backward_steps", to_int(report.counter_backward_steps));
  set_item(d, "first_gap_event", to_int_or_none(report.first_gap_event));
  set_item(d, "first_backward_event", to_int_or_none(report.first_backward_event));
  set_item(d, "first_timestamp", time_tag(report.first_timestamp));
  set_item(d, "last_timestamp", time_tag(report.last_timestamp));
  return dict;
}

// (offsets, counters, sample counts) of the complete events walked, as NumPy arrays (int64, uint32
// holding the counters' 32 bits, uint32) that take over the walk's columns.
PyRef index_tuple(EventIndexColumns index) {
  PyRef offsets = storage_array<std::int64_t>(std::move(index.offsets).release());
  PyRef counters = storage_array<std::uint32_t>(std::move(index.counters).release());
  PyRef counts = storage_array<std::uint32_t>(std::move(index.sample_counts).release());
  return checked(PyTuple_Pack(3, offsets.get(), counters.get(), counts.get()));
}

PyObject* scanner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] { return create(type, args, kwargs).release(); });
}

// step(byte_budget) -> bool: scans on until the position has moved by byte_budget bytes or the scan is
// done; True once it is done. A signal handler's exception propagates, and a later step resumes.
PyObject* scanner_step(PyObject* self, PyObject* budget) {
  return guarded<PyObject*>(nullptr, [&] {
    const unsigned long long bytes = PyLong_AsUnsignedLongLong(budget);
    if (bytes == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) throw PythonError{};
    ScannerObject* object = as_scanner(self);
    ReaderLock::Hold hold(object->lock);
    const Scanner::Step step = without_interpreter_lock([&] { return object->scanner.step(bytes); });
    if (step == Scanner::Step::Interrupted) throw PythonError{};
    return PyRef::borrow(object->scanner.done() ? Py_True : Py_False).release();
  });
}

PyObject* scanner_position(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] {
    ScannerObject* object = as_scanner(self);
    ReaderLock::Hold hold(object->lock);
    return to_int(object->scanner.position()).release();
  });
}

PyObject* scanner_report(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] {
    ScannerObject* object = as_scanner(self);
    ReaderLock::Hold hold(object->lock);
    return report_dict(object->scanner.report()).release();
  });
}

PyObject* scanner_index(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] {
    prepare_sample_arrays();  // first: importing NumPy runs Python code
    ScannerObject* object = as_scanner(self);
    ReaderLock::Hold hold(object->lock);
    return index_tuple(object->scanner.take_index()).release();
  });
}

void scanner_dealloc(PyObject* self) {
  guarded_unraisable(self, [&] {
    ScannerObject* object = as_scanner(self);
    object->scanner.~Scanner();
    object->lock.~ReaderLock();
  });
  free_heap_instance(self);
}

PyMethodDef scanner_methods[] = {
    {"step", scanner_step, METH_O, "step($self, byte_budget, /)\n--\n\nScan on; True once the scan is done."},
    {"position", scanner_position, METH_NOARGS, "position($self, /)\n--\n\nThe file offset reached."},
    {"report", scanner_report, METH_NOARGS, "report($self, /)\n--\n\nThe report so far, as a dict."},
    {"index", scanner_index, METH_NOARGS,
     "index($self, /)\n--\n\nThe events' offsets, counters (their 32 bits) and sample counts as int64, uint32 and\n"
     "uint32 arrays, handed over: a second call gives empty ones."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot scanner_slots[] = {
    {Py_tp_doc, const_cast<char*>("Scanner(path, reader_type, channels, index)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(scanner_new)},
    {Py_tp_methods, scanner_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(scanner_dealloc)},
    {0, nullptr},
};

PyType_Spec scanner_spec = {
    "velk_tools._scan.Scanner",
    sizeof(ScannerObject),
    0,
    Py_TPFLAGS_DEFAULT,
    scanner_slots,
};

HeapType g_scanner_type(scanner_spec, "Scanner");

}  // namespace

PyTypeObject* scanner_type() { return g_scanner_type.get(); }

}  // namespace velk::py

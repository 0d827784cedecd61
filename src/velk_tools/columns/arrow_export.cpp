// Export of NumPy columns through the Arrow C data interface.
//
// Every exported struct owns what it points at through its private data: schemas own their strings
// and children; arrays own their children and one reference to the NumPy array whose memory their
// buffer is, so a consumer may keep a child after releasing its parent. Release callbacks may run on
// any thread, with or without the interpreter lock: they take it (PyGILState_Ensure) only to drop those
// references, and leave them to the process once the interpreter is shutting down, when taking the lock
// would end the thread.
#include "velk_tools/columns/arrow_export.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/errors.hpp"
#include "binding/numpy_api.hpp"
#include "binding/numpy_headers.hpp"
#include "velk_tools/columns/arrow_abi.hpp"

namespace velk::py {
namespace {

// Set by the interpreter's atexit, the first step of its shutdown: from then on the exports leave their
// references to go with the process instead of taking the interpreter lock, which a thread other than
// the main one may no longer get. (The stable ABI has no way to ask whether the interpreter finalizes.)
std::atomic<bool> g_exiting{false};

bool interpreter_finalizing() noexcept { return g_exiting.load(); }

PyObject* note_exit(PyObject*, PyObject*) {
  g_exiting.store(true);
  Py_RETURN_NONE;
}

PyMethodDef g_note_exit = {"_velk_tools_columns_exit", note_exit, METH_NOARGS, nullptr};

// Releases one reference from any thread. Deallocating a NumPy array and its owner of samples runs
// no Python code, so the lock is not given up in between.
void drop_reference(PyObject* object) noexcept {
  if (object == nullptr || interpreter_finalizing()) return;
  const PyGILState_STATE state = PyGILState_Ensure();
  Py_DECREF(object);
  PyGILState_Release(state);
}

// ---- schemas

struct SchemaPrivate {
  std::string format;
  std::string name;
  std::vector<ArrowSchema*> children;
  std::string metadata;  // encoded as the interface prescribes; empty for none
  ArrowSchema* dictionary;  // the values' type of a dictionary-encoded node, or nullptr
};

void release_schema(ArrowSchema* schema) noexcept {
  auto* owned = static_cast<SchemaPrivate*>(schema->private_data);
  for (ArrowSchema* child : owned->children) {
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  if (ArrowSchema* dictionary = owned->dictionary) {
    if (dictionary->release != nullptr) dictionary->release(dictionary);
    delete dictionary;
  }
  delete owned;
  schema->release = nullptr;
}

struct SchemaDeleter {
  void operator()(ArrowSchema* schema) const noexcept {
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
  }
};
using OwnedSchema = std::unique_ptr<ArrowSchema, SchemaDeleter>;

OwnedSchema make_schema(std::string format, std::string name, std::vector<OwnedSchema> children = {},
                        std::string metadata = {}, OwnedSchema dictionary = nullptr) {
  auto owned = std::make_unique<SchemaPrivate>(SchemaPrivate{
      std::move(format), std::move(name), std::vector<ArrowSchema*>(), std::move(metadata), nullptr});
  owned->children.reserve(children.size());
  OwnedSchema schema(new ArrowSchema{});
  for (OwnedSchema& child : children) owned->children.push_back(child.release());
  owned->dictionary = dictionary.release();
  const char* metadata_bytes = owned->metadata.empty() ? nullptr : owned->metadata.data();
  *schema = ArrowSchema{owned->format.c_str(), owned->name.c_str(), metadata_bytes, 0,
                        static_cast<int64_t>(owned->children.size()), owned->children.data(), owned->dictionary,
                        release_schema, owned.get()};
  (void)owned.release();
  return schema;
}

// ---- arrays

struct ArrayPrivate {
  std::vector<PyObject*> owners;  // a reference to each NumPy array behind buffers[1], buffers[2], ...
  std::vector<const void*> buffers;
  std::vector<ArrowArray*> children;
  ArrowArray* dictionary;  // the values of a dictionary-encoded node, or nullptr
};

void release_array(ArrowArray* array) noexcept {
  auto* owned = static_cast<ArrayPrivate*>(array->private_data);
  for (ArrowArray* child : owned->children) {
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  if (ArrowArray* dictionary = owned->dictionary) {
    if (dictionary->release != nullptr) dictionary->release(dictionary);
    delete dictionary;
  }
  for (PyObject* owner : owned->owners) drop_reference(owner);
  delete owned;
  array->release = nullptr;
}

struct ArrayDeleter {
  void operator()(ArrowArray* array) const noexcept {
    if (array->release != nullptr) array->release(array);
    delete array;
  }
};
using OwnedArray = std::unique_ptr<ArrowArray, ArrayDeleter>;

// A node without nulls: its validity buffer is absent; `values` are the NumPy arrays whose memory is
// its further buffers (values or offsets, then a string's bytes).
OwnedArray make_array(int64_t length, std::vector<PyArrayObject*> values, std::vector<OwnedArray> children = {},
                      OwnedArray dictionary = nullptr) {
  auto owned = std::make_unique<ArrayPrivate>();
  owned->children.reserve(children.size());
  owned->owners.reserve(values.size());
  owned->buffers.push_back(nullptr);
  OwnedArray array(new ArrowArray{});
  for (PyArrayObject* value : values) {
    owned->buffers.push_back(PyArray_DATA(value));
    owned->owners.push_back(PyRef::borrow(reinterpret_cast<PyObject*>(value)).release());
  }
  for (OwnedArray& child : children) owned->children.push_back(child.release());
  owned->dictionary = dictionary.release();
  *array = ArrowArray{length, 0, 0, static_cast<int64_t>(owned->buffers.size()),
                      static_cast<int64_t>(owned->children.size()), owned->buffers.data(), owned->children.data(),
                      owned->dictionary, release_array, owned.get()};
  (void)owned.release();
  return array;
}

// ---- the batch's columns

struct Column {
  std::string name;
  PyArrayObject* values;  // borrowed from the caller's dict
  const char* format;
};

// The Arrow format of a NumPy array's elements, or nullptr for a type not exported here.
const char* arrow_format(PyArrayObject* array) {
  const char kind = PyArray_DESCR(array)->kind;
  switch (PyArray_ITEMSIZE(array)) {
    case 2: return kind == 'i' ? "s" : kind == 'u' ? "S" : kind == 'f' ? "e" : nullptr;
    case 4: return kind == 'i' ? "i" : kind == 'u' ? "I" : kind == 'f' ? "f" : nullptr;
    case 8: return kind == 'i' ? "l" : kind == 'u' ? "L" : kind == 'f' ? "g" : nullptr;
    default: return nullptr;
  }
}

// `value` as a contiguous, aligned, native-order one-dimensional array of an exported type, with
// `length` values unless length is negative.
Column checked_column(std::string name, PyObject* value, npy_intp length) {
  if (!PyArray_Check(value)) {
    PyErr_Format(PyExc_TypeError, "column '%s' is not a NumPy array", name.c_str());
    throw PythonError{};
  }
  auto* array = reinterpret_cast<PyArrayObject*>(value);
  if (PyArray_NDIM(array) != 1 || !PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array) ||
      !PyArray_ISNOTSWAPPED(array)) {
    PyErr_Format(PyExc_ValueError, "column '%s' is not a contiguous one-dimensional array", name.c_str());
    throw PythonError{};
  }
  if (length >= 0 && PyArray_DIM(array, 0) != length) {
    PyErr_Format(PyExc_ValueError, "column '%s' has %zd values, expected %zd", name.c_str(),
                 static_cast<Py_ssize_t>(PyArray_DIM(array, 0)), static_cast<Py_ssize_t>(length));
    throw PythonError{};
  }
  const char* format = arrow_format(array);
  if (format == nullptr) {
    PyErr_Format(PyExc_TypeError, "column '%s' has a type without an Arrow export", name.c_str());
    throw PythonError{};
  }
  return {std::move(name), array, format};
}

// The `source` column of a dataset's batch: int32 `codes` into a dictionary of names, the UTF-8 bytes
// `names` cut at the int32 `name_offsets`.
struct SourceColumn {
  Column codes;
  Column name_offsets;
  PyArrayObject* names;
};

struct BatchColumns {
  std::vector<Column> header;
  Column samples;
  Column offsets;
  int64_t events;
  std::optional<SourceColumn> source;
};

// Consumers trust the offsets, so they are checked: 0 first, never decreasing, within the samples.
void check_offsets(const Column& offsets, const Column& samples) {
  const auto* values = static_cast<const int64_t*>(PyArray_DATA(offsets.values));
  const npy_intp count = PyArray_DIM(offsets.values, 0);
  bool ok = std::string_view(offsets.format) == "l" && count >= 1 && values[0] == 0;
  for (npy_intp i = 1; ok && i < count; ++i) ok = values[i] >= values[i - 1];
  if (!ok || values[count - 1] > PyArray_DIM(samples.values, 0)) {
    raise(PyExc_ValueError, "offsets must be int64, start at 0, never decrease and stay within the samples");
  }
}

// Consumers trust the dictionary too: its offsets within the names, every code one of its entries.
SourceColumn source_column(PyObject* source, npy_intp events) {
  PyObject *codes, *name_offsets, *names;
  if (!PyTuple_Check(source) || !PyArg_UnpackTuple(source, "source", 3, 3, &codes, &name_offsets, &names)) {
    raise(PyExc_TypeError, "source must be None or a tuple (codes, name_offsets, names)");
  }
  SourceColumn column{checked_column("source", codes, events), checked_column("name_offsets", name_offsets, -1),
                      reinterpret_cast<PyArrayObject*>(names)};
  if (!PyArray_Check(names) || PyArray_NDIM(column.names) != 1 || !PyArray_IS_C_CONTIGUOUS(column.names) ||
      PyArray_ITEMSIZE(column.names) != 1 || std::string_view(column.codes.format) != "i" ||
      std::string_view(column.name_offsets.format) != "i") {
    raise(PyExc_TypeError, "source must hold int32 codes, int32 name offsets and a contiguous array of bytes");
  }
  const auto* bounds = static_cast<const int32_t*>(PyArray_DATA(column.name_offsets.values));
  const npy_intp entries = PyArray_DIM(column.name_offsets.values, 0) - 1;
  bool ok = entries >= 0 && bounds[0] == 0;
  for (npy_intp i = 1; ok && i <= entries; ++i) ok = bounds[i] >= bounds[i - 1];
  ok = ok && bounds[entries] <= PyArray_DIM(column.names, 0);
  const auto* values = static_cast<const int32_t*>(PyArray_DATA(column.codes.values));
  for (npy_intp i = 0; ok && i < events; ++i) ok = values[i] >= 0 && values[i] < entries;
  if (!ok) raise(PyExc_ValueError, "source codes and name offsets must stay within the names");
  return column;
}

BatchColumns batch_columns(PyObject* columns, PyObject* samples, PyObject* offsets, PyObject* source) {
  if (!PyDict_Check(columns)) raise(PyExc_TypeError, "columns must be a dict");
  BatchColumns batch{{}, checked_column("data", samples, -1), checked_column("offsets", offsets, -1), 0,
                     std::nullopt};
  check_offsets(batch.offsets, batch.samples);
  batch.events = PyArray_DIM(batch.offsets.values, 0) - 1;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(columns, &position, &key, &value)) {
    Py_ssize_t size;
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (name == nullptr) {
      if (!PyErr_Occurred()) raise(PyExc_TypeError, "column names must be str");
      throw PythonError{};
    }
    batch.header.push_back(checked_column(std::string(name, static_cast<std::size_t>(size)), value,
                                          batch.events));
  }
  if (source != Py_None) batch.source = source_column(source, batch.events);
  return batch;
}

void append_int32(std::string& out, std::size_t value) {
  const auto v = static_cast<std::int32_t>(value);
  out.append(reinterpret_cast<const char*>(&v), sizeof v);  // native order, as the interface has it
}

// The schema metadata of `pairs` (a dict of str to str, or None): a count, then each key and value
// as a length and its UTF-8 bytes.
std::string encoded_metadata(PyObject* pairs) {
  if (pairs == Py_None) return {};
  if (!PyDict_Check(pairs)) raise(PyExc_TypeError, "metadata must be a dict of str to str, or None");
  std::string out;
  append_int32(out, static_cast<std::size_t>(PyDict_Size(pairs)));
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(pairs, &position, &key, &value)) {
    for (PyObject* text : {key, value}) {
      if (!PyUnicode_Check(text)) raise(PyExc_TypeError, "metadata must be a dict of str to str, or None");
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
      if (utf8 == nullptr) throw PythonError{};
      append_int32(out, static_cast<std::size_t>(size));
      out.append(utf8, static_cast<std::size_t>(size));
    }
  }
  return out;
}

OwnedSchema batch_schema(const BatchColumns& batch, std::string metadata = {}) {
  std::vector<OwnedSchema> fields;
  for (const Column& column : batch.header) fields.push_back(make_schema(column.format, column.name));
  std::vector<OwnedSchema> item;
  item.push_back(make_schema(batch.samples.format, "item"));
  fields.push_back(make_schema("+L", "data", std::move(item)));
  if (batch.source) fields.push_back(make_schema("i", "source", {}, {}, make_schema("u", "")));
  return make_schema("+s", "", std::move(fields), std::move(metadata));
}

OwnedArray batch_array(const BatchColumns& batch) {
  std::vector<OwnedArray> fields;
  for (const Column& column : batch.header) fields.push_back(make_array(batch.events, {column.values}));
  const auto* offsets = static_cast<const int64_t*>(PyArray_DATA(batch.offsets.values));
  std::vector<OwnedArray> item;
  item.push_back(make_array(offsets[batch.events], {batch.samples.values}));
  fields.push_back(make_array(batch.events, {batch.offsets.values}, std::move(item)));
  if (const auto& source = batch.source) {
    const int64_t entries = PyArray_DIM(source->name_offsets.values, 0) - 1;
    fields.push_back(make_array(batch.events, {source->codes.values}, {},
                                make_array(entries, {source->name_offsets.values, source->names})));
  }
  return make_array(batch.events, {}, std::move(fields));
}

// ---- capsules

void schema_capsule_destructor(PyObject* capsule) {
  if (auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"))) {
    SchemaDeleter{}(schema);
  }
}

void array_capsule_destructor(PyObject* capsule) {
  if (auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"))) {
    ArrayDeleter{}(array);
  }
}

template <class T, class Deleter>
PyRef capsule(std::unique_ptr<T, Deleter> value, const char* name, PyCapsule_Destructor destructor) {
  PyRef result = checked(PyCapsule_New(value.get(), name, destructor));
  (void)value.release();
  return result;
}

// Moves the struct out of a capsule made by a producer: the capsule keeps a released struct.
template <class T>
void take_from_capsule(PyObject* capsule, const char* name, T* out) {
  auto* value = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (value == nullptr) throw PythonError{};
  if (value->release == nullptr) raise(PyExc_ValueError, "the capsule's Arrow struct is already released");
  *out = *value;
  value->release = nullptr;
}

// ---- the stream

struct StreamPrivate {
  PyObject* schema_source;
  PyObject* batches;
  std::string error;
};

// "{type}: {message}" of the exception currently set, which is cleared.
std::string take_error_text() {
  PyRef error = fetch_exception();
  if (!error) return "unknown error";
  PyRef type_name = qualified_name(Py_TYPE(error.get()));
  const char* name = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), nullptr) : nullptr;
  std::string text = name != nullptr ? name : "exception";
  PyRef message = PyRef::steal(PyObject_Str(error.get()));
  const char* utf8 = message ? PyUnicode_AsUTF8AndSize(message.get(), nullptr) : nullptr;
  if (utf8 != nullptr && *utf8 != '\0') text += std::string(": ") + utf8;
  PyErr_Clear();
  return text;
}

// Runs `body` with the interpreter lock held; errno-style result, the error's text kept for
// get_last_error. A forced unwind (the thread ended by interpreter shutdown) passes through.
template <class Body>
int with_interpreter(ArrowArrayStream* stream, Body&& body) {
  auto* owned = static_cast<StreamPrivate*>(stream->private_data);
  if (interpreter_finalizing()) {
    owned->error = "the Python interpreter is shutting down";
    return ECANCELED;
  }
  const PyGILState_STATE state = PyGILState_Ensure();
  int result = 0;
  try {
    body(owned);
  } catch (const PythonError&) {
    const bool no_memory = PyErr_ExceptionMatches(PyExc_MemoryError) != 0;
    owned->error = take_error_text();
    result = no_memory ? ENOMEM : EIO;
  } catch (const std::bad_alloc&) {
    result = ENOMEM;
  } catch (...) {
    if (thread_is_ending()) throw;
    result = EIO;
  }
  PyGILState_Release(state);
  return result;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  return with_interpreter(stream, [&](StreamPrivate* owned) {
    PyRef schema = checked(PyObject_CallMethod(owned->schema_source, "__arrow_c_schema__", nullptr));
    take_from_capsule(schema.get(), "arrow_schema", out);
  });
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  return with_interpreter(stream, [&](StreamPrivate* owned) {
    PyRef item = PyRef::steal(PyIter_Next(owned->batches));
    if (!item) {
      if (PyErr_Occurred() != nullptr) throw PythonError{};
      out->release = nullptr;  // the end of the stream
      return;
    }
    PyRef pair = checked(PyObject_CallMethod(item.get(), "__arrow_c_array__", nullptr));
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
      raise(PyExc_TypeError, "__arrow_c_array__ must return a pair of capsules");
    }
    take_from_capsule(PyTuple_GetItem(pair.get(), 1), "arrow_array", out);
  });
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  const std::string& error = static_cast<StreamPrivate*>(stream->private_data)->error;
  return error.empty() ? nullptr : error.c_str();
}

// Dropping the iterator may run Python code (a generator's cleanup).
void release_stream(ArrowArrayStream* stream) {
  auto* owned = static_cast<StreamPrivate*>(stream->private_data);
  if (!interpreter_finalizing()) {
    const PyGILState_STATE state = PyGILState_Ensure();
    Py_DECREF(owned->schema_source);
    Py_DECREF(owned->batches);
    PyGILState_Release(state);
  }
  delete owned;
  stream->release = nullptr;
}

void stream_capsule_destructor(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (stream == nullptr) return;
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

}  // namespace

void watch_interpreter_exit() {
  PyRef atexit = checked(PyImport_ImportModule("atexit"));
  PyRef callback = checked(PyCFunction_New(&g_note_exit, nullptr));
  PyRef registered = checked(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
}

PyRef export_schema(PyObject* columns, PyObject* samples, PyObject* offsets, PyObject* metadata,
                    PyObject* source) {
  require_numpy_api();
  const BatchColumns batch = batch_columns(columns, samples, offsets, source);
  return capsule(batch_schema(batch, encoded_metadata(metadata)), "arrow_schema", schema_capsule_destructor);
}

PyRef export_batch(PyObject* columns, PyObject* samples, PyObject* offsets, PyObject* source) {
  require_numpy_api();
  const BatchColumns batch = batch_columns(columns, samples, offsets, source);
  PyRef schema = capsule(batch_schema(batch), "arrow_schema", schema_capsule_destructor);
  PyRef array = capsule(batch_array(batch), "arrow_array", array_capsule_destructor);
  return checked(PyTuple_Pack(2, schema.get(), array.get()));
}

PyRef export_stream(PyObject* schema_source, PyObject* batches) {
  if (!PyIter_Check(batches)) raise(PyExc_TypeError, "batches must be an iterator");
  auto owned = std::make_unique<StreamPrivate>(StreamPrivate{schema_source, batches, std::string()});
  auto stream = std::make_unique<ArrowArrayStream>(ArrowArrayStream{
      stream_get_schema, stream_get_next, stream_get_last_error, release_stream, owned.get()});
  PyRef result = checked(PyCapsule_New(stream.get(), "arrow_array_stream", stream_capsule_destructor));
  Py_INCREF(schema_source);
  Py_INCREF(batches);
  (void)owned.release();
  (void)stream.release();
  return result;
}

}  // namespace velk::py

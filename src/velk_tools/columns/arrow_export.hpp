// Record batches of NumPy columns handed out through the Arrow C data interface, as PyCapsules.
#pragma once

#include <Python.h>

#include "binding/py_ref.hpp"

namespace velk::py {

// An "arrow_schema" capsule, or a (schema, array) pair of "arrow_schema" and "arrow_array" capsules,
// for a record batch: a non-null struct of the columns of `columns` (a dict of one-dimensional NumPy
// arrays of equal length, in its order) followed by "data", a large list over `samples` cut at
// `offsets` (int64, one more value than the columns). The arrays are shared, not copied: the exported
// array holds references to them until it is released. Raises TypeError or ValueError for arrays that
// cannot be described so. The schema carries `metadata` (a dict of str to str, or None). A `source`
// other than None, a tuple (codes, name_offsets, names), adds after "data" the column "source",
// dictionary<int32, utf8>: int32 codes, one per event, into the UTF-8 `names` (a one-byte array) cut
// at the int32 `name_offsets`, shared in the same way.
PyRef export_schema(PyObject* columns, PyObject* samples, PyObject* offsets, PyObject* metadata, PyObject* source);
PyRef export_batch(PyObject* columns, PyObject* samples, PyObject* offsets, PyObject* source);

// An "arrow_array_stream" capsule whose schema is `schema_source.__arrow_c_schema__()` and whose record
// batches are `item.__arrow_c_array__()` of each item of the iterator `batches`. The stream's
// callbacks take the interpreter lock to run them, from whatever thread the consumer calls them.
PyRef export_stream(PyObject* schema_source, PyObject* batches);

// Registers with atexit what tells the exports' release callbacks that the interpreter is shutting down.
void watch_interpreter_exit();

}  // namespace velk::py

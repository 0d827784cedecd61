// The BatchReader type: opens an event file and reads its events in batches of NumPy columns.
#pragma once

#include <Python.h>

#include "binding/py_ref.hpp"

namespace velk::py {

// The BatchReader class, created on first need (borrowed; it lives as long as the process). Throws
// PythonError with RuntimeError set if the interpreter refuses to create it.
PyTypeObject* batch_reader_type();

// sample_room(reader_type, events, samples): a capsule of storage for the samples columns of batches
// of events[i] events holding samples[i] samples, allocated on the calling thread, for
// BatchReader.read_counted() on another thread to fill.
PyRef sample_room(PyObject* reader_type, PyObject* events, PyObject* samples);

}  // namespace velk::py

// The BatchReader type: opens an event file and reads its events in batches of NumPy columns.
#pragma once

#include <Python.h>

namespace velk::py {

// The BatchReader class, created on first need (borrowed; it lives as long as the process). Throws
// PythonError with RuntimeError set if the interpreter refuses to create it.
PyTypeObject* batch_reader_type();

}  // namespace velk::py

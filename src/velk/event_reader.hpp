// The EventReader type: opens an event file and iterates over its events as dictionaries.
#pragma once

#include <Python.h>

namespace velk::py {

// The EventReader class, created on first need (borrowed; it lives as long as the process). Throws
// PythonError with RuntimeError set if the interpreter refuses to create it.
PyTypeObject* event_reader_type();

}  // namespace velk::py

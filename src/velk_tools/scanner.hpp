// The Scanner type of velk_tools._scan: walks a recording in steps and reports what it holds.
#pragma once

#include <Python.h>

namespace velk::py {

// The Scanner class, created on first need (borrowed; it lives as long as the process).
PyTypeObject* scanner_type();

}  // namespace velk::py

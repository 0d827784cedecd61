// NumPy's C API, included the same way by every file of the module. The API table is one symbol,
// defined by numpy_api.cpp and filled at run time from NumPy's capsule.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL velk_ARRAY_API
#ifndef VELK_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"  // NumPy's own importer, which we do not use
#include <numpy/arrayobject.h>
#pragma GCC diagnostic pop

// Fetching and checking NumPy's array API table on first use.
#define VELK_DEFINE_NUMPY_API
#include "binding/numpy_api.hpp"

#include <string>

#include "binding/errors.hpp"
#include "binding/numpy_headers.hpp"
#include "binding/process_once.hpp"

namespace velk::py {
namespace {

// The package that holds "multiarray": "numpy._core" from NumPy 2 on, "numpy.core" before.
const char* core_package() {
  PyRef numpy = checked(PyImport_ImportModule("numpy"));
  PyRef version = checked(PyObject_GetAttrString(numpy.get(), "__version__"));
  PyRef lib = checked(running_python({&numpy, &version}, [] { return PyImport_ImportModule("numpy.lib"); }));
  PyRef parsed = checked(running_python({&numpy, &version, &lib}, [&] {
    return PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get());
  }));
  PyRef major_object = checked(PyObject_GetAttrString(parsed.get(), "major"));
  const long major = PyLong_AsLong(major_object.get());
  if (major == -1 && PyErr_Occurred()) throw PythonError{};
  if (major < 0 || major > 255) raise(PyExc_RuntimeError, "numpy reports an invalid major version");
  return major >= 2 ? "numpy._core" : "numpy.core";
}

void** fetch_table(const char* core) {
  PyRef multiarray = checked(PyImport_ImportModule((std::string(core) + ".multiarray").c_str()));
  PyRef capsule = checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!PyCapsule_CheckExact(capsule.get())) raise(PyExc_RuntimeError, "_ARRAY_API is not a capsule");
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) {
    if (!PyErr_Occurred()) raise(PyExc_RuntimeError, "_ARRAY_API holds a NULL pointer");
    throw PythonError{};
  }
  (void)capsule.release();  // the table lives as long as NumPy; keep its capsule for good too
  return static_cast<void**>(table);
}

// The checks NumPy's own importer makes: an ABI no newer than the headers', a feature level at least
// the one the module targets, and the byte order the module was compiled for.
void check_table() {
  if (PyArray_GetNDArrayCVersion() > NPY_VERSION) {
    raise(PyExc_RuntimeError, "the running numpy has a newer ABI than velk was built for");
  }
  const unsigned int feature_version = PyArray_GetNDArrayCFeatureVersion();
  if (feature_version < NPY_FEATURE_VERSION) {
    raise(PyExc_RuntimeError, "the running numpy is older than velk supports");
  }
  if (PyArray_GetEndianness() != NPY_CPU_LITTLE) {
    raise(PyExc_RuntimeError, "numpy reports a byte order velk was not built for");
  }
  PyArray_RUNTIME_VERSION = static_cast<int>(feature_version);
}

void** load_table() {
  PyArray_API = fetch_table(core_package());
  try {
    check_table();
  } catch (const PythonError&) {
    PyArray_API = nullptr;
    throw;
  }
  return PyArray_API;
}

ProcessOnce<void**> g_table;

}  // namespace

void require_numpy_api() { g_table.get(load_table); }

}  // namespace velk::py

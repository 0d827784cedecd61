// The velk module: initialisation, the only symbol the library exports.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/decoding_hooks.hpp"
#include "binding/errors.hpp"
#include "binding/first_interpreter.hpp"
#include "velk/event_reader.hpp"

namespace velk::py {
namespace {

// m_size 0, not -1: with -1 the interpreter would copy the module on re-import instead of calling
// PyInit_velk again, and the check on the calling interpreter would never run.
PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "velk", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Process-wide, created once, never released. The module is stored only once fully initialised.
std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

void add_to_all(PyObject* module, const char* name) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    all = checked(PyList_New(0));
    check(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  PyRef text = checked(PyUnicode_FromString(name));
  check(PyList_Append(all.get(), text.get()));
}

PyRef create_module() {
  // First, before the module exists: creating the type may wait with the interpreter lock released.
  PyTypeObject* type = event_reader_type();
  PyRef module = checked(PyModule_Create(&g_module_def));
  add_to_all(module.get(), "EventReader");
  check(PyModule_AddObjectRef(module.get(), "EventReader", reinterpret_cast<PyObject*>(type)));
  return module;
}

PyObject* init_module() {
  claim_first_interpreter(g_interpreter_id, "velk");
  if (g_module == nullptr) {
    share_block_cache();
    g_module = create_module().release();
  }
  return PyRef::borrow(g_module).release();
}

}  // namespace
}  // namespace velk::py

PyMODINIT_FUNC PyInit_velk() {
  return velk::py::guarded<PyObject*>(nullptr, velk::py::init_module);
}

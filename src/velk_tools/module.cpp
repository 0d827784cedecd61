// The velk_tools._scan module: initialisation, the only symbol the library exports.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/decoding_hooks.hpp"
#include "binding/errors.hpp"
#include "binding/first_interpreter.hpp"
#include "velk_tools/scanner.hpp"

namespace velk::py {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "velk_tools._scan", "The scan walker behind velk_tools.scan.", 0, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

// The Scanner type is process-wide, created once, never released.
std::atomic<std::int64_t> g_interpreter_id{-1};

PyObject* init_module() {
  claim_first_interpreter(g_interpreter_id, "velk_tools");
  share_block_cache();
  // First, before the module exists: creating the type may wait with the interpreter lock released.
  PyTypeObject* type = scanner_type();
  PyRef module = checked(PyModule_Create(&g_module_def));
  check(PyModule_AddObjectRef(module.get(), "Scanner", reinterpret_cast<PyObject*>(type)));
  return module.release();
}

}  // namespace
}  // namespace velk::py

PyMODINIT_FUNC PyInit__scan() {
  return velk::py::guarded<PyObject*>(nullptr, velk::py::init_module);
}

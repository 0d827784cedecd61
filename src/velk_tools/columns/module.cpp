// The velk_tools._columns module: the batch reader and the Arrow exports, the only symbol it exports.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/decoding_hooks.hpp"
#include "binding/errors.hpp"
#include "binding/first_interpreter.hpp"
#include "velk_tools/columns/arrow_export.hpp"
#include "velk_tools/columns/batch_reader.hpp"

namespace velk::py {
namespace {

PyObject* columns_export_schema(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&] {
    if (nargs < 3 || nargs > 5) {
      raise(PyExc_TypeError,
            "export_schema(columns, samples, offsets, metadata=None, source=None) takes 3 to 5 arguments");
    }
    return export_schema(args[0], args[1], args[2], nargs >= 4 ? args[3] : Py_None, nargs == 5 ? args[4] : Py_None)
        .release();
  });
}

PyObject* columns_export_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&] {
    if (nargs != 3 && nargs != 4) {
      raise(PyExc_TypeError, "export_batch(columns, samples, offsets, source=None) takes 3 or 4 arguments");
    }
    return export_batch(args[0], args[1], args[2], nargs == 4 ? args[3] : Py_None).release();
  });
}

PyObject* columns_export_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&] {
    if (nargs != 2) raise(PyExc_TypeError, "export_stream(schema_source, batches) takes 2 arguments");
    return export_stream(args[0], args[1]).release();
  });
}

PyObject* columns_sample_room(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&] {
    if (nargs != 3) raise(PyExc_TypeError, "sample_room(reader_type, events, samples) takes 3 arguments");
    return sample_room(args[0], args[1], args[2]).release();
  });
}

PyMethodDef g_functions[] = {
    {"sample_room", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(columns_sample_room)),
     METH_FASTCALL, "Storage for the samples of batches to come, allocated on the calling thread."},
    {"export_schema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(columns_export_schema)),
     METH_FASTCALL, "An 'arrow_schema' capsule for a batch's columns."},
    {"export_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(columns_export_batch)),
     METH_FASTCALL, "'arrow_schema' and 'arrow_array' capsules sharing a batch's columns."},
    {"export_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(columns_export_stream)),
     METH_FASTCALL, "An 'arrow_array_stream' capsule over an iterator of batches."},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0: a re-import calls PyInit__columns again, which checks the calling interpreter.
PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "velk_tools._columns", "", 0, g_functions, nullptr, nullptr, nullptr, nullptr,
};

// Process-wide, created once, never released. The module is stored only once fully initialised.
std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

PyRef create_module() {
  // First, before the module exists: creating the type may wait with the interpreter lock released.
  PyTypeObject* type = batch_reader_type();
  watch_interpreter_exit();
  PyRef module = checked(PyModule_Create(&g_module_def));
  check(PyModule_AddObjectRef(module.get(), "BatchReader", reinterpret_cast<PyObject*>(type)));
  return module;
}

PyObject* init_module() {
  claim_first_interpreter(g_interpreter_id, "velk_tools");
  if (g_module == nullptr) {
    share_block_cache();
    g_module = create_module().release();
  }
  return PyRef::borrow(g_module).release();
}

}  // namespace
}  // namespace velk::py

PyMODINIT_FUNC PyInit__columns() {
  return velk::py::guarded<PyObject*>(nullptr, velk::py::init_module);
}

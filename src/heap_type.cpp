// Creation of the module's heap types.
#include "heap_type.hpp"

namespace velk::py {

PyTypeObject* HeapType::create() {
  PyObject* type = PyType_FromSpec(&spec_);
  if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);
  PyObject *cause_type, *cause, *traceback;
  PyErr_Fetch(&cause_type, &cause, &traceback);
  PyErr_NormalizeException(&cause_type, &cause, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(cause, traceback);
  Py_XDECREF(cause_type);
  Py_XDECREF(traceback);
  PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name_);
  PyObject *error_type, *error, *error_traceback;
  PyErr_Fetch(&error_type, &error, &error_traceback);
  PyErr_NormalizeException(&error_type, &error, &error_traceback);
  PyException_SetCause(error, cause);  // steals cause
  PyErr_Restore(error_type, error, error_traceback);
  throw PythonError{};
}

PyTypeObject* HeapType::get() {
  return type_.get([this] { return create(); });
}

PyTypeObject* HeapType::get_from_slot() {
  try {
    return get();
  } catch (const PythonError&) {
    PyErr_WriteUnraisable(nullptr);
    set_internal_fault("a velk class could not be created");
    throw;
  }
}

void free_heap_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

}  // namespace velk::py

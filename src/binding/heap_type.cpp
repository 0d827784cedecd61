// Creation of the module's heap types.
#include "binding/heap_type.hpp"

#include <string>

namespace velk::py {

PyTypeObject* HeapType::create() {
  PyObject* type = PyType_FromSpec(&spec_);
  if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);
  const std::string message = std::string("An error occurred while initializing class ") + name_;
  raise_from_current(PyExc_RuntimeError, message.c_str());
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

PyRef allocate_instance(PyTypeObject* type) {
  auto* alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return checked(alloc(type, 0));
}

void free_heap_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

}  // namespace velk::py

// Heap types built from a type spec on first need, and the deallocation they share.
#pragma once

#include <Python.h>

#include "binding/process_once.hpp"
#include "binding/py_ref.hpp"

namespace velk::py {

class HeapType {
 public:
  // `name` is the class name used in the error raised when the interpreter refuses to create the type.
  HeapType(PyType_Spec& spec, const char* name) noexcept : spec_(spec), name_(name) {}

  // The type, created on first need. If the interpreter refuses it, raises RuntimeError "An error
  // occurred while initializing class {name}" whose __cause__ is the interpreter's error.
  PyTypeObject* get();
  // The same, for use from a slot: that RuntimeError is reported as unraisable, and the call in
  // progress fails with an internal fault.
  PyTypeObject* get_from_slot();

 private:
  PyTypeObject* create();

  PyType_Spec& spec_;
  const char* name_;
  ProcessOnce<PyTypeObject*> type_;
};

// A new instance from the type's allocation slot (the stable ABI hides tp_alloc itself). Throws
// PythonError when the allocation fails.
PyRef allocate_instance(PyTypeObject* type);

// Frees an instance of a heap type through the type's free slot and drops the instance's reference
// to its type, as heap types require.
void free_heap_instance(PyObject* self) noexcept;

}  // namespace velk::py

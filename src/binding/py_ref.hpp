// PyRef: a move-only owner of one strong reference to a Python object.
#pragma once

#include <Python.h>

#include <exception>
#include <initializer_list>
#include <utility>

namespace velk::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a reference the caller owns (a new reference, or nullptr).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference of its own to a borrowed object.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    Py_XDECREF(old);  // after the new value is in place: the decref may run arbitrary code
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  // Gives the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

// Inside a catch (...) handler: whether what is being handled is the forced unwind that ends the thread
// while the interpreter shuts down. It is the one foreign exception C++ code meets here, and a foreign
// exception has no exception_ptr. (A handler for abi::__forced_unwind would do too, but binds a reference
// to an object that does not exist.)
inline bool thread_is_ending() noexcept { return !std::current_exception(); }

// Runs `call`, which may run Python code, and returns its result. Should the interpreter end the thread
// there (a forced unwind during shutdown), the thread no longer holds the interpreter lock, so the
// references in `held` are abandoned on the way out instead of released.
template <class Call>
auto running_python(std::initializer_list<PyRef*> held, Call&& call) -> decltype(call()) {
  try {
    return call();
  } catch (...) {
    if (thread_is_ending()) {
      for (PyRef* ref : held) (void)ref->release();
    }
    throw;
  }
}

}  // namespace velk::py

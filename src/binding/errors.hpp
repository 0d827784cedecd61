// The one place where failures become Python exceptions.
//
// Inside the binding layer a failed interpreter call sets a Python exception and throws PythonError;
// each slot runs its body under guarded(), which turns whatever escapes into a Python exception and
// the slot's error value. No C++ exception crosses into the interpreter.
//
// One unwinding must pass untouched: a thread that the interpreter ends while it shuts down (a daemon
// thread asking for the interpreter lock) leaves through a forced unwind, which must reach the thread's
// start through every frame. So guarded() rethrows it, and neither it nor the slots are noexcept.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <new>

#include "binding/py_ref.hpp"
#include "event_stream/io_error.hpp"
#include "event_stream/read_outcome.hpp"

namespace velk::py {

// Thrown once a Python exception is set.
struct PythonError {};

// Steals a new reference; throws PythonError when the call that produced it returned nullptr.
PyRef checked(PyObject* new_reference);
// Throws PythonError when an interpreter call returned a negative status.
void check(int status);

[[noreturn]] void raise(PyObject* type, const char* message);
// Raises `type(message)` whose __cause__ is the exception currently set.
[[noreturn]] void raise_from_current(PyObject* type, const char* message);
// Raises the exception the I/O mapping gives for the error's kind, with the error's text as its one
// argument (errno, strerror and filename stay None). A read given up because a signal handler raised
// (see run_signal_handlers) raises that handler's exception instead.
[[noreturn]] void raise_io_error(const IoError& error);
// Raises plain OSError with the error's text, whatever its kind; a signal handler's exception as above.
[[noreturn]] void raise_os_error(const IoError& error);

// The stream's signal check: runs the interpreter's signal handlers after an interrupted system call.
// True to retry the call; false, with the handler's exception set, to give up.
bool run_signal_handlers();
// ValueError for a malformed size, MemoryError for samples that cannot be allocated.
[[noreturn]] void raise_decode_error(const DecodeError& error);

// ValueError "unknown reader type '{reader_type}', expected 'WD1' or 'WD2'".
[[noreturn]] void raise_unknown_reader_type(PyObject* reader_type);

// Takes the exception currently set, normalised, with its traceback attached; empty when none is set.
PyRef fetch_exception() noexcept;

// Sets SystemError for a fault the interpreter has not reported, unless an exception is already set.
void set_internal_fault(const char* what) noexcept;

// Runs body() and returns its result; anything it throws becomes a Python exception (bad_alloc is
// MemoryError) and error_value is returned.
template <class R, class Body>
R guarded(R error_value, Body&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const PythonError&) {
    set_internal_fault("an interpreter call failed without setting an exception");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_internal_fault(e.what());
  } catch (...) {
    set_internal_fault("unknown C++ exception");
  }
  return error_value;
}

// For deallocation, which cannot fail: an escaping fault is reported as unraisable.
template <class Body>
void guarded_unraisable(PyObject* object, Body&& body) {
  if (guarded(-1, [&] { body(); return 0; }) < 0) PyErr_WriteUnraisable(object);
}

}  // namespace velk::py

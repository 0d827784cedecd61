// Mapping of I/O and decode errors onto Python exceptions.
#include "binding/errors.hpp"

#include <string>

namespace velk::py {

PyRef checked(PyObject* new_reference) {
  if (new_reference == nullptr) throw PythonError{};
  return PyRef::steal(new_reference);
}

void check(int status) {
  if (status < 0) throw PythonError{};
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

namespace {

// Takes the exception currently set, normalised, with its traceback attached.
PyObject* take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Sets `exception` as the current exception; steals the reference.
void restore_exception(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyErr_Restore(PyObject_Type(exception), exception, PyException_GetTraceback(exception));
#endif
}

}  // namespace

PyRef fetch_exception() noexcept { return PyRef::steal(take_exception()); }

void raise_unknown_reader_type(PyObject* reader_type) {
  PyErr_Format(PyExc_ValueError, "unknown reader type '%U', expected 'WD1' or 'WD2'", reader_type);
  throw PythonError{};
}

void raise_from_current(PyObject* type, const char* message) {
  PyObject* cause = take_exception();
  PyErr_SetString(type, message);
  PyObject* error = take_exception();
  PyException_SetCause(error, cause);  // steals cause
  restore_exception(error);
  throw PythonError{};
}

void set_internal_fault(const char* what) noexcept {
  if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "velk internal fault: %s", what);
}

namespace {

PyObject* exception_for(IoErrorKind kind) noexcept {
  switch (kind) {
    case IoErrorKind::NotFound: return PyExc_FileNotFoundError;
    case IoErrorKind::PermissionDenied: return PyExc_PermissionError;
    case IoErrorKind::AlreadyExists: return PyExc_FileExistsError;
    case IoErrorKind::IsADirectory: return PyExc_IsADirectoryError;
    case IoErrorKind::NotADirectory: return PyExc_NotADirectoryError;
    case IoErrorKind::Interrupted: return PyExc_InterruptedError;
    case IoErrorKind::WouldBlock: return PyExc_BlockingIOError;
    case IoErrorKind::TimedOut: return PyExc_TimeoutError;
    case IoErrorKind::BrokenPipe: return PyExc_BrokenPipeError;
    case IoErrorKind::ConnectionRefused: return PyExc_ConnectionRefusedError;
    case IoErrorKind::ConnectionReset: return PyExc_ConnectionResetError;
    case IoErrorKind::ConnectionAborted: return PyExc_ConnectionAbortedError;
    case IoErrorKind::OutOfMemory: return PyExc_MemoryError;
    case IoErrorKind::UnexpectedEof:
    case IoErrorKind::InvalidInput:
    case IoErrorKind::Other: return PyExc_OSError;
  }
  return PyExc_OSError;
}

// One argument, the text: the exception's errno, strerror and filename attributes stay None.
[[noreturn]] void raise_with_text(PyObject* type, const std::string& text) {
  PyRef message = checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                               "replace"));
  PyErr_SetObject(type, message.get());
  throw PythonError{};
}

}  // namespace

bool run_signal_handlers() { return PyErr_CheckSignals() == 0; }

namespace {

// A read is given up for a signal only when a handler raised; its exception is the one to see.
void raise_if_signal_handler_raised(const IoError& error) {
  if (error.kind() == IoErrorKind::Interrupted && PyErr_Occurred() != nullptr) throw PythonError{};
}

}  // namespace

void raise_io_error(const IoError& error) {
  raise_if_signal_handler_raised(error);
  raise_with_text(exception_for(error.kind()), error.message());
}

void raise_os_error(const IoError& error) {
  raise_if_signal_handler_raised(error);
  raise_with_text(PyExc_OSError, error.message());
}

void raise_decode_error(const DecodeError& error) {
  switch (error.kind) {
    case DecodeError::Kind::SizeBelowMinimum:
    case DecodeError::Kind::BlockTooLarge: raise_with_text(PyExc_ValueError, error.message());
    case DecodeError::Kind::OutOfMemory: raise_with_text(PyExc_MemoryError, error.message());
  }
  raise_with_text(PyExc_ValueError, error.message());
}

}  // namespace velk::py

// The stream hooks of the Python bindings.
#include "binding/decoding_hooks.hpp"

#include <Python.h>

#include "binding/errors.hpp"

namespace velk::py {
namespace {

void* release_interpreter_lock() { return PyEval_SaveThread(); }

// May end the thread by a forced unwind during interpreter shutdown.
void restore_interpreter_lock(void* released) { PyEval_RestoreThread(static_cast<PyThreadState*>(released)); }

}  // namespace

StreamHooks python_stream_hooks() noexcept {
  return {run_signal_handlers, release_interpreter_lock, restore_interpreter_lock};
}

}  // namespace velk::py

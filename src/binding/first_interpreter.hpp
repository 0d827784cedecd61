// A module whose objects are process-wide belongs to the first interpreter that imports it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/errors.hpp"

namespace velk::py {

// Records the calling interpreter as the module's owner on the first import; ImportError "{module}
// does not support sub-interpreters" for any other interpreter.
inline void claim_first_interpreter(std::atomic<std::int64_t>& owner, const char* module) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) throw PythonError{};
  std::int64_t expected = -1;
  if (!owner.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_Format(PyExc_ImportError, "%s does not support sub-interpreters", module);
    throw PythonError{};
  }
}

}  // namespace velk::py

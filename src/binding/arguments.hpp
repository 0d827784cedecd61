// Binding of call arguments to named parameters, with the interpreter's own error texts.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "binding/py_ref.hpp"

namespace velk::py {

// Binds positional arguments, then keyword arguments in the order given, to `names`, and checks
// that every parameter got a value. Every parameter is required and positional-or-keyword. The
// values are borrowed from args and kwargs. `callee` names the function in the TypeError texts, for
// example "EventReader.__new__()". Throws PythonError with TypeError set on a binding error.
void bind_arguments(const std::string& callee, std::span<const char* const> names, PyObject* args,
                    PyObject* kwargs, std::span<PyObject*> values);

template <std::size_t N>
std::array<PyObject*, N> bind_arguments(const std::string& callee,
                                        const std::array<const char*, N>& names, PyObject* args,
                                        PyObject* kwargs) {
  std::array<PyObject*, N> values{};
  bind_arguments(callee, names, args, kwargs, values);
  return values;
}

// The UTF-8 text of a str argument (a str subclass is accepted), valid while `value` lives. Anything
// else raises TypeError "argument '{name}': '{type}' object cannot be cast as 'str'"; a str that
// cannot be encoded raises the interpreter's encoding error unchanged.
std::string_view utf8_argument(PyObject* value, const char* name);

// A file name as the OS takes it: the bytes of a bytes argument, or a str encoded with the file system
// encoding and its surrogate escapes (os.fsencode). `text` is valid while `owner` lives. Anything else
// raises TypeError "argument '{name}': expected str or bytes, not '{type}'".
struct PathArgument {
  PyRef owner;
  std::string_view text;
};
PathArgument path_argument(PyObject* value, const char* name);

// The WD2 layout a caller gives: None for the probe's, else an int from 1 to 2^31 - 1 (TypeError for
// another type, ValueError outside that range).
std::optional<std::int32_t> channels_argument(PyObject* value);

// The type's qualified name, a str, read from the type's own name fields without running Python code.
PyRef qualified_name(PyTypeObject* type);

}  // namespace velk::py

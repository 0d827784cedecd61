// Argument binding for the module's constructors.
#include "binding/arguments.hpp"

#include <vector>

#include "binding/errors.hpp"

namespace velk::py {
namespace {

std::string quoted(const char* name) { return std::string("'") + name + "'"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string join_names(std::span<const char* const> names) {
  if (names.size() == 2) return quoted(names[0]) + " and " + quoted(names[1]);
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) text += i + 1 == names.size() ? ", and " : ", ";
    text += quoted(names[i]);
  }
  return text;
}

[[noreturn]] void raise_missing(const std::string& callee, std::span<const char* const> names,
                                std::span<PyObject*> values) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (values[i] == nullptr) missing.push_back(names[i]);
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", callee.c_str(),
               missing.size(), missing.size() == 1 ? "argument" : "arguments",
               join_names(missing).c_str());
  throw PythonError{};
}

// The parameter a keyword names, or names.size() when it names none.
std::size_t parameter_index(PyObject* key, std::span<const char* const> names) {
  if (!PyUnicode_Check(key)) return names.size();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return i;
  }
  return names.size();
}

void bind_keywords(const std::string& callee, std::span<const char* const> names, PyObject* kwargs,
                   std::span<PyObject*> values) {
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    const std::size_t index = parameter_index(key, names);
    if (index == names.size()) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", callee.c_str(), key);
      throw PythonError{};
    }
    if (values[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", callee.c_str(),
                   names[index]);
      throw PythonError{};
    }
    values[index] = value;
  }
}

}  // namespace

// Through the getter that `type` defines for __qualname__: an attribute lookup would go through the
// type's metaclass and could run any code.
PyRef qualified_name(PyTypeObject* type) {
  PyRef type_dict = checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__"));
  PyRef getter = checked(PyMapping_GetItemString(type_dict.get(), "__qualname__"));
  return checked(PyObject_CallMethod(getter.get(), "__get__", "O", reinterpret_cast<PyObject*>(type)));
}

void bind_arguments(const std::string& callee, std::span<const char* const> names, PyObject* args,
                    PyObject* kwargs, std::span<PyObject*> values) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) throw PythonError{};
  if (static_cast<std::size_t>(given) > names.size()) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 callee.c_str(), names.size(), given, given == 1 ? "was" : "were");
    throw PythonError{};
  }
  // Borrowed references; in range, so never NULL.
  for (Py_ssize_t i = 0; i < given; ++i) values[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) bind_keywords(callee, names, kwargs, values);
  for (PyObject* value : values) {
    if (value == nullptr) raise_missing(callee, names, values);
  }
}

std::string_view utf8_argument(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    PyRef type_name = qualified_name(Py_TYPE(value));
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be cast as 'str'", name,
                 type_name.get());
    throw PythonError{};
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) throw PythonError{};
  return {text, static_cast<std::size_t>(size)};
}

PathArgument path_argument(PyObject* value, const char* name) {
  PyRef bytes;
  if (PyUnicode_Check(value)) {
    bytes = checked(PyUnicode_EncodeFSDefault(value));
  } else if (PyBytes_Check(value)) {
    bytes = PyRef::borrow(value);
  } else {
    PyRef type_name = qualified_name(Py_TYPE(value));
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str or bytes, not '%U'", name, type_name.get());
    throw PythonError{};
  }
  char* text = nullptr;
  Py_ssize_t size = 0;
  check(PyBytes_AsStringAndSize(bytes.get(), &text, &size));
  return {std::move(bytes), std::string_view(text, static_cast<std::size_t>(size))};
}

std::optional<std::int32_t> channels_argument(PyObject* value) {
  if (value == Py_None) return std::nullopt;
  if (!PyLong_Check(value)) {
    PyRef type_name = qualified_name(Py_TYPE(value));
    PyErr_Format(PyExc_TypeError, "channels must be an int or None, not '%U'", type_name.get());
    throw PythonError{};
  }
  int overflow = 0;
  const long long channels = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (channels == -1 && PyErr_Occurred() != nullptr) throw PythonError{};
  if (overflow != 0 || channels < 1 || channels > INT32_MAX) {
    raise(PyExc_ValueError, "channels must be from 1 to 2147483647");
  }
  return static_cast<std::int32_t>(channels);
}

}  // namespace velk::py

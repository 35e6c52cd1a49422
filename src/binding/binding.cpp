#include <string>
#include <vector>

#include "binding/function_description.hpp"

namespace brambleloft {

namespace {

std::string display_name(const FunctionDescription& d) {
  return std::string(d.class_name) + "." + d.function_name + "()";
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ",";
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

[[noreturn]] void fail(std::string message) { throw PyError::deferred(PyExc_TypeError, std::move(message)); }

// The text of a keyword that names no parameter, as str() shows it.
std::string keyword_text(PyObject* key) {
  Ref text = Ref::steal(PyObject_Str(key));
  if (!text) {
    PyErr_WriteUnraisable(key);
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(key)), "__name__"));
    Ref name_bytes = name ? Ref::steal(PyUnicode_AsUTF8String(name.get())) : Ref();
    if (!name_bytes) {
      PyErr_Clear();
      return "<unprintable object>";
    }
    return std::string("<unprintable ") + PyBytes_AsString(name_bytes.get()) + " object>";
  }
  return lossy_utf8(text.get());
}

[[noreturn]] void fail_unexpected_keyword(const FunctionDescription& d, PyObject* key) {
  fail(display_name(d) + " got an unexpected keyword argument '" + keyword_text(key) + "'");
}

// Keyword names are compared without encoding them: every parameter name here is
// ASCII, and a key that cannot be encoded matches none of them anyway.
bool names_parameter(PyObject* key, const char* name) {
  return PyUnicode_CompareWithASCIIString(key, name) == 0;
}

// Each keyword of the call, in the order the caller gave them, as (name, value).
template <class F>
void for_each_keyword(const TupleArguments& arguments, F&& f) {
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(arguments.kwargs, &pos, &key, &value)) f(key, value);
}

template <class F>
void for_each_keyword(const FastArguments& arguments, F&& f) {
  const Py_ssize_t count = PyTuple_Size(arguments.kwnames);
  for (Py_ssize_t j = 0; j < count; ++j)
    f(PyTuple_GetItem(arguments.kwnames, j), arguments.args[arguments.nargs + j]);
}

}  // namespace

template <class Arguments>
void extract_arguments(const FunctionDescription& d, const Arguments& arguments, PyObject** slots) {
  const std::size_t n = arguments.positional_count();
  const std::size_t p = d.parameters.size();
  for (std::size_t i = 0; i < n && i < p; ++i) slots[i] = arguments.positional(i);

  if (n > p) {
    fail(display_name(d) + " takes " + std::to_string(p) + " positional arguments but " + std::to_string(n) +
         (n == 1 ? " was" : " were") + " given");
  }

  if (arguments.has_keywords()) {
    for_each_keyword(arguments, [&](PyObject* key, PyObject* value) {
      if (!PyUnicode_Check(key)) fail_unexpected_keyword(d, key);
      std::size_t i = 0;
      while (i < p && !names_parameter(key, d.parameters[i])) ++i;
      if (i == p) fail_unexpected_keyword(d, key);
      if (slots[i] != nullptr)
        fail(display_name(d) + " got multiple values for argument '" + d.parameters[i] + "'");
      slots[i] = value;
    });
  }

  std::vector<const char*> missing;
  for (std::size_t i = n; i < p; ++i) {
    if (slots[i] == nullptr) missing.push_back(d.parameters[i]);
  }
  if (!missing.empty()) {
    fail(display_name(d) + " missing " + std::to_string(missing.size()) + " required positional " +
         (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
  }
}

template void extract_arguments(const FunctionDescription&, const TupleArguments&, PyObject**);
template void extract_arguments(const FunctionDescription&, const FastArguments&, PyObject**);

}  // namespace brambleloft

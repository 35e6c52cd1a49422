// Static parameter descriptions and the binding of a call's arguments to them.
#pragma once

#include <cstddef>
#include <span>

#include "errors/python_errors.hpp"

namespace brambleloft {

// Every parameter of our entries is required and may be given by position or by
// keyword, so a description is the names alone.
struct FunctionDescription {
  const char* class_name;
  const char* function_name;
  std::span<const char* const> parameters;
};

// A call's arguments as the tuple convention hands them: a tuple and a dict or null.
struct TupleArguments {
  PyObject* args;
  PyObject* kwargs;

  std::size_t positional_count() const noexcept {
    // The positional arguments always come as a tuple, whose length is its object size.
    return static_cast<std::size_t>(Py_SIZE(args));
  }
  PyObject* positional(std::size_t i) const noexcept {
    return PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }
  bool has_keywords() const noexcept { return kwargs != nullptr; }
};

// The same as the fast convention (3.10 on) hands them: an array of the positional values
// followed by the keyword values, whose names are in a tuple or null.
struct FastArguments {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;

  std::size_t positional_count() const noexcept { return static_cast<std::size_t>(nargs); }
  PyObject* positional(std::size_t i) const noexcept { return args[i]; }
  bool has_keywords() const noexcept { return kwnames != nullptr && Py_SIZE(kwnames) != 0; }
};

// Fills `slots` (one per parameter) with borrowed references, or throws the binding TypeError.
template <class Arguments>
void extract_arguments(const FunctionDescription& description, const Arguments& arguments, PyObject** slots);

// The same for an entry of N parameters. The common call, exactly N positional arguments and no keywords, is
// bound here inline; every other shape goes to the general binder and its messages.
template <std::size_t N, class Arguments>
inline void bind_arguments(const FunctionDescription& description, const Arguments& arguments,
                           PyObject** slots) {
  if (!arguments.has_keywords() && arguments.positional_count() == N) [[likely]] {
    for (std::size_t i = 0; i < N; ++i) slots[i] = arguments.positional(i);
    return;
  }
  extract_arguments(description, arguments, slots);
}

}  // namespace brambleloft

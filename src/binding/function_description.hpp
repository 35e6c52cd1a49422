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

// Fills `slots` (one per parameter) with borrowed references, or throws the
// binding TypeError.
void extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                                  PyObject** slots);

// The same for an entry of N parameters. The common call, exactly N positional arguments and no keywords, is
// bound here inline; every other shape goes to the general binder and its messages.
template <std::size_t N>
inline void bind_arguments(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                           PyObject** slots) {
  // The positional arguments always come as a tuple, whose length is its object size.
  if (kwargs == nullptr && Py_SIZE(args) == static_cast<Py_ssize_t>(N)) [[likely]] {
    for (std::size_t i = 0; i < N; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    return;
  }
  extract_arguments_tuple_dict(description, args, kwargs, slots);
}

}  // namespace brambleloft

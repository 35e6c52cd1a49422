// Static parameter descriptions and the binding of a call's arguments to them.
#pragma once

#include <cstddef>
#include <span>

#include "errors/python_errors.hpp"

namespace brambleloft {

struct KeywordOnlyParameter {
  const char* name;
  bool required;
};

struct FunctionDescription {
  const char* class_name;  // may be null
  const char* function_name;
  std::span<const char* const> positional;
  std::size_t positional_only = 0;
  std::size_t required_positional = 0;
  std::span<const KeywordOnlyParameter> keyword_only = {};
};

// Fills `slots` (one per positional parameter, then one per keyword-only one) with
// borrowed references, or throws the binding TypeError.
void extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                                  PyObject** slots);

}  // namespace brambleloft

// Answers about the running interpreter, read once from Py_GetVersion().
#pragma once

#include <charconv>
#include <string_view>
#include <utility>

#include "errors/fault.hpp"

namespace brambleloft {

bool interpreter_is_at_least(unsigned major, unsigned minor);

// (major, minor) from a version text such as "3.13.0rc1 (main, ...)": the part before
// the first blank, split at the dots. Faults when it does not read so.
inline std::pair<unsigned, unsigned> parse_python_version(std::string_view text) {
  text = text.substr(0, text.find(' '));
  const auto dot = text.find('.');
  const std::string_view major_text = text.substr(0, dot);
  if (major_text.empty()) raise_fault("Python major version missing");
  if (dot == std::string_view::npos) raise_fault("Python minor version missing");
  std::string_view minor_text = text.substr(dot + 1);
  minor_text = minor_text.substr(0, minor_text.find('.'));
  unsigned major = 0, minor = 0;
  auto [end, error] = std::from_chars(major_text.data(), major_text.data() + major_text.size(), major);
  if (error != std::errc() || end != major_text.data() + major_text.size()) {
    raise_fault("Python major version not an integer");
  }
  // A minor part such as "13rc1" still tells the minor number.
  if (std::from_chars(minor_text.data(), minor_text.data() + minor_text.size(), minor).ec != std::errc()) {
    raise_fault("Python minor version missing");
  }
  return {major, minor};
}

}  // namespace brambleloft

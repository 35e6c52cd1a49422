#include "module/interpreter.hpp"

#include "errors/python_errors.hpp"

namespace brambleloft {

namespace {

const std::pair<unsigned, unsigned>& version() {
  // Read under the GIL on first need; the answer never changes.
  static const std::pair<unsigned, unsigned> cached = parse_python_version(Py_GetVersion());
  return cached;
}

}  // namespace

bool interpreter_is_at_least(unsigned major, unsigned minor) {
  return version() >= std::pair<unsigned, unsigned>{major, minor};
}

}  // namespace brambleloft

#include "module/interpreter.hpp"

#include "threads/python_threads.hpp"

namespace brambleloft {

namespace {

constinit OnceValue<unsigned> packed_version;

}  // namespace

bool interpreter_is_at_least(unsigned major, unsigned minor) {
  // The answer never changes; its one reading is shared by every thread.
  const unsigned version = packed_version.get(
      [] {
        const auto [major_read, minor_read] = parse_python_version(Py_GetVersion());
        return major_read << 16 | (minor_read & 0xffff);
      },
      [](unsigned) {});
  return version >= (major << 16 | minor);
}

}  // namespace brambleloft

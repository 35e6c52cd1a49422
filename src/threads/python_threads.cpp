#include "threads/python_threads.hpp"

#include <dlfcn.h>

namespace brambleloft {

namespace {

using IsFinalizing = int (*)();

// Public from 3.13 on; the same answer under its older name before. Looked up at run time so
// that one file serves every version.
IsFinalizing find_is_finalizing() noexcept {
  for (const char* name : {"Py_IsFinalizing", "_Py_IsFinalizing"}) {
    if (void* function = dlsym(RTLD_DEFAULT, name)) return reinterpret_cast<IsFinalizing>(function);
  }
  return nullptr;
}

constinit OnceValue<IsFinalizing> is_finalizing;

}  // namespace

// From 3.14 a thread that comes back into a finalizing interpreter hangs there for good, with
// whatever it held: the finalizing thread must not wait for one.
bool PythonThreads::may_sleep() {
  const IsFinalizing finalizing = is_finalizing.get(&find_is_finalizing, [](IsFinalizing) {});
  return finalizing == nullptr || finalizing() == 0;
}

}  // namespace brambleloft

// The interpreter's side of the thread guards in threads/threads.hpp.
#pragma once

#include "errors/python_errors.hpp"
#include "threads/threads.hpp"

namespace brambleloft {

// Where calls really run at once, readers count on lines of their own.
#ifdef Py_GIL_DISABLED
using PythonInstanceLock = ShardedInstanceLock;
#else
using PythonInstanceLock = InstanceLock;
#endif

struct PythonThreads {
  static PyThreadState* leave() noexcept { return PyEval_SaveThread(); }
  static void rejoin(PyThreadState* state) noexcept { PyEval_RestoreThread(state); }
  [[noreturn]] static void refuse(Access kind) {
    throw kind == Access::Exclusive ? PyError::already_borrowed() : PyError::already_mutably_borrowed();
  }
};

// A process-wide Python object made once and kept until the process ends.
inline PyObject* once_object(OnceValue<PyObject*>& once, PyObject* (*make)()) {
  return once.get<PythonThreads>(make, [](PyObject* spare) { Py_DECREF(spare); });
}

}  // namespace brambleloft

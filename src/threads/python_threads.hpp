// The interpreter's side of the thread guards in threads/threads.hpp.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include "threads/threads.hpp"

namespace brambleloft {

// Where calls really run at once, readers count on lines of their own.
#ifdef Py_GIL_DISABLED
using PythonInstanceLock = AccessLock<8>;
#else
using PythonInstanceLock = AccessLock<1>;
#endif

struct PythonThreads {
  static bool may_sleep();
  static PyThreadState* leave() noexcept { return PyEval_SaveThread(); }
  // Not noexcept: at exit, CPython up to 3.13 ends a daemon thread here by unwinding it.
  static void rejoin(PyThreadState* state) { PyEval_RestoreThread(state); }
};

// A process-wide Python object made once and kept until the process ends.
inline PyObject* once_object(OnceValue<PyObject*>& once, PyObject* (*make)()) {
  return once.get(make, [](PyObject* spare) { Py_DECREF(spare); });
}

}  // namespace brambleloft

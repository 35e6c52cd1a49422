// What a build from source needs and the headers of 3.8 and 3.9 (PyPy 3.9's too) lack, as
// later headers have it, in the limited API of 3.8 as well.
#pragma once

#include "errors/python_errors.hpp"

#if PY_VERSION_HEX < 0x030a0000 && !defined(Py_NewRef)
inline PyObject* Py_NewRef(PyObject* object) {
  Py_INCREF(object);
  return object;
}
#endif

// 3.8's leaves the init function's visibility to the build, which hides every symbol.
#if PY_VERSION_HEX < 0x03090000
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

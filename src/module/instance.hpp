// The record behind every instance of our classes: its state and the lock that guards it.
#pragma once

#include <new>
#include <utility>

#include "errors/fault.hpp"
#include "errors/python_errors.hpp"
#include "errors/trap.hpp"
#include "threads/python_threads.hpp"

namespace brambleloft {

template <class State>
struct Instance {
#ifndef Py_TARGET_ABI3T
  PyObject ob_base;  // PyObject_HEAD
#endif
  State state;
  PythonInstanceLock lock;

#ifdef Py_TARGET_ABI3T
  // The object header is opaque and its size differs between builds: the class asks for
  // room after it (a negative basic size) and the interpreter tells where that room is.
  // Our classes cannot be subclassed, so the object's own class is the one that has it.
  static Instance* from(PyObject* object) noexcept {
    return static_cast<Instance*>(PyObject_GetTypeData(object, Py_TYPE(object)));
  }
  static constexpr int basic_size() noexcept { return -static_cast<int>(sizeof(Instance)); }
#else
  static Instance* from(PyObject* object) noexcept { return reinterpret_cast<Instance*>(object); }
  static constexpr int basic_size() noexcept { return static_cast<int>(sizeof(Instance)); }
#endif
};

// The constructor of the base class `object`.
newfunc base_object_new();

// Allocates the instance through `object` and moves the finished state into it.
// On failure the state is left to the caller, whose unwinding destroys it.
template <class State>
PyObject* create_instance(PyTypeObject* type, State&& state) {
  newfunc base_new = base_object_new();
  Ref no_args = Ref::steal(non_null(PyTuple_New(0)));
  PyObject* object = base_new(type, no_args.get(), nullptr);
  if (object == nullptr) throw PyError::fetch();
  auto* instance = Instance<State>::from(object);
  new (&instance->state) State(std::move(state));
  new (&instance->lock) PythonInstanceLock();
  return object;
}

freefunc instance_free_function(PyTypeObject* type);

template <class State>
void destroy_instance(PyObject* object) noexcept {
  destruction_trap([object] {
    auto* instance = Instance<State>::from(object);
    instance->state.~State();
    PyTypeObject* type = Py_TYPE(object);
    instance_free_function(type)(object);
    // Each instance holds a reference to its (heap) class.
    Py_DECREF(reinterpret_cast<PyObject*>(type));
  });
}

}  // namespace brambleloft

// The record behind every instance of our classes, and its access flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "errors/fault.hpp"
#include "errors/python_errors.hpp"
#include "errors/trap.hpp"

namespace brambleloft {

enum class Access { Shared, Exclusive };

template <class State>
struct Instance {
#ifndef Py_TARGET_ABI3T
  PyObject ob_base;  // PyObject_HEAD
#endif
  State state;
  // 0: free; n > 0: n shared accesses; -1: one exclusive access.
  std::atomic<std::int64_t> borrow_flag;

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

// Every touch of the flag happens with the GIL held, and interpreters without a GIL
// cannot load a stable-ABI module, so no two threads ever race on it: a load and a
// store are enough, and a conflict can only be re-entry on the same thread.
inline bool try_borrow(std::atomic<std::int64_t>& flag) noexcept {
  const std::int64_t current = flag.load(std::memory_order_relaxed);
  if (current == -1) return false;
  flag.store(current + 1, std::memory_order_relaxed);
  return true;
}
inline void release_borrow(std::atomic<std::int64_t>& flag) noexcept {
  flag.store(flag.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}
inline bool try_borrow_mut(std::atomic<std::int64_t>& flag) noexcept {
  if (flag.load(std::memory_order_relaxed) != 0) return false;
  flag.store(-1, std::memory_order_relaxed);
  return true;
}
inline void release_borrow_mut(std::atomic<std::int64_t>& flag) noexcept {
  flag.store(0, std::memory_order_relaxed);
}

// Holds the access for one call and gives it up on every path out.
template <Access kind>
class AccessGuard {
 public:
  explicit AccessGuard(std::atomic<std::int64_t>& flag) : flag_(flag) {
    if constexpr (kind == Access::Shared) {
      if (!try_borrow(flag_)) throw PyError::already_mutably_borrowed();
    } else {
      if (!try_borrow_mut(flag_)) throw PyError::already_borrowed();
    }
  }
  ~AccessGuard() {
    if constexpr (kind == Access::Shared) {
      release_borrow(flag_);
    } else {
      release_borrow_mut(flag_);
    }
  }
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;

 private:
  std::atomic<std::int64_t>& flag_;
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
  new (&instance->borrow_flag) std::atomic<std::int64_t>(0);
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

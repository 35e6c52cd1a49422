// The fault trap around every entry from the interpreter: a body either returns
// its result or throws; the trap turns what it threw into a Python exception.
// Entries always run with the GIL held and every reference we drop is released
// on the spot, so the trap has no deferred releases to carry out. A thread ended by
// forced unwinding passes through untouched, so nothing on its path is noexcept.
#pragma once

#include "errors/python_errors.hpp"
#include "threads/threads.hpp"

namespace brambleloft {

namespace detail {
// Sets the Python exception for whatever the body threw. A fault while doing so
// ends the process; only a thread's forced unwinding passes.
void raise_current_exception(bool report_unraisable);
}  // namespace detail

// For method and constructor entries: a new reference, or nullptr with the exception set.
template <class Body>
BRAMBLELOFT_CATCHES_FORCED_UNWIND PyObject* fault_trap(Body&& body) {
  try {
    return body();
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
    detail::raise_current_exception(false);
    return nullptr;
  }
}

// For the module's execution step: 0, or -1 with the exception set.
template <class Body>
BRAMBLELOFT_CATCHES_FORCED_UNWIND int fault_trap_status(Body&& body) {
  try {
    body();
    return 0;
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
    detail::raise_current_exception(false);
    return -1;
  }
}

// For destruction: a fault is reported through the unraisable hook; the rest of
// the body is skipped. Returns whether the body completed.
template <class Body>
BRAMBLELOFT_CATCHES_FORCED_UNWIND bool destruction_trap(Body&& body) {
  try {
    body();
    return true;
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
    detail::raise_current_exception(true);
    return false;
  }
}

}  // namespace brambleloft

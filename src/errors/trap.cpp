#include "errors/trap.hpp"

#include <cstdlib>
#include <new>
#include <stdexcept>

#include "errors/fault.hpp"

namespace brambleloft::detail {

namespace {

[[noreturn]] void abort_at_boundary() noexcept {
  write_fault_report("uncaught panic at ffi boundary", std::source_location::current());
  std::abort();
}

void raise_panic(const std::string& message) { PyError::deferred(panic_exception_type(), message).restore(); }

}  // namespace

BRAMBLELOFT_CATCHES_FORCED_UNWIND void raise_current_exception(bool report_unraisable) {
  try {
    try {
      throw;
    } catch (PyError& error) {
      std::move(error).restore();
      if (!report_unraisable) return;
    } catch (const AccessRefused& refused) {
      (refused.wanted == Access::Exclusive ? PyError::already_borrowed()
                                           : PyError::already_mutably_borrowed())
          .restore();
    } catch (const Fault& fault) {
      raise_panic(fault.message());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::length_error&) {
      // A standard container refused a size beyond what it can address.
      try {
        raise_fault("capacity overflow");
      } catch (const Fault& fault) {
        raise_panic(fault.message());
      }
    } catch (...) {
      try {
        raise_fault("a fault occurred in the native code");
      } catch (const Fault& fault) {
        raise_panic(fault.message());
      }
    }
    if (report_unraisable) PyErr_WriteUnraisable(nullptr);
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace brambleloft::detail

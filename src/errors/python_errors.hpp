// Error records: a failure on its way to Python, carried through our C++ code as
// an exception and handed to the interpreter by the trap around every entry.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// A build for the 3.8 stable ABI also serves interpreters that lack what 3.10 added.
#if defined(Py_LIMITED_API) && Py_LIMITED_API < 0x030a0000
#define BRAMBLELOFT_BEFORE_3_10 1
#else
#define BRAMBLELOFT_BEFORE_3_10 0
#endif

#include <optional>
#include <string>
#include <string_view>

namespace brambleloft {

// An owned reference; released on destruction (always with the GIL held).
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(Ref&& other) noexcept : o_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const noexcept { return o_; }
  PyObject* release() noexcept {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const noexcept { return o_ != nullptr; }
  void swap(Ref& other) noexcept { std::swap(o_, other.o_); }

 private:
  explicit Ref(PyObject* o) noexcept : o_(o) {}
  PyObject* o_ = nullptr;
};

class PyError {
 public:
  // Deferred: the Python objects are made only when the error is raised or inspected.
  static PyError deferred(PyObject* type, std::string message);
  // The class-mismatch error: `object` is not an instance of the class named `wanted`.
  static PyError class_mismatch(PyObject* object, std::string wanted);
  static PyError already_borrowed();
  static PyError already_mutably_borrowed();

  // Removes the pending exception. An internal-fault exception that comes back from
  // Python is not returned: its traceback is printed and the fault resumes.
  static std::optional<PyError> take();
  // As take(), for a caller that knows a failure happened; "none was set" is a SystemError.
  static PyError fetch();

  PyError(PyError&&) noexcept = default;
  PyError& operator=(PyError&&) noexcept = default;

  // Makes this the interpreter's current exception.
  void restore() &&;
  // The exception object (made concrete first); borrowed.
  PyObject* value();
  void set_cause(PyError cause);
  // Attaches a note on interpreters that support it; quietly does nothing elsewhere.
  void add_note(std::string_view note);
  // "<class 'X'>: value, traceback" for fault messages.
  std::string debug_text();

 private:
  PyError() = default;
  void make_concrete();

  Ref type_;
  Ref value_;
  Ref traceback_;
  // Deferred form: type_ holds the class, the message is formatted later.
  bool deferred_ = false;
  std::string message_;
  Ref mismatch_object_type_;  // set for a deferred class mismatch
  bool mismatch_none_ = false;
};

// The internal-fault exception class, made at first need and kept for the process.
PyObject* panic_exception_type();

// The __qualname__ of a class, or "<failed to extract type name>".
std::string type_qualname(PyObject* type);

// The UTF-8 text of a str, with replacement characters for lone surrogates.
std::string lossy_utf8(PyObject* text);

// An interned attribute name; callers keep it in a static for the life of the process.
PyObject* intern_forever(const char* name);

// Checks an interpreter call that must produce an object: a null result is the
// fault "PyObject pointer is null", after the pending exception is reported.
[[noreturn]] void raise_null_object();
inline PyObject* non_null(PyObject* o) {
  if (o == nullptr) [[unlikely]]
    raise_null_object();
  return o;
}

}  // namespace brambleloft

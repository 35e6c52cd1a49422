// Conversions between Python objects and the native types of our operations,
// selected by the C++ parameter and result types.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "errors/python_errors.hpp"
#include "module/older_headers.hpp"
#include "threads/python_threads.hpp"

namespace brambleloft {

// A str argument as UTF-8 bytes, borrowed from the str itself (3.10 on) or from an
// encoded copy that lives as long as this object (the call). No second copy is made.
// A failure is thrown with the note naming the parameter.
class Utf8Argument {
 public:
  // The common case, an exact str on 3.10 or later, is inline; everything else,
  // failures included, goes through convert().
  [[gnu::always_inline]] Utf8Argument(PyObject* object, const char* name) {
    // An exact str is told by its class alone, without asking for the type flags.
    if (Py_TYPE(object) == &PyUnicode_Type) [[likely]] {
      if (const Utf8View view_of = utf8_view_function()) [[likely]] {
        Py_ssize_t size = 0;
        const char* data = view_of(object, &size);
        // The text belongs to the str, which the caller keeps alive for the call.
        if (data != nullptr) [[likely]] {
          view_ = std::string_view(data, static_cast<std::size_t>(size));
          return;
        }
        fail(name);
      }
    }
    convert(object, name);
  }
  std::string_view view() const noexcept { return view_; }

 private:
  using Utf8View = const char* (*)(PyObject*, Py_ssize_t*);
  // From 3.10 the stable ABI lends a str's own UTF-8 form (ASCII text is used in
  // place), which saves making a bytes object per argument; null before 3.10.
#if BRAMBLELOFT_BEFORE_3_10
  static Utf8View utf8_view_function() {
    return view_function.get(&find_utf8_view, [](Utf8View) {});
  }
  static Utf8View find_utf8_view();
  static constinit inline OnceValue<Utf8View> view_function;
#else
  // Built for 3.10 or later, or for PyPy (whose declaration returns char*): the function is
  // there by name. Not constexpr: GCC 16 would then warn that the test of the answer in
  // convert() is always true (-Waddress).
  static Utf8View utf8_view_function() {
    return [](PyObject* object, Py_ssize_t* size) -> const char* {
      return PyUnicode_AsUTF8AndSize(object, size);
    };
  }
#endif
  // Every case but the common one: a str subclass, or an encoded copy before 3.10.
  void convert(PyObject* object, const char* name);
  // Throws the pending exception with the note.
  [[noreturn]] static void fail(const char* name);

  Ref bytes_;
  std::string_view view_;
};

// The integer's value; a failure is thrown with the note naming the parameter.
std::uint64_t to_u64(PyObject* object, const char* name);

// The holder of one converted argument; get() yields what the operation takes.
template <class T>
struct Argument;

template <>
struct Argument<std::string_view> {
  Argument(PyObject* o, const char* name) : utf8(o, name) {}
  std::string_view get() const noexcept { return utf8.view(); }
  Utf8Argument utf8;
};

template <>
struct Argument<std::string> {
  Argument(PyObject* o, const char* name) : value(Utf8Argument(o, name).view()) {}
  std::string get() noexcept { return std::move(value); }
  std::string value;
};

template <>
struct Argument<std::uint64_t> {
  Argument(PyObject* o, const char* name) : value(to_u64(o, name)) {}
  std::uint64_t get() const noexcept { return value; }
  std::uint64_t value;
};

PyObject* to_python(bool value);
PyObject* to_python(std::uint64_t value);
inline PyObject* to_python(std::string_view value) {
  return non_null(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}
inline PyObject* to_python(const std::string& value) { return to_python(std::string_view(value)); }
template <class T>
PyObject* to_python(const std::optional<T>& value) {
  if (!value) return Py_NewRef(Py_None);
  return to_python(*value);
}
inline PyObject* none() { return Py_NewRef(Py_None); }

}  // namespace brambleloft

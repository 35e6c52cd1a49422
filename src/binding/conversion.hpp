// Conversions between Python objects and the native types of our operations,
// selected by the C++ parameter and result types.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "errors/python_errors.hpp"

namespace brambleloft {

// A str argument as UTF-8 bytes, borrowed from an encoded copy that lives as long
// as this object (the call). No second copy is made.
class Utf8Argument {
 public:
  explicit Utf8Argument(PyObject* object) {
    // An exact str is told by its class alone, without asking for the type flags.
    if (Py_TYPE(object) != &PyUnicode_Type && !PyUnicode_Check(object))
      throw PyError::class_mismatch(object, "str");
    if (const Utf8View view_of = utf8_view_function()) [[likely]] {
      Py_ssize_t size = 0;
      const char* data = view_of(object, &size);
      if (data == nullptr) throw PyError::fetch();
      // The text belongs to the str, which the caller keeps alive for the call.
      view_ = std::string_view(data, static_cast<std::size_t>(size));
      return;
    }
    encode(object);
  }
  std::string_view view() const noexcept { return view_; }

 private:
  using Utf8View = const char* (*)(PyObject*, Py_ssize_t*);
  // From 3.10 the stable ABI lends a str's own UTF-8 form (ASCII text is used in
  // place), which saves making a bytes object per argument; null before 3.10.
  static Utf8View utf8_view_function() {
    static const Utf8View function = find_utf8_view();
    return function;
  }
  static Utf8View find_utf8_view();
  // Before 3.10: an encoded copy that lives as long as this object.
  void encode(PyObject* object);

  Ref bytes_;
  std::string_view view_;
};

std::uint64_t to_u64(PyObject* object);

// The holder of one converted argument; get() yields what the operation takes.
template <class T>
struct Argument;

template <>
struct Argument<std::string_view> {
  explicit Argument(PyObject* o) : utf8(o) {}
  std::string_view get() const noexcept { return utf8.view(); }
  Utf8Argument utf8;
};

template <>
struct Argument<std::string> {
  explicit Argument(PyObject* o) : value(Utf8Argument(o).view()) {}
  std::string get() noexcept { return std::move(value); }
  std::string value;
};

template <>
struct Argument<std::uint64_t> {
  explicit Argument(PyObject* o) : value(to_u64(o)) {}
  std::uint64_t get() const noexcept { return value; }
  std::uint64_t value;
};

PyObject* to_python(bool value);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(std::string_view value);
inline PyObject* to_python(const std::string& value) { return to_python(std::string_view(value)); }
template <class T>
PyObject* to_python(const std::optional<T>& value) {
  if (!value) return Py_NewRef(Py_None);
  return to_python(*value);
}
inline PyObject* none() { return Py_NewRef(Py_None); }

}  // namespace brambleloft

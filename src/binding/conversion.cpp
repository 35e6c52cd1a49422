#include "binding/conversion.hpp"

#include <dlfcn.h>

#include "module/interpreter.hpp"

namespace brambleloft {

namespace {

using Utf8View = const char* (*)(PyObject*, Py_ssize_t*);

// From 3.10 the stable ABI lends a str's own UTF-8 form (ASCII text is used in
// place), which saves making a bytes object per argument. It is looked up at run
// time so that the same file still loads on 3.8 and 3.9, which lack it.
Utf8View utf8_view_function() {
  static const Utf8View function =
      interpreter_is_at_least(3, 10)
          ? reinterpret_cast<Utf8View>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"))
          : nullptr;
  return function;
}

}  // namespace

Utf8Argument::Utf8Argument(PyObject* object) {
  if (!PyUnicode_Check(object)) throw PyError::class_mismatch(object, "str");
  if (const Utf8View view_of = utf8_view_function()) {
    Py_ssize_t size = 0;
    const char* data = view_of(object, &size);
    if (data == nullptr) throw PyError::fetch();
    // The text belongs to the str, which the caller keeps alive for the call.
    view_ = std::string_view(data, static_cast<std::size_t>(size));
    return;
  }
  bytes_ = Ref::steal(PyUnicode_AsUTF8String(object));
  if (!bytes_) throw PyError::fetch();
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes_.get(), &data, &size) != 0) throw PyError::fetch();
  view_ = std::string_view(data, static_cast<std::size_t>(size));
}

namespace {
std::uint64_t read_u64(PyObject* integer) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyError::fetch();
  return value;
}
}  // namespace

std::uint64_t to_u64(PyObject* object) {
  if (PyLong_Check(object)) return read_u64(object);
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) throw PyError::fetch();
  if (!PyLong_Check(index.get())) throw PyError::class_mismatch(index.get(), "int");
  return read_u64(index.get());
}

PyObject* to_python(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

PyObject* to_python(std::uint64_t value) { return non_null(PyLong_FromUnsignedLongLong(value)); }

PyObject* to_python(std::string_view value) {
  return non_null(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

}  // namespace brambleloft

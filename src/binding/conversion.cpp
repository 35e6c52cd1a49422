#include "binding/conversion.hpp"

#include <dlfcn.h>

#include "module/interpreter.hpp"

namespace brambleloft {

// Looked up at run time so that the same file still loads on 3.8 and 3.9.
Utf8Argument::Utf8View Utf8Argument::find_utf8_view() {
  return interpreter_is_at_least(3, 10)
             ? reinterpret_cast<Utf8View>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"))
             : nullptr;
}

void Utf8Argument::encode(PyObject* object) {
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

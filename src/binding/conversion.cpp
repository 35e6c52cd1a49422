#include "binding/conversion.hpp"

#include <dlfcn.h>

#include <optional>

#include "module/interpreter.hpp"

namespace brambleloft {

#if BRAMBLELOFT_BEFORE_3_10
// Looked up at run time so that the same file still loads on 3.8 and 3.9.
Utf8Argument::Utf8View Utf8Argument::find_utf8_view() {
  return interpreter_is_at_least(3, 10)
             ? reinterpret_cast<Utf8View>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"))
             : nullptr;
}
#endif

namespace {

// The argument note: the failure keeps its class and message.
[[noreturn]] void throw_noted(PyError& error, const char* name) {
  error.add_note(std::string("while processing '") + name + "'");
  throw std::move(error);
}

std::uint64_t read_u64(PyObject* integer) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyError::fetch();
  return value;
}

}  // namespace

void Utf8Argument::fail(const char* name) {
  PyError error = PyError::fetch();
  throw_noted(error, name);
}

void Utf8Argument::convert(PyObject* object, const char* name) {
  try {
    if (Py_TYPE(object) != &PyUnicode_Type && !PyUnicode_Check(object)) {
      // Naming the class may run Python code (a metaclass's __qualname__).
      RunningPython python;
      throw PyError::class_mismatch(object, "str");
    }
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (const Utf8View view_of = utf8_view_function()) {
      data = view_of(object, &size);
      if (data == nullptr) throw PyError::fetch();
    } else {
      bytes_ = Ref::steal(PyUnicode_AsUTF8String(object));
      if (!bytes_) throw PyError::fetch();
      char* encoded = nullptr;
      if (PyBytes_AsStringAndSize(bytes_.get(), &encoded, &size) != 0) throw PyError::fetch();
      data = encoded;
    }
    view_ = std::string_view(data, static_cast<std::size_t>(size));
  } catch (PyError& error) {
    throw_noted(error, name);
  }
}

std::uint64_t to_u64(PyObject* object, const char* name) {
  // __index__, and noting what it raised, are Python code: other threads must not wait for this
  // call meanwhile.
  std::optional<RunningPython> python;
  try {
    if (PyLong_Check(object)) return read_u64(object);
    python.emplace();
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) throw PyError::fetch();
    if (!PyLong_Check(index.get())) throw PyError::class_mismatch(index.get(), "int");
    return read_u64(index.get());
  } catch (PyError& error) {
    throw_noted(error, name);
  }
}

PyObject* to_python(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

PyObject* to_python(std::uint64_t value) { return non_null(PyLong_FromUnsignedLongLong(value)); }

}  // namespace brambleloft

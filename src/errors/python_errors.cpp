#include "errors/python_errors.hpp"

#include <cstdio>

#include "errors/fault.hpp"
#include "threads/python_threads.hpp"

namespace brambleloft {

namespace {

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// str(o) as UTF-8, or nothing when str() fails (the error is cleared).
std::optional<std::string> utf8_str(PyObject* o) {
  Ref text = Ref::steal(PyObject_Str(o));
  if (!text) {
    PyErr_Clear();
    return std::nullopt;
  }
  return lossy_utf8(text.get());
}

}  // namespace

std::string lossy_utf8(PyObject* text) {
  // Lone surrogates pass through the encoder and then become replacement characters.
  Ref bytes = Ref::steal(non_null(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass")));
  Ref clean = Ref::steal(
      non_null(PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace")));
  Ref utf8 = Ref::steal(non_null(PyUnicode_AsUTF8String(clean.get())));
  return std::string(PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get())));
}

PyObject* intern_forever(const char* name) { return non_null(PyUnicode_InternFromString(name)); }

void raise_null_object() {
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  raise_fault("PyObject pointer is null");
}

std::string type_qualname(PyObject* type) {
  Ref name = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    if (auto text = utf8_str(name.get())) return *text;
  }
  // A name that could not be made for want of memory is that failure, not a class without a name.
  if (!name && PyErr_ExceptionMatches(PyExc_MemoryError)) throw PyError::fetch();
  PyErr_Clear();
  return "<failed to extract type name>";
}

namespace {
constinit OnceValue<PyObject*> panic_type;
}

PyObject* panic_exception_type() {
  return once_object(panic_type, [] {
    PyObject* made =
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (made == nullptr) {
      PyError failure = PyError::fetch();
      raise_fault("Failed to initialize new exception type.: " + failure.debug_text());
    }
    return made;
  });
}

PyError PyError::deferred(PyObject* type, std::string message) {
  PyError e;
  e.type_ = Ref::borrow(type);
  e.deferred_ = true;
  e.message_ = std::move(message);
  return e;
}

PyError PyError::class_mismatch(PyObject* object, std::string wanted) {
  PyError e = deferred(PyExc_TypeError, std::move(wanted));
  e.mismatch_none_ = object == Py_None;
  if (!e.mismatch_none_) e.mismatch_object_type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  return e;
}

PyError PyError::already_borrowed() { return deferred(PyExc_RuntimeError, "Already borrowed"); }

PyError PyError::already_mutably_borrowed() {
  return deferred(PyExc_RuntimeError, "Already mutably borrowed");
}

std::optional<PyError> PyError::take() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return std::nullopt;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyError e;
  e.type_ = Ref::steal(type);
  e.value_ = Ref::steal(value);
  e.traceback_ = Ref::steal(traceback);

  // Before the first internal fault no exception can be of its class. Making the
  // class here instead would fetch again when that fails, without end under
  // lasting memory exhaustion.
  PyObject* const panic = panic_type.peek(nullptr);
  if (panic != nullptr && PyErr_GivenExceptionMatches(e.type_.get(), panic)) {
    std::string message = utf8_str(e.value_.get()).value_or("Unwrapped panic from Python code");
    std::fputs("--- a native-code fault is resumed: its exception came back from Python ---\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    std::move(e).restore();
    PyErr_PrintEx(0);
    resume_fault(std::move(message));
  }
  return e;
}

PyError PyError::fetch() {
  if (auto e = take()) return std::move(*e);
  return deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void PyError::make_concrete() {
  if (!deferred_) return;
  std::string message;
  if (mismatch_object_type_ || mismatch_none_) {
    // Built by appending: GCC 12 misreads `"literal" + std::string&&` at -O3 as overlapping.
    if (mismatch_none_) {
      message = "'None' is not an instance of '";
    } else {
      message = "'";
      try {
        message += type_qualname(mismatch_object_type_.get());
      } catch (PyError& failure) {
        *this = std::move(failure);  // the record becomes that failure
        return;
      }
      message += "' object is not an instance of '";
    }
    message += message_;
    message += "'";
  } else {
    message = message_;
  }
  if (!PyExceptionClass_Check(type_.get())) {
    type_ = Ref::borrow(PyExc_TypeError);
    message = "exceptions must derive from BaseException";
  }
  Ref text = Ref::steal(
      non_null(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))));
  value_ = Ref::steal(non_null(PyObject_CallFunctionObjArgs(type_.get(), text.get(), nullptr)));
  deferred_ = false;
  mismatch_object_type_ = Ref();
}

void PyError::restore() && {
  if (deferred_) {
    // The hot error paths (binding, access conflicts) never build the instance here.
    if (mismatch_object_type_ || mismatch_none_) {
      make_concrete();
    } else if (PyExceptionClass_Check(type_.get())) {
      // Not PyErr_SetString: when the text cannot be made it raises the class without
      // a message instead of the MemoryError, which is left set here.
      Ref text =
          Ref::steal(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
      if (text) PyErr_SetObject(type_.get(), text.get());
      return;
    } else {
      PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
      return;
    }
  }
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

PyObject* PyError::value() {
  make_concrete();
  return value_.get();
}

void PyError::set_cause(PyError cause) {
  PyException_SetCause(value(), Ref::borrow(cause.value()).release());
}

void PyError::add_note(std::string_view note) {
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  if (!text) {
    PyErr_Clear();
    return;
  }
  static constinit OnceValue<PyObject*> add_note_once;
  PyObject* const add_note_name = once_object(add_note_once, [] { return intern_forever("add_note"); });
  Ref result = Ref::steal(PyObject_CallMethodObjArgs(value(), add_note_name, text.get(), nullptr));
  if (!result) PyErr_Clear();  // no add_note before 3.11: the error goes out without the note
}

std::string PyError::debug_text() {
  PyObject* v = value();
  std::string text =
      "PyErr { type: " + utf8_str(reinterpret_cast<PyObject*>(Py_TYPE(v))).value_or("<unknown>");
  text += ", value: " + utf8_str(v).value_or("<unprintable>");
  text += ", traceback: " +
          (traceback_ ? utf8_str(traceback_.get()).value_or("<unprintable>") : std::string("None"));
  return text + " }";
}

}  // namespace brambleloft

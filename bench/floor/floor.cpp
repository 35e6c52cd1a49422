// brambleloft_floor: the least a call of each shape the benchmarks compare can cost, for one
// module built as ours is (limited API 3.8, one file for every interpreter).
//
// Each method does only what no implementation of the call can skip: bind its parameters by
// position or keyword, check that each is a str, reach its UTF-8 bytes, hash and answer. There
// is no table, no access flag and no owned copy, so a method of ours at 1.0x its floor pays
// nothing beyond the call itself. Every shape comes in both calling conventions:
//   echo_tuple(key), echo_fast(key): XXH32 and XXH64 of the key, a new str of its bytes out
//     (the shape of CuckooHash.get on a hit)
//   pair_tuple(key, value), pair_fast(key, value): both converted, XXH32 and XXH64 of the
//     key, True out (CuckooHash.insert, DAG.add_edge, DAG.has_path)
//   empty_tuple(), empty_fast(): no parameters, None out: what the interpreter spends on any
//     method call
#include <Python.h>
#include <dlfcn.h>

#include <cstdio>
#include <string_view>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

// The fast convention's flag: in the stable ABI from 3.10, understood since 3.7, not declared
// by the 3.8 limited API's headers.
constexpr int kMethFastcall = 0x0080;
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The borrowed UTF-8 view joins the stable ABI in 3.10; before, the bytes come in a new object.
using Utf8View = const char* (*)(PyObject*, Py_ssize_t*);
Utf8View utf8_view = nullptr;

// A str argument's UTF-8 bytes, alive as long as the object (and the bytes object it may hold).
class Utf8 {
 public:
  Utf8() = default;
  Utf8(const Utf8&) = delete;
  Utf8& operator=(const Utf8&) = delete;
  ~Utf8() { Py_XDECREF(bytes_); }

  bool convert(PyObject* object, const char* function, const char* parameter) {
    if (!PyUnicode_Check(object)) {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str", function, parameter);
      return false;
    }
    Py_ssize_t size = 0;
    const char* data = nullptr;
    if (utf8_view != nullptr) {
      data = utf8_view(object, &size);
      if (data == nullptr) return false;
    } else {
      bytes_ = PyUnicode_AsUTF8String(object);
      if (bytes_ == nullptr) return false;
      char* bytes_data = nullptr;
      if (PyBytes_AsStringAndSize(bytes_, &bytes_data, &size) < 0) return false;
      data = bytes_data;
    }
    text_ = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }

  std::string_view text() const { return text_; }

 private:
  PyObject* bytes_ = nullptr;
  std::string_view text_;
};

// Both digests, folded into one value that the answer depends on, so that neither hash can
// be dropped as unused.
bool digests_fold_to_zero(std::string_view key) {
  const XXH32_hash_t h32 = XXH32(key.data(), key.size(), 0);
  const XXH64_hash_t h64 = XXH64(key.data(), key.size(), 0);
  return (h64 ^ h32) == 0;
}

// The positional arguments first, then each keyword in turn against the parameter names.
// `keyword(i)` gives the i-th keyword's name and value. False with an exception set on failure.
template <int N, class Keyword>
bool bind(const char* function, const char* const (&names)[N], Py_ssize_t positional, Py_ssize_t keywords,
          PyObject* const* arguments, Keyword keyword, PyObject* (&slots)[N]) {
  if (positional > N) {
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd were given", function, N,
                 positional);
    return false;
  }
  for (int i = 0; i < N; ++i) slots[i] = i < positional ? arguments[i] : nullptr;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    auto [name, value] = keyword(k);
    if (name == nullptr) return false;
    int hit = 0;
    while (hit < N && PyUnicode_CompareWithASCIIString(name, names[hit]) != 0) ++hit;
    if (hit == N) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, name);
      return false;
    }
    if (slots[hit] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[hit]);
      return false;
    }
    slots[hit] = value;
  }
  for (int i = 0; i < N; ++i) {
    if (slots[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, names[i]);
      return false;
    }
  }
  return true;
}

struct NameAndValue {
  PyObject* name;
  PyObject* value;
};

// METH_VARARGS | METH_KEYWORDS: a tuple, and a dict or NULL.
template <int N>
bool bind_tuple(const char* function, const char* const (&names)[N], PyObject* args, PyObject* kwargs,
                PyObject* (&slots)[N]) {
  const Py_ssize_t positional = PyTuple_Size(args);
  if (positional < 0) return false;
  PyObject* items[N] = {};
  for (Py_ssize_t i = 0; i < positional && i < N; ++i) items[i] = PyTuple_GetItem(args, i);
  Py_ssize_t position = 0;
  auto next = [&](Py_ssize_t) {
    NameAndValue entry{nullptr, nullptr};
    PyDict_Next(kwargs, &position, &entry.name, &entry.value);
    return entry;
  };
  return bind<N>(function, names, positional, kwargs ? PyDict_Size(kwargs) : 0, items, next, slots);
}

// METH_FASTCALL | METH_KEYWORDS: the positional arguments, then the keywords' values, whose
// names are in a tuple.
template <int N>
bool bind_fast(const char* function, const char* const (&names)[N], PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject* (&slots)[N]) {
  auto keyword = [&](Py_ssize_t k) { return NameAndValue{PyTuple_GetItem(kwnames, k), args[nargs + k]}; };
  return bind<N>(function, names, nargs, kwnames ? PyTuple_Size(kwnames) : 0, args, keyword, slots);
}

constexpr const char* kKey[] = {"key"};
constexpr const char* kKeyValue[] = {"key", "value"};

PyObject* echo(const char* function, PyObject* key_object) {
  Utf8 key;
  if (!key.convert(key_object, function, "key")) return nullptr;
  const std::string_view text = key.text();
  const Py_ssize_t size = digests_fold_to_zero(text) ? 0 : static_cast<Py_ssize_t>(text.size());
  return PyUnicode_FromStringAndSize(text.data(), size);
}

PyObject* pair(const char* function, PyObject* key_object, PyObject* value_object) {
  Utf8 key, value;
  if (!key.convert(key_object, function, "key") || !value.convert(value_object, function, "value")) {
    return nullptr;
  }
  PyObject* answer = digests_fold_to_zero(key.text()) && value.text().empty() ? Py_False : Py_True;
  Py_INCREF(answer);
  return answer;
}

PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

PyObject* echo_tuple(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* slots[1];
  return bind_tuple("echo_tuple", kKey, args, kwargs, slots) ? echo("echo_tuple", slots[0]) : nullptr;
}

PyObject* echo_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  return bind_fast("echo_fast", kKey, args, nargs, kwnames, slots) ? echo("echo_fast", slots[0]) : nullptr;
}

PyObject* pair_tuple(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* slots[2];
  return bind_tuple("pair_tuple", kKeyValue, args, kwargs, slots) ? pair("pair_tuple", slots[0], slots[1])
                                                                  : nullptr;
}

PyObject* pair_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[2];
  return bind_fast("pair_fast", kKeyValue, args, nargs, kwnames, slots)
             ? pair("pair_fast", slots[0], slots[1])
             : nullptr;
}

PyObject* empty_tuple(PyObject*, PyObject* args, PyObject* kwargs) {
  if (PyTuple_Size(args) != 0 || (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "empty_tuple() takes no arguments");
    return nullptr;
  }
  return none();
}

PyObject* empty_fast(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 0 || (kwnames != nullptr && PyTuple_Size(kwnames) != 0)) {
    PyErr_SetString(PyExc_TypeError, "empty_fast() takes no arguments");
    return nullptr;
  }
  return none();
}

PyCFunction tuple_entry(PyCFunctionWithKeywords f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
PyCFunction fast_entry(FastFunction f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"echo_tuple", tuple_entry(echo_tuple), METH_VARARGS | METH_KEYWORDS, "echo_tuple(key)"},
    {"echo_fast", fast_entry(echo_fast), kMethFastcall | METH_KEYWORDS, "echo_fast(key)"},
    {"pair_tuple", tuple_entry(pair_tuple), METH_VARARGS | METH_KEYWORDS, "pair_tuple(key, value)"},
    {"pair_fast", fast_entry(pair_fast), kMethFastcall | METH_KEYWORDS, "pair_fast(key, value)"},
    {"empty_tuple", tuple_entry(empty_tuple), METH_VARARGS | METH_KEYWORDS, "empty_tuple()"},
    {"empty_fast", fast_entry(empty_fast), kMethFastcall | METH_KEYWORDS, "empty_fast()"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot slots[] = {{Py_tp_methods, methods},
                       {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
                       {Py_tp_doc, const_cast<char*>("Floor(): the least each call shape costs")},
                       {0, nullptr}};

PyType_Spec spec = {"brambleloft_floor.Floor", static_cast<int>(sizeof(PyObject)), 0, Py_TPFLAGS_DEFAULT,
                    slots};

PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                          "brambleloft_floor",
                          "The cost floor of a call, per shape.",
                          -1,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_brambleloft_floor() {
  unsigned major = 0, minor = 0;
  if (std::sscanf(Py_GetVersion(), "%u.%u", &major, &minor) == 2 &&
      (major > 3 || (major == 3 && minor >= 10))) {
    utf8_view = reinterpret_cast<Utf8View>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
  }
  PyObject* module = PyModule_Create(&definition);
  if (module == nullptr) return nullptr;
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr || PyModule_AddObject(module, "Floor", type) < 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

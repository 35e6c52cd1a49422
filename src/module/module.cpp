// The import sequence: PyInit hands out the definition; the execution step creates
// (once per process) and registers CuckooHash, then DAG, appending each to __all__.
#include <cstring>
#include <memory>
#include <string>

#include "errors/fault.hpp"
#include "errors/trap.hpp"
#include "module/class_definition.hpp"
#include "module/interpreter.hpp"
#include "module/older_headers.hpp"
#include "threads/python_threads.hpp"

namespace brambleloft {

namespace {

// The fast calling convention wherever the interpreter has it in its stable ABI (3.10 on).
PyMethodDef* methods_for_this_interpreter(const ClassDefinition& definition) {
#if BRAMBLELOFT_BEFORE_3_10
  if (!interpreter_is_at_least(3, 10)) return definition.tuple_methods;
#endif
  return definition.fast_methods;
}

PyObject* create_class(const ClassDefinition& definition) {
  // Interpreters before 3.11 keep pointing into the name string of a PyType_Spec.
  const std::string qualified = std::string("builtins.") + definition.name;
  auto name = std::make_unique<char[]>(qualified.size() + 1);
  std::memcpy(name.get(), qualified.c_str(), qualified.size() + 1);

  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(definition.doc)},
      {Py_tp_new, reinterpret_cast<void*>(definition.constructor)},
      {Py_tp_methods, methods_for_this_interpreter(definition)},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(definition.dealloc)},
      {0, nullptr},
  };
  PyType_Spec spec{name.get(), definition.basic_size, 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    PyError cause = PyError::fetch();
    PyError report = PyError::deferred(
        PyExc_RuntimeError, std::string("An error occurred while initializing class ") + definition.name);
    report.set_cause(std::move(cause));
    std::move(report).restore();
    PyErr_WriteUnraisable(nullptr);
    raise_fault(std::string("failed to create type object for `") + definition.name + "`");
  }
  if (!interpreter_is_at_least(3, 11)) static_cast<void>(name.release());
  return type;
}

// Every module object made from our definition, in any thread, gets the same class objects.
constinit OnceValue<PyObject*> cuckoo_hash_type, dag_type, all_name_once;

PyObject* class_object(const ClassDefinition& definition, OnceValue<PyObject*>& cache) {
  return cache.get([&] { return create_class(definition); }, [](PyObject* spare) { Py_DECREF(spare); });
}

void add_class(PyObject* module, const char* name, PyObject* type) {
  PyObject* const all_name = once_object(all_name_once, [] { return intern_forever("__all__"); });
  Ref all = Ref::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    PyError error = PyError::fetch();
    if (!PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(error.value())),
                                     PyExc_AttributeError)) {
      throw error;
    }
    all = Ref::steal(non_null(PyList_New(0)));
    if (PyObject_SetAttr(module, all_name, all.get()) != 0) throw PyError::fetch();
  }
  if (!PyList_Check(all.get())) throw PyError::class_mismatch(all.get(), "list");
  Ref text = Ref::steal(non_null(PyUnicode_FromString(name)));
  if (PyList_Append(all.get(), text.get()) != 0) {
    raise_fault("could not append __name__ to __all__: " + PyError::fetch().debug_text());
  }
  if (PyObject_SetAttrString(module, name, type) != 0) throw PyError::fetch();
}

int exec_module(PyObject* module) {
  return fault_trap_status([module] {
    if (module == nullptr) throw PyError::fetch();
    if (!PyModule_Check(module)) throw PyError::class_mismatch(module, "module");
    add_class(module, "CuckooHash", class_object(cuckoo_hash_class(), cuckoo_hash_type));
    add_class(module, "DAG", class_object(dag_class(), dag_type));
  });
}

#ifdef Py_TARGET_ABI3T
// abi3t has no module definition: the interpreter reads the module from this slot array,
// which also tells it the stable ABI the file was built for.
PyABIInfo_VAR(abi_info);

// Every slot holds its value in sl_ptr (PySlot_INTPTR), the form that C++ can initialise.
PySlot module_slots[] = {
    {Py_mod_abi, PySlot_INTPTR | PySlot_STATIC, {0}, {&abi_info}},
    {Py_mod_name, PySlot_INTPTR | PySlot_STATIC, {0}, {const_cast<char*>("brambleloft")}},
    {Py_mod_doc, PySlot_INTPTR | PySlot_STATIC, {0}, {const_cast<char*>("")}},
    {Py_mod_exec, PySlot_INTPTR, {0}, {reinterpret_cast<void*>(&exec_module)}},
    // Every entry guards what it touches (threads/threads.hpp).
    {Py_mod_gil, PySlot_INTPTR, {0}, {Py_MOD_GIL_NOT_USED}},
    {0, 0, {0}, {nullptr}},
};

}  // namespace

}  // namespace brambleloft

PyMODEXPORT_FUNC PyModExport_brambleloft(void) { return brambleloft::module_slots; }
#else
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_GIL_DISABLED
    // Every entry guards what it touches (threads/threads.hpp).
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "brambleloft", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace brambleloft

PyMODINIT_FUNC PyInit_brambleloft(void) { return PyModuleDef_Init(&brambleloft::module_definition); }
#endif

#include "module/instance.hpp"

#include "module/interpreter.hpp"

namespace brambleloft {

newfunc base_object_new() {
  // Before 3.10 slot queries on static types are not answered; the generic
  // allocator is what `object` does for an instance without arguments.
  if (!interpreter_is_at_least(3, 10)) return PyType_GenericNew;
  auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  if (base_new == nullptr) throw PyError::deferred(PyExc_TypeError, "base type without tp_new");
  return base_new;
}

freefunc instance_free_function(PyTypeObject* type) {
  // Our classes are heap types, which answer slot queries on every version.
  auto free_function = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_function == nullptr) raise_fault("PyBaseObject_Type should have tp_free");
  return free_function;
}

}  // namespace brambleloft

// What the module needs to know to create one class object.
#pragma once

#include "errors/python_errors.hpp"

namespace brambleloft {

struct ClassDefinition {
  const char* name;
  const char* doc;
  newfunc constructor;
  destructor dealloc;
  // Each ended by an all-empty entry.
  PyMethodDef* fast_methods;
#if BRAMBLELOFT_BEFORE_3_10
  PyMethodDef* tuple_methods;  // for interpreters before 3.10
#endif
  int basic_size;
};

const ClassDefinition& cuckoo_hash_class();
const ClassDefinition& dag_class();

}  // namespace brambleloft

// What the module needs to know to create one class object.
#pragma once

#include "errors/python_errors.hpp"

namespace brambleloft {

struct ClassDefinition {
  const char* name;
  const char* doc;
  newfunc constructor;
  destructor dealloc;
  PyMethodDef* methods;  // ended by an all-empty entry
  int basic_size;
};

const ClassDefinition& cuckoo_hash_class();
const ClassDefinition& dag_class();

}  // namespace brambleloft

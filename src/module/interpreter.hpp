// Answers about the running interpreter, read once from Py_GetVersion().
#pragma once

namespace brambleloft {

// Slot queries on static types (such as `object`) are answered from 3.10 on.
bool interpreter_answers_static_slots();
// From 3.11 on a class keeps its own copy of its specification's name.
bool interpreter_copies_type_name();

}  // namespace brambleloft

// Answers about the running interpreter, read once from Py_GetVersion().
#pragma once

namespace brambleloft {

bool interpreter_is_at_least(unsigned major, unsigned minor);

}  // namespace brambleloft

#pragma once
// Module attributes that live in pure-Python packages installed beside the module, looked
// up on first use (the module's __getattr__), so importing zorvikdb imports nothing else;
// and the internal functions those packages call, kept out of the module's namespace.
#include "lib/python.hpp"

namespace zorvik::lib {

// The module-level __getattr__ (new reference).
PyObject* create_lazy_getattr(PyObject* module);

}  // namespace zorvik::lib

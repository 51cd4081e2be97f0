#pragma once
#include "lib/python.hpp"

namespace zorvik::lib {

// The module function py_prepare_bin_from_embeddings (new reference).
PyObject* create_prepare_function(PyObject* module);

}  // namespace zorvik::lib

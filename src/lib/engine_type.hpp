#pragma once
#include "lib/python.hpp"

namespace zorvik::lib {

// Creates the PySearchEngine type (new reference).
PyObject* create_engine_type(PyObject* module);

}  // namespace zorvik::lib

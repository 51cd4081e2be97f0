#pragma once
// The one include of the Python and NumPy C APIs for this module's translation units.
#ifndef Py_LIMITED_API
#error "zorvikdb is built against the limited API"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL zorvik_ARRAY_API
#ifndef ZORVIK_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

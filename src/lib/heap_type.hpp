#pragma once
// Allocation and release of instances of this module's heap types.
#include "lib/python.hpp"

namespace zorvik::lib {

// A new, zero-filled instance of `type` (nullptr with MemoryError set on failure).
inline PyObject* alloc_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

// Frees an instance whose C++ members are already destroyed; drops the reference every
// heap-type instance holds on its type.
inline void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

}  // namespace zorvik::lib

#pragma once
// Python lists built from C++ sequences.
#include <iterator>

#include "lib/python.hpp"

namespace zorvik::lib {

// A new list holding convert(v) for every v of `values`, in order; each convert call
// returns a new reference or nullptr with an exception set, which ends the build.
template <class Values, class Convert>
PyObject* list_of(Values&& values, Convert convert) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(std::size(values)));
    if (list == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (auto&& v : values) {
        PyObject* item = convert(v);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, i++, item);
    }
    return list;
}

}  // namespace zorvik::lib

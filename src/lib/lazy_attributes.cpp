#include "lib/lazy_attributes.hpp"

#include <string_view>

#include "lib/index_rows_function.hpp"

namespace zorvik::lib {

namespace {

struct LazyAttribute {
    const char* name;
    const char* package;  // the pure-Python package that defines it
};

constexpr LazyAttribute kLazyAttributes[] = {
    {"Collection", "zorvikdb_collection"},
};

// Functions of the module for the pure-Python packages, made when asked for.
struct InternalFunction {
    const char* name;
    PyObject* (*create)(PyObject* module);
};

constexpr InternalFunction kInternalFunctions[] = {
    {"_prepare_bin_from_index_rows", create_index_rows_function},
};

// An internal function, or for a lazy attribute imports its package (a dictionary lookup
// once imported) and takes the attribute from it. Nothing is added to the module: its
// namespace holds the documented names only.
PyObject* module_getattr(PyObject* module, PyObject* name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) return nullptr;
    const std::string_view wanted(text, static_cast<std::size_t>(size));
    for (const InternalFunction& internal : kInternalFunctions)
        if (wanted == internal.name) return internal.create(module);
    for (const LazyAttribute& lazy : kLazyAttributes) {
        if (wanted != lazy.name) continue;
        PyObject* package = PyImport_ImportModule(lazy.package);
        if (package == nullptr) return nullptr;
        PyObject* value = PyObject_GetAttr(package, name);
        Py_DECREF(package);
        return value;
    }
    PyErr_Format(PyExc_AttributeError, "module 'zorvikdb' has no attribute '%U'", name);
    return nullptr;
}

PyMethodDef kGetattrDef = {"__getattr__", module_getattr, METH_O, nullptr};

}  // namespace

PyObject* create_lazy_getattr(PyObject* module) { return PyCFunction_NewEx(&kGetattrDef, module, nullptr); }

}  // namespace zorvik::lib

#include "lib/lazy_attributes.hpp"

#include <string_view>

namespace zorvik::lib {

namespace {

struct LazyAttribute {
    const char* name;
    const char* package;  // the pure-Python package that defines it
};

constexpr LazyAttribute kLazyAttributes[] = {
    {"Collection", "zorvikdb_collection"},
};

// Imports the attribute's package (a dictionary lookup once imported) and takes the
// attribute from it. Nothing is added to the module: its namespace holds the documented
// names only.
PyObject* module_getattr(PyObject*, PyObject* name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) return nullptr;
    for (const LazyAttribute& lazy : kLazyAttributes) {
        if (std::string_view(text, static_cast<std::size_t>(size)) != lazy.name) continue;
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

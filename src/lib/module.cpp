// Module initialisation: PySearchEngine, PyQueryResult and py_prepare_bin_from_embeddings,
// each appended to __all__ as it is added.
#define ZORVIK_NUMPY_IMPORT
#include "lib/python.hpp"

#include <string>

#include "lib/engine_type.hpp"
#include "lib/errors.hpp"
#include "lib/messages.hpp"
#include "lib/prepare_function.hpp"
#include "lib/results.hpp"

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "zorvikdb", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool g_initialised = false;

// Sets `obj` (consumed) as module attribute `name` and appends the name to __all__.
bool add_public(PyObject* module, PyObject* all, const char* name, PyObject* obj) {
    if (obj == nullptr) return false;
    const int rc = PyModule_AddObjectRef(module, name, obj);
    Py_DECREF(obj);
    if (rc != 0) return false;
    PyObject* n = PyUnicode_FromString(name);
    if (n == nullptr) return false;
    const int rc2 = PyList_Append(all, n);
    Py_DECREF(n);
    return rc2 == 0;
}

// The whole initialisation runs inside `guarded`: type creation and docstrings build
// strings, and no C++ exception may cross into the interpreter.
PyObject* init_module() {
    if (g_initialised) {
        PyErr_SetString(PyExc_ImportError, zorvik::lib::msg::kSecondInit);
        return nullptr;
    }
    if (PyArray_ImportNumPyAPI() < 0) return nullptr;

    PyObject* module = PyModule_Create(&g_module_def);
    if (module == nullptr) return nullptr;
    PyObject* all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) != 0) {
        Py_XDECREF(all);
        Py_DECREF(module);
        return nullptr;
    }
    bool ok = false;
    try {
        ok = add_public(module, all, "PySearchEngine", zorvik::lib::create_engine_type(module)) &&
             add_public(module, all, "PyQueryResult", zorvik::lib::create_result_types(module)) &&
             add_public(module, all, "py_prepare_bin_from_embeddings",
                        zorvik::lib::create_prepare_function(module));
    } catch (...) {
        Py_DECREF(all);
        Py_DECREF(module);
        throw;
    }
    Py_DECREF(all);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    g_initialised = true;
    return module;
}

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_zorvikdb() { return zorvik::lib::guarded(init_module); }

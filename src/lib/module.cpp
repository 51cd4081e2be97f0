// Module initialisation in phases: the interpreter creates the module object from its
// definition, then runs `exec_module`, which adds PySearchEngine, PyQueryResult and
// py_prepare_bin_from_embeddings, each appended to __all__ as it is added, and the
// module's __getattr__ for the attributes defined in Python (lib/lazy_attributes). Every module
// object has its own types and hasher in its state; the worker pool is the process's.
#define ZORVIK_NUMPY_IMPORT
#include "lib/python.hpp"

#include <memory>

#include "lib/engine_type.hpp"
#include "lib/errors.hpp"
#include "lib/hashing.hpp"
#include "lib/lazy_attributes.hpp"
#include "lib/messages.hpp"
#include "lib/prepare_function.hpp"
#include "lib/results.hpp"
#include "lib/state.hpp"

namespace zorvik::lib {

namespace {

State& module_state(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

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

bool fill_module(PyObject* module) {
    // NumPy cannot live in several interpreters, and the worker pool is the process's.
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return false;
    if (interpreter != 0) {
        PyErr_SetString(PyExc_ImportError, msg::kSubInterpreter);
        return false;
    }
    static bool made = false;  // one module object per process
    if (made) {
        PyErr_SetString(PyExc_ImportError, msg::kSecondInit);
        return false;
    }
    if (PyArray_ImportNumPyAPI() < 0) return false;

    State& state = *std::construct_at(&module_state(module));
    if (!create_lent_type(module, state)) return false;
    PyObject* all = PyList_New(0);
    if (all == nullptr) return false;
    const bool ok = PyModule_AddObjectRef(module, "__all__", all) == 0 &&
                    add_public(module, all, "PySearchEngine", create_engine_type(module)) &&
                    add_public(module, all, "PyQueryResult", create_result_types(module, state)) &&
                    add_public(module, all, "py_prepare_bin_from_embeddings", create_prepare_function(module));
    Py_DECREF(all);
    if (ok) {
        PyObject* getattr = create_lazy_getattr(module);
        if (getattr == nullptr || PyModule_AddObjectRef(module, "__getattr__", getattr) != 0) {
            Py_XDECREF(getattr);
            return false;
        }
        Py_DECREF(getattr);
    }
    made = ok;
    return ok;
}

// Type creation and docstrings build strings: no C++ exception may cross into the interpreter.
int exec_module(PyObject* module) {
    PyObject* done = guarded([&]() -> PyObject* { return fill_module(module) ? Py_NewRef(Py_None) : nullptr; });
    if (done == nullptr) return -1;
    Py_DECREF(done);
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    int rc = 0;
    for_each_object(module_state(module), [&](auto* object) {
        if (rc == 0 && object != nullptr) rc = visit(reinterpret_cast<PyObject*>(object), arg);
    });
    return rc;
}

int clear_module(PyObject* module) {
    for_each_object(module_state(module), [](auto*& object) { Py_CLEAR(object); });
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zorvikdb", "", sizeof(State), nullptr, module_slots,
    traverse_module,       clear_module, free_module,
};

}  // namespace

}  // namespace zorvik::lib

extern "C" PyMODINIT_FUNC PyInit_zorvikdb() { return PyModuleDef_Init(&zorvik::lib::module_def); }

#pragma once
// The objects each module object owns; every type of the module reaches them through
// the module it was created for.
#include "lib/messages.hpp"
#include "lib/python.hpp"

namespace zorvik::lib {

struct State {
    PyTypeObject* item_type = nullptr;    // PyQueryItem
    PyTypeObject* result_type = nullptr;  // PyQueryResult
    PyTypeObject* lent_type = nullptr;    // the read-only buffer lent to the hasher
    PyObject* hasher = nullptr;           // blake3.blake3, imported on first use
};

// Calls f on every object reference of the state, for the collector and for clearing.
template <class F>
void for_each_object(State& state, F f) {
    f(state.item_type);
    f(state.result_type);
    f(state.lent_type);
    f(state.hasher);
}

// The state of the module that created `type` (none of its types can be subclassed);
// nullptr with the exception set when there is none.
inline State* state_of(PyTypeObject* type) {
    PyObject* module = PyType_GetModule(type);
    if (module == nullptr) return nullptr;
    auto* state = static_cast<State*>(PyModule_GetState(module));
    if (state == nullptr && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, msg::kNoModuleState);
    return state;
}

}  // namespace zorvik::lib

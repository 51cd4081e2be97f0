#pragma once
// Binding positional and keyword arguments to a parameter table, and the table's text
// signature.
#include <string>

#include "lib/arguments.hpp"
#include "lib/python.hpp"

namespace zorvik::lib {

// Internal docstring "name($self, a, b=1)\n--\n\n"; no "$self" for module functions.
// A class's constructor signature is shown under the class name.
std::string text_signature(const Signature& sig);
std::string class_text_signature(const Signature& constructor);

// A function of `module` from the static `def` (new reference).
PyObject* module_function(PyObject* module, PyMethodDef* def);

// The arguments bound to the table's slots, defaults filled in; the slots hold new
// references. bind returns false with a TypeError set.
class BoundArgs {
public:
    BoundArgs() = default;
    BoundArgs(const BoundArgs&) = delete;
    BoundArgs& operator=(const BoundArgs&) = delete;
    ~BoundArgs();

    bool bind(const Signature& sig, PyObject* args, PyObject* kwargs);
    PyObject* operator[](std::size_t i) const { return slots_[i]; }

private:
    PyObject* slots_[16] = {};
};

}  // namespace zorvik::lib

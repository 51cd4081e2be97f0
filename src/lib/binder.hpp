#pragma once
// Argument binding and conversion shared by every method and the module function.
// Each callable describes its parameters once in a table; the table drives binding,
// default values and the text signature.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "lib/python.hpp"
#include "base/rows.hpp"

namespace zorvik::lib {

enum class Kind { Vector, Matrix, Count, Text, OptionalText, Flag };

struct Param {
    const char* name;
    Kind kind;
    const char* default_literal;  // Python literal of the default; nullptr when required
};

struct Signature {
    const char* owner;  // class name, or nullptr for a module function
    const char* name;   // method or function name
    std::span<const Param> params;
};

// Internal docstring "name($self, a, b=1)\n--\n\n"; no "$self" for module functions.
// A class's constructor signature is shown under the class name.
std::string text_signature(const Signature& sig);
std::string class_text_signature(const Signature& constructor);

// "PySearchEngine.query_exact()" or "py_prepare_bin_from_embeddings()".
std::string callable_name(const Signature& sig);

// Binds positional and keyword arguments to the table's slots, filling defaults.
// Slots hold new references. Returns false with a TypeError set.
class BoundArgs {
public:
    BoundArgs() = default;
    BoundArgs(const BoundArgs&) = delete;
    BoundArgs& operator=(const BoundArgs&) = delete;
    ~BoundArgs();

    bool bind(const Signature& sig, PyObject* args, PyObject* kwargs);
    PyObject* operator[](std::size_t i) const { return slots_[i]; }

    // Conversions; each returns false with the TypeError or OverflowError set, and
    // checks first that the table gives parameter i the kind it converts.
    bool array(std::size_t i, PyArrayObject** out) const;  // Vector or Matrix
    bool count(std::size_t i, std::uint64_t* out) const;
    bool text(std::size_t i, std::string* out) const;
    bool optional_text(std::size_t i, std::optional<std::string>* out) const;
    bool flag(std::size_t i, bool* out) const;

private:
    // Throws std::logic_error unless parameter i is of kind a or b: a table and its
    // conversions disagreeing is a fault of this module, never of the caller.
    void expect(std::size_t i, Kind a, Kind b) const;

    const Signature* sig_ = nullptr;
    PyObject* slots_[16] = {};
};

// TypeError "The given array is not contiguous" unless C- or F-contiguous.
bool require_contiguous(PyArrayObject* a);

// A contiguous matrix's elements in logical row order, whatever its memory order.
RowSource matrix_rows(PyArrayObject* a);

// A contiguous vector's or matrix's elements copied in logical row order (read byte-wise,
// so the array need not be aligned).
std::vector<float> row_major_values(PyArrayObject* a);

// UTF-8 of a str object; false with the exception set.
bool utf8_of(PyObject* s, std::string* out);

}  // namespace zorvik::lib

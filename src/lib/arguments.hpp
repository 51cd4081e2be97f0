#pragma once
// The one argument opener of every method, the constructor and the module function.
// Each callable describes its parameters once, in a table naming the Request field each
// one fills; the table drives binding, defaults, conversion and the text signature.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/rows.hpp"
#include "lib/filter_argument.hpp"
#include "lib/python.hpp"

namespace zorvik::lib {

// A text as given and its full Unicode lower-casing by str.lower.
struct FoldedText {
    std::string text;
    std::string lower;
};

// Every argument of every callable, each field named after its parameter.
struct Request {
    // The array argument (query, queries or embeddings): its extents (n = 1 for a
    // vector) and its elements in logical row order, copied into `values`, or for a
    // borrowed matrix only viewed through `borrowed`: valid until Python code runs again.
    std::uint64_t n = 0;
    std::uint64_t d = 0;
    std::vector<float> values;
    std::optional<RowSource> borrowed;

    std::uint64_t k = 0, idx = 0, idx_a = 0, idx_b = 0, block_size = 0, top_blocks = 0;
    std::uint64_t dims = 0, rows = 0, seed = 0;
    bool enable_pruning = false, normalize = false, ann = false;
    std::string bin_path, base_name, level;
    FoldedText metric;
    std::optional<std::string> output_dir;
    FilterArg filter;
};

enum class ArrayArg { Vector, Matrix, BorrowedMatrix };

// Where a parameter goes; the field's type says how it is converted: an array, a count
// (through __index__), a flag (exactly True or False), a str, a lower-cased str, a str or
// None, a row filter.
using Target = std::variant<ArrayArg, std::uint64_t Request::*, bool Request::*, std::string Request::*,
                            FoldedText Request::*, std::optional<std::string> Request::*, FilterArg Request::*>;

struct Param {
    const char* name;
    Target target;
    const char* default_literal = nullptr;  // Python literal of the default; nullptr when required
    bool keyword_only = false;              // after every positional parameter
};

// The keyword-only row filter every query method takes (None: every row).
inline constexpr Param kFilterParam{"filter", &Request::filter, "None", true};

struct Signature {
    const char* owner;  // class name, or nullptr for a module function
    const char* name;   // method or function name
    std::span<const Param> params;
};

// Binds the arguments and converts them in parameter order into `out`. The array is
// checked in its place, then again after every other conversion (which may run the
// caller's code, __index__ for one), and only then is its layout checked and its data
// read. Returns false with the exception set.
bool open_request(const Signature& sig, PyObject* args, PyObject* kwargs, Request* out);

// A str argument `name` as UTF-8 (None too for the optional one); false with a
// TypeError set, as the opener reports it.
bool convert(PyObject* obj, const char* name, std::string* out);
bool convert(PyObject* obj, const char* name, std::optional<std::string>* out);

}  // namespace zorvik::lib

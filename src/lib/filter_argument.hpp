#pragma once
// The `filter` argument of the query methods: a boolean mask of one flag per row, or row
// numbers of any integer type, copied while the arguments are opened. Whatever is wrong
// with it is kept, not raised: the search's own checks of the rest of the call come first.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lib/python.hpp"

namespace zorvik::lib {

struct FilterArg {
    enum class Kind { Every, Mask, Rows };
    enum class Problem { None, Type, Value };
    Kind kind = Kind::Every;
    std::vector<std::uint8_t> mask;
    std::vector<std::uint64_t> rows;
    std::optional<std::int64_t> negative;  // a negative row number among them
    Problem problem = Problem::None;
    std::string problem_text;
};

// None, or anything NumPy makes a one-dimensional bool or integer array of (an empty
// array of any type is an empty list of rows). Returns false, with the exception set,
// only for what must not be held back (MemoryError, and exceptions that are not errors).
bool convert(PyObject* obj, const char* name, FilterArg* out);

}  // namespace zorvik::lib

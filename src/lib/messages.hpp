#pragma once
// Message templates of the Python layer; "{}" placeholders fill in order.
#include "base/text.hpp"

namespace zorvik::lib::msg {

// Argument binding
inline constexpr const char* kMissingRequired = "{} missing {} required {} {}: ";
inline constexpr const char* kUnexpectedKeyword = "{} got an unexpected keyword argument '{}'";
inline constexpr const char* kMultipleValues = "{} got multiple values for argument '{}'";
inline constexpr const char* kTooManyPositional = "{} takes {} positional arguments but {} {} given";
inline constexpr const char* kTooManyPositionalRange =
    "{} takes from {} to {} positional arguments but {} {} given";

// Argument conversion
inline constexpr const char* kArgumentPrefix = "argument '{}': {}";
inline constexpr const char* kCannotConvert = "'{}' object cannot be converted to '{}'";
inline constexpr const char* kArrayTarget = "PyArray<T, D>";
inline constexpr const char* kStringTarget = "PyString";
inline constexpr const char* kBoolTarget = "PyBool";
inline constexpr const char* kDimMismatch = "dimensionality mismatch:\n from={}, to={}";
inline constexpr const char* kTypeMismatch = "type mismatch:\n from={}, to={}";
inline constexpr const char* kNotContiguous = "The given array is not contiguous";
inline constexpr const char* kFilterObject = "a filter is a boolean mask or an array of row numbers, not '{}'";
inline constexpr const char* kFilterRank = "a filter is one-dimensional, not {}-dimensional";
inline constexpr const char* kFilterType = "a filter holds booleans or integers, not {}";
inline constexpr const char* kPartsType = "parts must be a sequence of (path, rows) pairs";
inline constexpr const char* kNegativeRow = "row numbers must not be negative";

// Objects
inline constexpr const char* kNoConstructor = "No constructor defined";
inline constexpr const char* kSecondInit = "zorvikdb may only be initialized once per interpreter process";
inline constexpr const char* kSubInterpreter = "zorvikdb cannot be imported in a sub-interpreter";
inline constexpr const char* kResultRepr = "<PyQueryResult results={} time={}ms method={}>";

// Internal faults
inline constexpr const char* kUnexpectedException = "zorvikdb: unexpected internal error";
inline constexpr const char* kNoModuleState = "zorvikdb: a type without its module state";

// Batch results
inline constexpr const char* kInvalidLength = "invalid length: {}, but expected {}";

}  // namespace zorvik::lib::msg

#pragma once
// Index preparation: validation of a copied embedding matrix, then writing.
// Runs without the interpreter lock: everything needing Python (array copy, Unicode
// lower-casing and alphanumeric tests) is done by the caller beforehand.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/buffer.hpp"
#include "engine/expected.hpp"
#include "format/header.hpp"

namespace zorvik::prepare {

inline constexpr std::uint64_t kMaxDims = 10000;
inline constexpr std::uint64_t kMaxRows = 50000000;

// Metric id from a name already lower-cased (full Unicode); `as_passed` is shown in
// the error message.
Expected<format::Metric> parse_metric(const std::string& lowered, const std::string& as_passed);

struct PrepareRequest {
    FloatBuffer values;         // private copy, logical row order
    std::uint64_t dims = 0;
    std::uint64_t rows = 0;
    std::string base_name;      // UTF-8, as passed
    std::string stem;           // base_name with only alphanumerics, '-' and '_' kept
    std::string level;
    bool normalize = false;
    format::Metric metric = format::Metric::Cosine;
    std::optional<std::string> output_dir;
};

// Runs the checks in their fixed order, then writes; returns the final path.
// The values are never copied again, and are given back chunk by chunk as they are
// written: the call needs the private copy plus the mapped file and nothing besides.
Expected<std::string> prepare_index(PrepareRequest request);

// The sampled share of NaN and infinite values must not exceed one in a hundred.
Status check_invalid_values(std::span<const float> values);

// True when `utf8` is empty or holds only Unicode White_Space code points.
bool blank_after_trim(const std::string& utf8);

}  // namespace zorvik::prepare

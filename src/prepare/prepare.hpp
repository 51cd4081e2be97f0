#pragma once
// Index preparation: the checks a request must pass before anything is written, in
// their fixed order. Everything needing Python (Unicode lower-casing and alphanumeric
// tests) is done by the caller beforehand.
#include <cstdint>
#include <optional>
#include <string>

#include "engine/expected.hpp"
#include "format/header.hpp"
#include "prepare/rows.hpp"
#include "prepare/writer.hpp"

namespace zorvik::prepare {

inline constexpr std::uint64_t kMaxDims = 10000;
inline constexpr std::uint64_t kMaxRows = 50000000;

// Metric id from a name already lower-cased (full Unicode); `as_passed` is shown in
// the error message.
Expected<format::Metric> parse_metric(const std::string& lowered, const std::string& as_passed);

struct PrepareRequest {
    std::uint64_t dims = 0;
    std::uint64_t rows = 0;
    std::string base_name;      // UTF-8, as passed
    std::string stem;           // base_name with only alphanumerics, '-' and '_' kept
    std::string level;
    bool normalize = false;
    format::Metric metric = format::Metric::Cosine;
    std::optional<std::string> output_dir;
};

// Every check short of file-system work, in order; reads only a sample of `values`.
Status check_request(const PrepareRequest& request, const RowSource& values);

// Shape of the index a valid request makes.
IndexShape index_shape(const PrepareRequest& request);

// The sampled share of NaN and infinite values must not exceed one in a hundred.
Status check_invalid_values(const RowSource& values);

// True when `utf8` is empty or holds only Unicode White_Space code points.
bool blank_after_trim(const std::string& utf8);

}  // namespace zorvik::prepare

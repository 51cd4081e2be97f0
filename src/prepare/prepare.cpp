#include "prepare/prepare.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "base/floats.hpp"
#include "base/settings.hpp"
#include "base/text.hpp"
#include "prepare/messages.hpp"
#include "prepare/writer.hpp"

namespace zorvik::prepare {

namespace {

struct MetricName {
    std::string_view name;
    format::Metric metric;
};

constexpr std::array<MetricName, 11> kMetricNames{{
    {"cosine", format::Metric::Cosine},
    {"cos", format::Metric::Cosine},
    {"norm_cosine", format::Metric::Cosine},
    {"normalized_cosine", format::Metric::Cosine},
    {"normalized-cosine", format::Metric::Cosine},
    {"dot", format::Metric::Dot},
    {"dotproduct", format::Metric::Dot},
    {"dot_product", format::Metric::Dot},
    {"euclidean", format::Metric::Euclidean},
    {"euclidian", format::Metric::Euclidean},
    {"l2", format::Metric::Euclidean},
}};

struct Level {
    std::string_view code;
    double memory_factor;
};

constexpr std::array<Level, 4> kLevels{{{"f8", 2.5}, {"f16", 2.0}, {"f32", 1.5}, {"f64", 2.0}}};

// Characters a base name may not contain at all (all ASCII, so a byte search is exact).
constexpr std::string_view kForbidden = "/\\:*?\"<>|.";

constexpr std::uint64_t kMaxDims = 10000;
constexpr std::uint64_t kMaxRows = 50000000;

constexpr double kMemoryThreshold = 8589934592.0;  // 8 GiB
constexpr double kGiB = 1073741824.0;

struct CodeRange {
    char32_t first;
    char32_t last;
};

#include "prepare/unicode_tables.inc"

template <std::size_t N>
bool in_table(const CodeRange (&table)[N], char32_t c) {
    const CodeRange* it = std::upper_bound(std::begin(table), std::end(table), c,
                                           [](char32_t v, const CodeRange& r) { return v < r.first; });
    return it != std::begin(table) && c <= (it - 1)->last;
}

bool has_forbidden_character(const std::string& name) {
    return name.find_first_of(kForbidden) != std::string::npos;
}

const Level* find_level(const std::string& code) {
    for (const Level& l : kLevels)
        if (l.code == code) return &l;
    return nullptr;
}

// The estimate exceeds the threshold and the strict check is switched on.
Status check_memory(std::uint64_t count, double memory_factor) {
    const double need = static_cast<double>(count) * 4.0 * memory_factor;
    if (need <= kMemoryThreshold) return {};
    if (!settings::strict_memcheck()) return {};
    return Error{text::fill(msg::kInsufficientMemory,
                            {text::fixed(need / kGiB, 1), text::fixed(kMemoryThreshold / kGiB, 1)})};
}

// True when `utf8` is empty or holds only Unicode White_Space code points.
bool blank_after_trim(const std::string& utf8) {
    const std::string_view s(utf8);
    std::size_t i = 0;
    while (i < s.size())
        if (!in_table(kWhiteSpace, text::next_code_point(s, i))) return false;
    return true;
}

// The sampled share of NaN and infinite values must not exceed one in a hundred.
Status check_invalid_values(const RowSource& values) {
    const std::uint64_t n = values.size();
    if (n == 0) return {};
    std::uint64_t step = 1;
    if (n >= 101) {
        const std::uint64_t d = n / 1000;
        step = n / (d >= 101 ? d : 100);
    }
    std::uint64_t samples = 0;
    std::uint64_t invalid = 0;
    for (std::uint64_t i = 0; i < n; i += step) {
        ++samples;
        if (!is_finite(values.at(i))) ++invalid;
    }
    if (invalid <= samples / 100) return {};
    const double percent = static_cast<double>(invalid) * 100.0 / static_cast<double>(samples);
    return Error{text::fill(msg::kTooManyInvalid,
                            {text::dec(invalid), text::dec(samples), text::fixed(percent, 1)})};
}

// The dims and the rows.
Status check_counts(const PrepareRequest& r) {
    if (r.dims == 0 || r.dims > kMaxDims)
        return Error{text::fill(msg::kInvalidDims, {text::dec(r.dims), text::dec(kMaxDims)})};
    if (r.rows == 0 || r.rows > kMaxRows)
        return Error{text::fill(msg::kInvalidRows, {text::dec(r.rows), text::dec(kMaxRows)})};
    return {};
}

// The base name and the level.
Status check_names(const PrepareRequest& r) {
    if (blank_after_trim(r.base_name) || has_forbidden_character(r.base_name))
        return Error{msg::kInvalidBaseName};
    if (find_level(r.level) == nullptr) return Error{text::fill(msg::kInvalidLevel, {r.level})};
    return {};
}

}  // namespace

Expected<format::Metric> parse_metric(const std::string& lowered, const std::string& as_passed) {
    for (const MetricName& m : kMetricNames)
        if (m.name == lowered) return m.metric;
    return Error{text::fill(msg::kUnknownMetric, {as_passed})};
}

std::string sanitize_base_name(std::string_view utf8) {
    std::string out;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const std::size_t start = i;
        const char32_t c = text::next_code_point(utf8, i);
        if (c == '-' || c == '_' || in_table(kAlphanumeric, c)) out.append(utf8.substr(start, i - start));
    }
    return out;
}

Status check_request(const PrepareRequest& r, const RowSource& values) {
    if (Status s = check_counts(r); !s) return s;
    // Both counts are in range, so the product fits easily.
    const std::uint64_t expected = r.rows * r.dims;
    const std::uint64_t count = values.size();
    if (expected != count)
        return Error{text::fill(msg::kShapeMismatch, {text::dec(r.rows), text::dec(r.dims),
                                                      text::dec(expected), text::dec(count)})};
    if (Status s = check_names(r); !s) return s;
    if (Status s = check_invalid_values(values); !s) return Error{s.error()};
    if (Status s = check_memory(count, find_level(r.level)->memory_factor); !s) return Error{s.error()};
    if (r.stem.empty()) return Error{msg::kEmptyStem};
    return {};
}

Status check_copy_request(const PrepareRequest& r) {
    if (Status s = check_counts(r); !s) return s;
    if (Status s = check_names(r); !s) return s;
    if (r.stem.empty()) return Error{msg::kEmptyStem};
    return {};
}

IndexShape index_shape(const PrepareRequest& r) {
    // Cosine indexes always hold unit rows, whatever `normalize` says.
    return {r.dims, r.rows, r.metric, r.normalize || r.metric == format::Metric::Cosine};
}

}  // namespace zorvik::prepare

#include "prepare/prepare.hpp"

#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "engine/text.hpp"
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

constexpr double kMemoryThreshold = 8589934592.0;  // 8 GiB
constexpr double kGiB = 1073741824.0;

// Code points with the Unicode White_Space property.
struct CodeRange {
    char32_t first;
    char32_t last;
};

constexpr std::array<CodeRange, 10> kWhiteSpace{{
    {0x0009, 0x000D},
    {0x0020, 0x0020},
    {0x0085, 0x0085},
    {0x00A0, 0x00A0},
    {0x1680, 0x1680},
    {0x2000, 0x200A},
    {0x2028, 0x2029},
    {0x202F, 0x202F},
    {0x205F, 0x205F},
    {0x3000, 0x3000},
}};

bool is_white_space(char32_t c) {
    for (const CodeRange& r : kWhiteSpace)
        if (c >= r.first && c <= r.last) return true;
    return false;
}

// Decodes the UTF-8 sequence at s[i], advancing i. A malformed sequence yields
// U+FFFD for its first byte, which is never white space.
char32_t next_code_point(std::string_view s, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    char32_t c = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        len = 2;
        c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3;
        c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4;
        c = lead & 0x07;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + len > s.size()) {
        ++i;
        return 0xFFFD;
    }
    for (std::size_t k = 1; k < len; ++k) {
        const auto cont = static_cast<unsigned char>(s[i + k]);
        if ((cont & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        c = (c << 6) | (cont & 0x3F);
    }
    i += len;
    return c;
}

bool has_forbidden_character(const std::string& name) {
    return name.find_first_of(kForbidden) != std::string::npos;
}

const Level* find_level(const std::string& code) {
    for (const Level& l : kLevels)
        if (l.code == code) return &l;
    return nullptr;
}

bool is_nan_or_infinite(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x7F800000u) == 0x7F800000u;
}

// The estimate exceeds the threshold and the strict check is switched on.
Status check_memory(std::uint64_t count, double memory_factor) {
    const double need = static_cast<double>(count) * 4.0 * memory_factor;
    if (need <= kMemoryThreshold) return {};
    const char* strict = std::getenv("ZORVIK_STRICT_MEMCHECK");
    if (strict == nullptr || std::string_view(strict) != "1") return {};
    return Error{text::fill(msg::kInsufficientMemory,
                            {text::fixed(need / kGiB, 1), text::fixed(kMemoryThreshold / kGiB, 1)})};
}

}  // namespace

Expected<format::Metric> parse_metric(const std::string& lowered, const std::string& as_passed) {
    for (const MetricName& m : kMetricNames)
        if (m.name == lowered) return m.metric;
    return Error{text::fill(msg::kUnknownMetric, {as_passed})};
}

bool blank_after_trim(const std::string& utf8) {
    const std::string_view s(utf8);
    std::size_t i = 0;
    while (i < s.size())
        if (!is_white_space(next_code_point(s, i))) return false;
    return true;
}

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
        if (is_nan_or_infinite(values.at(i))) ++invalid;
    }
    if (invalid <= samples / 100) return {};
    const double percent = static_cast<double>(invalid) * 100.0 / static_cast<double>(samples);
    return Error{text::fill(msg::kTooManyInvalid,
                            {text::dec(invalid), text::dec(samples), text::fixed(percent, 1)})};
}

Status check_request(const PrepareRequest& r, const RowSource& values) {
    if (r.dims == 0 || r.dims > kMaxDims)
        return Error{text::fill(msg::kInvalidDims, {text::dec(r.dims), text::dec(kMaxDims)})};
    if (r.rows == 0 || r.rows > kMaxRows)
        return Error{text::fill(msg::kInvalidRows, {text::dec(r.rows), text::dec(kMaxRows)})};
    // Both counts are in range, so the product fits easily.
    const std::uint64_t expected = r.rows * r.dims;
    const std::uint64_t count = values.size();
    if (expected != count)
        return Error{text::fill(msg::kShapeMismatch, {text::dec(r.rows), text::dec(r.dims),
                                                      text::dec(expected), text::dec(count)})};
    if (blank_after_trim(r.base_name) || has_forbidden_character(r.base_name))
        return Error{msg::kInvalidBaseName};
    const Level* level = find_level(r.level);
    if (level == nullptr) return Error{text::fill(msg::kInvalidLevel, {r.level})};
    if (Status s = check_invalid_values(values); !s) return Error{s.error()};
    if (Status s = check_memory(count, level->memory_factor); !s) return Error{s.error()};
    if (r.stem.empty()) return Error{msg::kEmptyStem};
    return {};
}

IndexShape index_shape(const PrepareRequest& r) {
    // Cosine indexes always hold unit rows, whatever `normalize` says.
    return {r.dims, r.rows, r.metric, r.normalize || r.metric == format::Metric::Cosine};
}

}  // namespace zorvik::prepare

#include "engine/scan/search.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "base/settings.hpp"
#include "engine/messages.hpp"
#include "engine/scan/scan_support.hpp"
#include "base/text.hpp"

namespace zorvik {

namespace {

constexpr std::uint64_t kLargeDims = 64;            // chunked scan and pruned scan need this many
constexpr std::uint64_t kChunkedMinRows = 10000;    // automatic choice: chunked scan from here
constexpr std::uint64_t kPrunedMinRows = 1000000;   // "pruned" mode: pruned scan from here

using Strategy = QueryOutcome (*)(const Engine&, std::span<const float>, std::uint64_t, QueryClock::time_point);

struct Choice {
    Strategy run;
    const char* method;  // its name when it answers an index without dimensions
    bool matrix;         // scores come from the matrix product
};

constexpr Choice kScanAll{scan_all, "exact", false};
constexpr Choice kChunked{scan_chunked, "exact-chunked", false};
constexpr Choice kBlockedMatrix{scan_blocked_matrix, "exact-blocked-matrix", true};
constexpr Choice kMatrixFull{scan_matrix_full, "exact-matrix-full", true};
constexpr Choice kPruned{scan_pruned, "exact-pruned-fast", false};

bool is_euclidean(const Engine& e) { return e.metric == format::Metric::Euclidean; }

// ZORVIK_SINGLE_MODE, read on every query; an unknown value selects the automatic choice.
Choice choose(const Engine& e) {
    if (const auto setting = settings::single_mode()) {
        const std::string_view mode(*setting);
        if (mode == "rayon") return kScanAll;
        if (mode == "pruned")
            return e.rows >= kPrunedMinRows && !is_euclidean(e) && e.dims >= kLargeDims ? kPruned : kScanAll;
        if (mode == "blocked" || mode == "blocked_matrix") return kBlockedMatrix;
        if (mode == "matrix_full") return kMatrixFull;
        if (mode == "matrix_parallel") return kChunked;
    }
    if (e.dims >= kLargeDims && e.rows >= kChunkedMinRows && !is_euclidean(e)) return kChunked;
    return kScanAll;
}

}  // namespace

Expected<QueryOutcome> search_exact(const Engine& engine, std::span<const float> query, std::uint64_t k) {
    if (query.size() != engine.dims)
        return Error{text::fill(msg::kQueryDimensionMismatch, {text::dec(query.size()), text::dec(engine.dims)})};
    if (!std::all_of(query.begin(), query.end(), is_finite)) return Error{msg::kQueryNotFinite};
    if (k == 0 || engine.rows == 0) return QueryOutcome{{}, "exact", 0.0};

    const auto start = QueryClock::now();
    const std::uint64_t k_eff = std::min(k, engine.rows);
    const Choice choice = choose(engine);
    if (engine.dims == 0) {
        // Every row scores the same empty sum, so the best k are the first k rows. The
        // kernel's sum is +0 (and scoring with it fixes the scalar switch, as any scan
        // would); the matrix product gives +0 inner products and (-0 + -0) - 0 = -0 distances.
        if (!choice.matrix) force_scalar();
        const float zero = choice.matrix && is_euclidean(engine) ? -0.0f : 0.0f;
        return scan::finish(scan::first_rows(k_eff, zero), choice.method, start);
    }
    return choice.run(engine, query, k_eff, start);
}

}  // namespace zorvik

#include "engine/scan/search.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "base/choice.hpp"
#include "base/settings.hpp"
#include "base/text.hpp"
#include "base/tuning.hpp"
#include "engine/messages.hpp"
#include "engine/scan/row_filter.hpp"
#include "engine/scan/strategies.hpp"

namespace zorvik {

namespace {

using Run = std::vector<Hit> (*)(const Engine&, std::span<const float>, std::uint64_t, const Scope&);

struct Strategy {
    const char* method;    // method_used of its answers
    Run run;
    bool matrix;           // scores come from the matrix product
    SettingValues values;  // the ZORVIK_SINGLE_MODE values that select it
};

enum Kind : std::size_t { kAll, kChunked, kBlockedMatrix, kMatrixFull, kPruned, kSketch, kSketchFallback, kNoSketch };

// The method names are part of the public interface (method_used): never "tidy" them.
constexpr std::array<Strategy, 8> kStrategies{{
    {"exact", scan_all, false, {"rayon", {}}},
    {"exact-chunked", scan_chunked, false, {"matrix_parallel", {}}},
    {"exact-blocked-matrix", scan_blocked_matrix, true, {"blocked", "blocked_matrix"}},
    {"exact-matrix-full", scan_matrix_full, true, {"matrix_full", {}}},
    {"exact-pruned-fast", scan_pruned, false, {"pruned", {}}},
    {"sketch", nullptr, false, {"sketch", {}}},  // scan_sketch; it may hand over to one of the next two
    // The kernel scans the sketch strategy answers with when its candidates exceed their
    // budget (near ties everywhere), or when no sketch can be had.
    {"sketch-fallback", scan_chunked, false, {}},
    {"sketch-unavailable", scan_chunked, false, {}},
}};
static_assert(kStrategies[kAll].run == scan_all && kStrategies[kChunked].run == scan_chunked &&
              kStrategies[kBlockedMatrix].run == scan_blocked_matrix &&
              kStrategies[kMatrixFull].run == scan_matrix_full && kStrategies[kPruned].run == scan_pruned);

bool is_euclidean(const Engine& e) { return e.metric == format::Metric::Euclidean; }

// ZORVIK_SINGLE_MODE; an unknown value selects the automatic choice.
const Strategy& choose(const Engine& e, const Scope& scope) {
    if (const auto& setting = scope.settings.single_mode) {
        if (const Strategy* named = entry_named(kStrategies, *setting)) {
            if (named != &kStrategies[kPruned]) return *named;
            if (e.rows < tuning::kPrunedMinRows || is_euclidean(e) || e.dims < tuning::kLargeDims)
                return kStrategies[kAll];
            // Without its per-block table the pruned scan is replaced by the chunked scan,
            // which then answers under its own name.
            return pruned_scan_ready(e) ? *named : kStrategies[kChunked];
        }
    }
    if (e.dims >= tuning::kLargeDims && e.rows >= tuning::kChunkedMinRows && !is_euclidean(e))
        return kStrategies[kChunked];
    return kStrategies[kAll];
}

// The strategy whose name the sketch strategy's answer carries after its scan took `route`.
const Strategy& sketch_answerer(SketchRoute route) {
    switch (route) {
        case SketchRoute::Answered: return kStrategies[kSketch];
        case SketchRoute::TooManyCandidates: return kStrategies[kSketchFallback];
        case SketchRoute::NoSketch: break;
    }
    return kStrategies[kNoSketch];
}

// What is wrong with `query` for `engine`, if anything.
std::optional<Error> query_problem(const Engine& engine, std::span<const float> query) {
    if (query.size() != engine.dims)
        return Error{text::fill(msg::kQueryDimensionMismatch, {text::dec(query.size()), text::dec(engine.dims)})};
    if (!std::all_of(query.begin(), query.end(), is_finite)) return Error{msg::kQueryNotFinite};
    return std::nullopt;
}

}  // namespace

Expected<QueryOutcome> search_exact(const Engine& engine, std::span<const float> query, std::uint64_t k,
                                    const Scope& scope) {
    if (auto problem = query_problem(engine, query)) return std::move(*problem);
    // A filter allowing no row answers as an index without rows does.
    const AllowedRows allowed(engine, scope);
    if (k == 0 || allowed.count() == 0) return QueryOutcome{{}, kStrategies[kAll].method, 0.0};

    const auto start = QueryClock::now();
    const std::uint64_t k_eff = std::min(k, allowed.count());
    const Strategy* chosen = &choose(engine, scope);
    QueryOutcome out;
    if (engine.dims == 0) {
        // Every row scores the same empty sum, so the best k are the first k allowed rows. The
        // kernel's sum is +0 (and scoring with it fixes the scalar switch, as any scan
        // would); the matrix product gives +0 inner products and (-0 + -0) - 0 = -0 distances.
        if (!chosen->matrix) settings::force_scalar();
        const float zero = chosen->matrix && is_euclidean(engine) ? -0.0f : 0.0f;
        out.results = allowed.first(k_eff, zero);
    } else {
        if (chosen == &kStrategies[kSketch]) {
            SketchAnswer answer = scan_sketch(engine, query, k_eff, scope);
            if (answer.route == SketchRoute::Answered) out.results = std::move(answer.hits);
            chosen = &sketch_answerer(answer.route);
        }
        if (chosen->run != nullptr) out.results = chosen->run(engine, query, k_eff, scope);
    }
    out.method_used = chosen->method;
    out.query_time_ms = elapsed_ms(start);
    return out;
}

Expected<SketchCandidates> sketch_candidates(const Engine& engine, std::span<const float> query, std::uint64_t k,
                                             const Scope& scope) {
    if (auto problem = query_problem(engine, query)) return std::move(*problem);
    const AllowedRows allowed(engine, scope);
    // The answers search_exact gives without running any strategy.
    if (k == 0 || allowed.count() == 0) return SketchCandidates{0, kStrategies[kAll].method};
    if (engine.dims == 0) return SketchCandidates{0, kStrategies[kSketch].method};
    const SketchAnswer answer = scan_sketch(engine, query, std::min(k, allowed.count()), scope);
    return SketchCandidates{answer.candidates, sketch_answerer(answer.route).method};
}

}  // namespace zorvik

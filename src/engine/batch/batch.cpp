// Batch search: shape checks, mode dispatch, the per-query mode and the grouped matrix mode.
#include "engine/batch/batch.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "base/choice.hpp"
#include "engine/batch/batch_products.hpp"
#include "engine/batch/batch_sketch.hpp"
#include "engine/batch/shape.hpp"
#include "engine/scan/kernels.hpp"
#include "engine/messages.hpp"
#include "engine/scan/row_filter.hpp"
#include "engine/scan/search.hpp"
#include "base/pool.hpp"
#include "base/tuning.hpp"

namespace zorvik {

namespace {

std::span<const float> query_at(std::span<const float> queries, std::uint64_t dims, std::uint64_t q) {
    return queries.subspan(static_cast<std::size_t>(q * dims), static_cast<std::size_t>(dims));
}

// Single-query outcomes as one batch answer.
BatchOutcome gathered(std::vector<QueryOutcome>&& outcomes) {
    BatchOutcome out;
    out.queries = outcomes.size();
    for (const QueryOutcome& o : outcomes) out.width = std::max<std::uint64_t>(out.width, o.results.size());
    out.hits.resize(static_cast<std::size_t>(out.queries * out.width));
    for (std::size_t q = 0; q < outcomes.size(); ++q) {
        std::copy(outcomes[q].results.begin(), outcomes[q].results.end(), out.hits.begin() + q * out.width);
        out.counts.push_back(outcomes[q].results.size());
        out.times.push_back(outcomes[q].query_time_ms);
        std::vector<Hit>().swap(outcomes[q].results);
    }
    return out;
}

// Per query: search_exact for each, groups of queries after one another.
Expected<BatchOutcome> batch_per_query(const Engine& engine, std::span<const float> queries, std::uint64_t k,
                                       const Scope& scope) {
    if (!std::all_of(queries.begin(), queries.end(), is_finite)) return Error{msg::kBatchNotFinite};
    const std::uint64_t dims = engine.dims;
    const std::uint64_t nq = queries.size() / dims;

    // Sized by the processors online, not by the pool: groups bound how many queries are
    // in flight, each of which may spread over the whole pool itself.
    const std::uint64_t group = std::min<std::uint64_t>(
        nq, std::max<std::uint64_t>(tuning::kPerQueryGroupPerProcessor * pool::online_processors(),
                                    tuning::kPerQueryMinGroup));
    std::vector<QueryOutcome> out(static_cast<std::size_t>(nq));
    for (std::uint64_t first = 0; first < nq; first += group) {
        const std::uint64_t count = std::min(group, nq - first);
        pool::parallel_for(static_cast<std::size_t>(count), [&](std::size_t i) {
            const std::uint64_t q = first + i;
            auto one = search_exact(engine, query_at(queries, dims, q), k, scope);
            QueryOutcome& slot = out[static_cast<std::size_t>(q)];
            if (one) slot = std::move(one.value());  // a failure leaves no hits and time 0.0
        });
    }
    return gathered(std::move(out));
}

// Matrix, chunked: batch_matrix on groups of about kMatrixGroupScores scores, one group
// after another.
Expected<BatchOutcome> batch_matrix_chunked(const Engine& engine, std::span<const float> queries, std::uint64_t k,
                                            const Scope& scope) {
    const std::uint64_t dims = engine.dims;
    const std::uint64_t nq = queries.size() / dims;
    const std::uint64_t rows = AllowedRows(engine, scope).count();
    const std::uint64_t group =
        std::min(nq, std::max<std::uint64_t>(tuning::kMatrixGroupScores / std::max<std::uint64_t>(rows, 1), 1));
    BatchOutcome out;
    for (std::uint64_t first = 0; first < nq; first += group) {
        const std::uint64_t count = std::min(group, nq - first);
        auto part = batch_matrix(
            engine, queries.subspan(static_cast<std::size_t>(first * dims), static_cast<std::size_t>(count * dims)),
            k, scope);
        if (!part) return part;
        BatchOutcome& p = part.value();
        if (p.queries == 0) continue;  // k = 0 or no rows: no answers at all
        if (out.queries == 0) {
            out.width = p.width;
            out.hits.reserve(static_cast<std::size_t>(nq * p.width));
        }
        out.queries += p.queries;
        out.hits.insert(out.hits.end(), p.hits.begin(), p.hits.end());
        out.counts.insert(out.counts.end(), p.counts.begin(), p.counts.end());
        out.times.insert(out.times.end(), p.times.begin(), p.times.end());
    }
    return out;
}

using Run = Expected<BatchOutcome> (*)(const Engine&, std::span<const float>, std::uint64_t, const Scope&);

struct Strategy {
    const char* method;    // method_used of every outcome
    Run run;
    SettingValues values;  // the ZORVIK_BATCH_MODE values that select it
};

enum Kind : std::size_t { kPerQuery, kBlocked, kMatrix, kMatrixChunked, kSketch, kSketchFallback, kNoSketch };

// The method names are part of the public interface (method_used): never "tidy" them.
constexpr std::array<Strategy, 7> kStrategies{{
    {"rayon-optimized", batch_per_query, {"rayon", {}}},
    {"batch-blocked-exact", batch_blocked, {"blocked", "blocked_exact"}},
    {"matrix-full", batch_matrix, {"matrix", "matrix_full"}},
    {"matrix-chunked", batch_matrix_chunked, {"chunked", {}}},
    {"sketch", nullptr, {"sketch", {}}},  // batch_sketch; it may hand over to one of the next two
    // Some queries' candidates exceeded their budget and took the kernel scan; or no sketch
    // could be had and the blocked scan answered.
    {"sketch-fallback", nullptr, {}},
    {"sketch-unavailable", batch_blocked, {}},
}};
static_assert(kStrategies[kPerQuery].run == batch_per_query && kStrategies[kBlocked].run == batch_blocked &&
              kStrategies[kMatrix].run == batch_matrix && kStrategies[kMatrixChunked].run == batch_matrix_chunked);

// ZORVIK_BATCH_MODE; an unknown value selects the automatic choice.
const Strategy& choose(std::uint64_t nq, const Scope& scope) {
    if (const auto& setting = scope.settings.batch_mode)
        if (const Strategy* named = entry_named(kStrategies, *setting)) return *named;
    return nq >= tuning::kBlockedMinQueries ? kStrategies[kBlocked] : kStrategies[kPerQuery];
}

}  // namespace

Expected<BatchOutcome> search_batch(const Engine& engine, std::span<const float> queries, std::uint64_t dims,
                                    std::uint64_t k, const Scope& scope) {
    if (Status s = check_batch_shape(engine, queries.size(), dims, ShapeOrder::ColumnsFirst); !s)
        return Error{s.error()};
    if (queries.size() < dims) return BatchOutcome{};

    const std::uint64_t nq = queries.size() / dims;
    if (nq == 1) {
        auto single = search_exact(engine, queries, k, scope);
        if (!single) return Error{single.error()};
        std::string method = std::move(single.value().method_used);
        std::vector<QueryOutcome> one;
        one.push_back(std::move(single.value()));
        BatchOutcome out = gathered(std::move(one));
        out.method = std::move(method);
        return out;
    }

    const Strategy* chosen = &choose(nq, scope);
    if (chosen == &kStrategies[kSketch]) {
        SketchBatch sketched = batch_sketch(engine, queries, k, scope);
        if (sketched.route == SketchRoute::NoSketch) {
            chosen = &kStrategies[kNoSketch];
        } else {
            if (sketched.route == SketchRoute::TooManyCandidates) chosen = &kStrategies[kSketchFallback];
            sketched.answers.method = chosen->method;
            return std::move(sketched.answers);
        }
    }
    auto answers = chosen->run(engine, queries, k, scope);
    if (answers) answers.value().method = chosen->method;
    return answers;
}

}  // namespace zorvik

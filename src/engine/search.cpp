#include "engine/search.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string_view>

#include "engine/kernels.hpp"
#include "engine/memory_limit.hpp"
#include "engine/messages.hpp"
#include "engine/pool.hpp"
#include "engine/scan_support.hpp"
#include "engine/text.hpp"

namespace zorvik {

namespace {

constexpr std::uint64_t kLargeDims = 64;            // chunked scan and pruned scan need this many
constexpr std::uint64_t kChunkedMinRows = 10000;    // automatic choice: chunked scan from here
constexpr std::uint64_t kPrunedMinRows = 1000000;   // "pruned" mode: pruned scan from here

bool is_euclidean(const Engine& e) { return e.metric == format::Metric::Euclidean; }

}  // namespace

double elapsed_ms(QueryClock::time_point start) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(QueryClock::now() - start).count();
    const auto secs = ns / 1000000000;
    const auto sub = ns % 1000000000;
    return (static_cast<double>(secs) + static_cast<double>(sub) / 1e9) * 1000.0;
}

std::uint64_t row_chunk_size(const Engine& engine, std::uint64_t threads) {
    const std::uint64_t dims = engine.dims;
    std::uint64_t budget = 8000000;
    if (is_euclidean(engine)) budget = 3000000;
    else if (dims >= 768) budget = 16000000;
    else if (dims >= 384) budget = 10000000;
    std::uint64_t n = std::max(budget / std::max<std::uint64_t>(dims, 1),
                               engine.rows / (std::max<std::uint64_t>(threads, 1) * 4));
    n = std::max<std::uint64_t>(n, 1);
    const std::uint64_t cap = dims >= 768 ? 32000 : dims >= 384 ? 16000 : 8000;
    n = std::min(n, cap);
    return std::max<std::uint64_t>(std::min(n, engine.rows), 1);
}

Expected<QueryOutcome> search_exact(const Engine& engine, std::span<const float> query, std::uint64_t k) {
    if (query.size() != engine.dims)
        return Error{text::fill(msg::kQueryDimensionMismatch, {text::dec(query.size()), text::dec(engine.dims)})};
    if (!std::all_of(query.begin(), query.end(), is_finite_score)) return Error{msg::kQueryNotFinite};
    if (k == 0 || engine.rows == 0) return QueryOutcome{{}, "exact", 0.0};

    const auto start = QueryClock::now();
    const std::uint64_t k_eff = std::min(k, engine.rows);

    // Read on every query; an unknown value selects the automatic choice.
    if (const char* raw = std::getenv("ZORVIK_SINGLE_MODE")) {
        const std::string_view mode(raw);
        if (mode == "rayon") return scan_all(engine, query, k_eff, start);
        if (mode == "pruned") {
            if (engine.rows >= kPrunedMinRows && !is_euclidean(engine) && engine.dims >= kLargeDims)
                return scan_pruned(engine, query, k_eff, start);
            return scan_all(engine, query, k_eff, start);
        }
        if (mode == "blocked" || mode == "blocked_matrix") return scan_blocked_matrix(engine, query, k_eff, start);
        if (mode == "matrix_full") return scan_matrix_full(engine, query, k_eff, start);
        if (mode == "matrix_parallel") return scan_chunked(engine, query, k_eff, start);
    }
    if (engine.dims >= kLargeDims && engine.rows >= kChunkedMinRows && !is_euclidean(engine))
        return scan_chunked(engine, query, k_eff, start);
    return scan_all(engine, query, k_eff, start);
}

namespace scan {

std::vector<Hit> first_rows(std::uint64_t k_eff, float zero) {
    // A header may claim billions of empty rows: a result larger than the memory this
    // process may use fails as an allocation failure instead of being attempted.
    if (k_eff > usable_memory_bytes() / sizeof(Hit)) throw std::bad_alloc();
    std::vector<Hit> hits;
    hits.reserve(static_cast<std::size_t>(k_eff));
    for (std::uint64_t r = 0; r < k_eff; ++r) hits.push_back(Hit{r, zero});
    return hits;
}

QueryOutcome finish(std::vector<Hit> hits, const char* method, QueryClock::time_point start) {
    QueryOutcome out;
    out.results = std::move(hits);
    out.method_used = method;
    out.query_time_ms = elapsed_ms(start);
    return out;
}

}  // namespace scan

}  // namespace zorvik

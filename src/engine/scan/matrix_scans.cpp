// The strategies that score rows through the matrix product: the blocked matrix scan
// (chunks on the pool) and the single product over all rows (calling thread). Both
// split the allowed rows by ordinal and take one product per run of allowed rows.
#include <vector>

#include "base/pool.hpp"
#include "engine/scan/blas.hpp"
#include "engine/scan/row_filter.hpp"
#include "engine/scan/scan_support.hpp"
#include "engine/scan/strategies.hpp"

namespace zorvik {

namespace {

// Scores of the allowed rows of `ordinals` by matrix products, streamed through a heap.
std::vector<Hit> best_of_range_product(const Engine& e, std::span<const float> query, const AllowedRows& allowed,
                                       scan::RowRange ordinals, std::uint64_t k_eff) {
    std::vector<float> scores(static_cast<std::size_t>(ordinals.size()), 0.0f);
    const bool euclidean = e.metric == format::Metric::Euclidean;
    const double q2 = euclidean ? query_sq_norm(query) : 0.0;
    TopKHeap heap(k_eff, e.metric, ordinals.size());
    float* s = scores.data();
    allowed.runs(ordinals, [&](scan::RowRange run) {
        const auto n = static_cast<std::size_t>(run.size());
        gemm_scores(query.data(), 1, e.row(run.begin), n, e.dims, s);
        for (std::size_t j = 0; j < n; ++j) {
            const std::uint64_t r = run.begin + j;
            heap.offer(Hit{r, euclidean ? euclid_from_dot(e.row_sq_norm(r), q2, s[j]) : s[j]});
        }
        s += n;
    });
    return heap.into_sorted();
}

}  // namespace

std::vector<Hit> scan_blocked_matrix(const Engine& engine, std::span<const float> query, std::uint64_t k_eff,
                                     const Scope& scope) {
    const AllowedRows allowed(engine, scope);
    const std::uint64_t n = allowed.count();
    const std::uint64_t chunk = row_chunk_size(engine, n, pool::thread_count());
    const std::uint64_t chunks = scan::chunk_count(chunk, n);
    std::vector<std::vector<Hit>> lists(chunks);
    pool::parallel_for(chunks, [&](std::size_t c) {
        lists[c] = best_of_range_product(engine, query, allowed, scan::chunk_range(c, chunk, n), k_eff);
    });
    return merge_chunks(lists, k_eff, engine.metric);
}

std::vector<Hit> scan_matrix_full(const Engine& engine, std::span<const float> query, std::uint64_t k_eff,
                                  const Scope& scope) {
    const AllowedRows allowed(engine, scope);
    return best_of_range_product(engine, query, allowed, {0, allowed.count()}, k_eff);
}

}  // namespace zorvik

// The strategies that score rows through the matrix product: the blocked matrix scan
// (chunks on the pool) and the single product over all rows (calling thread). Both
// split the allowed rows by ordinal and score them in whole groups of rows (row_blocks.hpp).
#include <vector>

#include "base/pool.hpp"
#include "base/tuning.hpp"
#include "engine/scan/blas.hpp"
#include "engine/scan/row_blocks.hpp"
#include "engine/scan/scan_support.hpp"
#include "engine/scan/strategies.hpp"

namespace zorvik {

namespace {

// Scores of the allowed rows of `ordinals` by matrix products, streamed through a heap.
std::vector<Hit> best_of_range_product(const Engine& e, std::span<const float> query, const AllowedRows& allowed,
                                       scan::RowRange ordinals, std::uint64_t k_eff) {
    const bool euclidean = e.metric == format::Metric::Euclidean;
    const double q2 = euclidean ? query_sq_norm(query) : 0.0;
    TopKHeap heap(k_eff, e.metric, ordinals.size());
    std::vector<float> scores;
    RowGatherer gathered;
    gathered.blocks(e, allowed, ordinals, tuning::kProductRowGroup, tuning::kProductRowGroup,
                    [&](const RowBlock& block) {
        scores.assign(block.padded, 0.0f);
        gemm_scores(query.data(), 1, block.rows, block.padded, e.dims, scores.data());
        for (std::size_t j = 0; j < block.n; ++j) {
            const float s = scores[block.slot(j)];
            heap.offer(Hit{block.ids[j], euclidean ? euclid_from_dot(block.sq_norms[j], q2, s) : s});
        }
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

// The strategies that score rows through the matrix product: the blocked matrix scan
// (chunks on the pool) and the single product over all rows (calling thread).
#include <vector>

#include "engine/scan/blas.hpp"
#include "base/pool.hpp"
#include "engine/scan/scan_support.hpp"
#include "engine/scan/strategies.hpp"

namespace zorvik {

namespace {

// Scores of rows [range.begin, range.end) by one matrix product, streamed through a heap.
std::vector<Hit> best_of_range_product(const Engine& e, std::span<const float> query, scan::RowRange range,
                                 std::uint64_t k_eff) {
    std::vector<float> scores(static_cast<std::size_t>(range.size()), 0.0f);
    gemm_scores(query.data(), 1, e.row(range.begin), scores.size(), e.dims, scores.data());
    if (e.metric == format::Metric::Euclidean) {
        const double q2 = query_sq_norm(query);
        for (std::size_t j = 0; j < scores.size(); ++j)
            scores[j] = euclid_from_dot(e.row_sq_norm(range.begin + j), q2, scores[j]);
    }
    TopKHeap heap(k_eff, e.metric, range.size());
    for (std::size_t j = 0; j < scores.size(); ++j) heap.offer(Hit{range.begin + j, scores[j]});
    return heap.into_sorted();
}

}  // namespace

std::vector<Hit> scan_blocked_matrix(const Engine& engine, std::span<const float> query, std::uint64_t k_eff, const Scope&) {
    const std::uint64_t chunk = row_chunk_size(engine, pool::thread_count());
    const std::uint64_t chunks = scan::chunk_count(chunk, engine.rows);
    std::vector<std::vector<Hit>> lists(chunks);
    pool::parallel_for(chunks, [&](std::size_t c) {
        lists[c] = best_of_range_product(engine, query, scan::chunk_range(c, chunk, engine.rows), k_eff);
    });
    return merge_chunks(lists, k_eff, engine.metric);
}

std::vector<Hit> scan_matrix_full(const Engine& engine, std::span<const float> query, std::uint64_t k_eff, const Scope&) {
    return best_of_range_product(engine, query, {0, engine.rows}, k_eff);
}

}  // namespace zorvik

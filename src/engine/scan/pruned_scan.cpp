// The block-pruned scan: a sequential scan that abandons a row as soon as a bound built
// from per-block norms shows it cannot beat the current k-th best score.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/index/dim_blocks.hpp"
#include "engine/scan/block_bound.hpp"
#include "engine/scan/row_filter.hpp"
#include "engine/scan/strategies.hpp"

namespace zorvik {

namespace {

// Scores within this much of the k-th best are always evaluated in full. Fixed at 0.0001
// as part of what "exact-pruned-fast" promises, and smaller than the certified scan's
// on purpose: a surviving row is scored from the very block sums its bound adds up, not
// re-scored by the kernel, so no rounding gap between the two has to be covered.
constexpr double kSlack = 0.0001;

inline double at_least_zero(double v) { return v > 0.0 ? v : 0.0; }

}  // namespace

bool pruned_scan_ready(const Engine& engine) {
    const std::uint64_t nb = engine.num_blocks();
    const std::size_t size = engine.row_block_sq_norms.size();
    return nb != 0 && size != 0 && size == engine.rows * nb;
}

std::vector<Hit> scan_pruned(const Engine& engine, std::span<const float> query, std::uint64_t k_eff,
                             const Scope& scope) {
    const std::uint64_t nb = engine.num_blocks();

    const float* q = query.data();
    std::vector<DimBlock> blocks(static_cast<std::size_t>(nb));
    for (std::size_t b = 0; b < blocks.size(); ++b) blocks[b] = engine.block(b);
    const std::vector<double> energy = block_energies(q, engine.dims, engine.block_width);
    double total = 0.0;
    for (const double s : energy) total = total + s;
    const std::vector<std::uint64_t> order = energy_order(energy);  // high-energy blocks first

    const AllowedRows allowed(engine, scope);
    TopKHeap heap(k_eff, engine.metric, allowed.count());
    const auto visit = [&](std::uint64_t r) {
        const float* x = engine.row(r);
        if (heap.size() < k_eff) {
            heap.offer(Hit{r, score_pair(engine.metric, query, {x, static_cast<std::size_t>(engine.dims)})});
            return;
        }
        // Invariant: acc is the partial score over the blocks seen so far and its upper
        // bound is at least the row's full score (Cauchy-Schwarz on the unseen blocks).
        const double kth = static_cast<double>(heap.root().score);
        const double row_sq = engine.row_sq_norm(r);
        const double* row_blocks = engine.row_block_sq_norms.data() + r * nb;
        double acc = 0.0, seen_q = 0.0, seen_x = 0.0;
        for (const std::uint64_t b : order) {
            const DimBlock blk = blocks[b];
            acc = acc + static_cast<double>(dot_vector_order(q + blk.start, x + blk.start, blk.end - blk.start));
            seen_q = seen_q + energy[b];
            seen_x = seen_x + row_blocks[b];
            const double unseen =
                std::sqrt(at_least_zero(row_sq - seen_x)) * std::sqrt(at_least_zero(total - seen_q));
            if (bound::loses(bound::upper(unseen, acc, kSlack), kth, false)) return;
        }
        heap.offer(Hit{r, static_cast<float>(acc)});
    };
    allowed.runs([&](scan::RowRange run) {
        for (std::uint64_t r = run.begin; r < run.end; ++r) visit(r);
    });
    return select_best(heap.into_sorted(), k_eff, engine.metric);
}

}  // namespace zorvik

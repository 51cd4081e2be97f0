// The strategies that score rows with the per-row kernel on the worker pool:
// the full scan and the chunked scan. Both split the allowed rows by ordinal.
#include <algorithm>
#include <vector>

#include "base/pool.hpp"
#include "base/settings.hpp"
#include "base/tuning.hpp"
#include "engine/scan/row_filter.hpp"
#include "engine/scan/scan_support.hpp"
#include "engine/scan/strategies.hpp"

namespace zorvik {

namespace {

std::uint64_t piece_count(const Engine& e, std::uint64_t rows) {
    const std::uint64_t threads = std::max<std::uint64_t>(pool::thread_count(), 1);
    const std::uint64_t by_work = std::max<std::uint64_t>(rows * e.dims / tuning::kMinPieceElements, 1);
    return std::min({threads * tuning::kPiecesPerThread, by_work, rows});
}

// The best k_eff finite hits among the allowed rows of `ordinals`, best first. A piece
// no longer than k_eff keeps all of its finite hits; a longer one keeps k_eff + 1 at most.
std::vector<Hit> best_of_range(const Engine& e, const float* query, const AllowedRows& allowed,
                               scan::RowRange ordinals, std::uint64_t k_eff, bool scalar) {
    const auto stream = [&](auto& sink) {
        allowed.runs(ordinals, [&](scan::RowRange run) { scan::stream_rows(e, query, run, scalar, sink); });
    };
    if (ordinals.size() <= k_eff) {
        scan::HitList list;
        list.hits.reserve(static_cast<std::size_t>(ordinals.size()));
        stream(list);
        return std::move(list.hits);
    }
    TopKHeap heap(k_eff, e.metric, ordinals.size());
    stream(heap);
    return heap.into_sorted();
}

}  // namespace

std::vector<Hit> scan_all(const Engine& engine, std::span<const float> query, std::uint64_t k_eff,
                          const Scope& scope) {
    const bool scalar = settings::force_scalar();
    const AllowedRows allowed(engine, scope);

    // Contiguous pieces in row order; each keeps its own best k_eff (the order is total,
    // so this equals selecting from every finite hit).
    const std::uint64_t n = allowed.count();
    const std::uint64_t pieces = piece_count(engine, n);
    std::vector<std::vector<Hit>> lists(pieces);
    pool::parallel_for(pieces, [&](std::size_t p) {
        const scan::RowRange ordinals{n * p / pieces, n * (p + 1) / pieces};
        lists[p] = best_of_range(engine, query.data(), allowed, ordinals, k_eff, scalar);
    });
    return merge_chunks(lists, k_eff, engine.metric);
}

std::vector<Hit> scan_chunked(const Engine& engine, std::span<const float> query, std::uint64_t k_eff,
                              const Scope& scope) {
    const bool scalar = settings::force_scalar();
    const AllowedRows allowed(engine, scope);

    const std::uint64_t n = allowed.count();
    const std::uint64_t chunk = row_chunk_size(engine, n, pool::thread_count());
    const std::uint64_t chunks = scan::chunk_count(chunk, n);
    std::vector<std::vector<Hit>> lists(chunks);
    pool::parallel_for(chunks, [&](std::size_t c) {
        const scan::RowRange ordinals = scan::chunk_range(c, chunk, n);
        TopKHeap heap(k_eff, engine.metric, ordinals.size());
        allowed.runs(ordinals, [&](scan::RowRange run) { scan::stream_rows(engine, query.data(), run, scalar, heap); });
        lists[c] = heap.into_sorted();
    });
    return merge_chunks(lists, k_eff, engine.metric);
}

}  // namespace zorvik

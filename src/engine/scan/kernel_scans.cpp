// The strategies that score rows with the per-row kernel on the worker pool:
// the full scan and the chunked scan.
#include <algorithm>
#include <vector>

#include "base/pool.hpp"
#include "base/settings.hpp"
#include "base/tuning.hpp"
#include "engine/scan/scan_support.hpp"
#include "engine/scan/strategies.hpp"

namespace zorvik {

namespace {

// Tasks the scan of `e` is worth: a few per thread, but none under kMinPieceElements
// floats, so that a small index is scanned by the caller alone (waking a worker costs
// more than the rows) and leaves the pool to other callers.
std::uint64_t piece_count(const Engine& e) {
    const std::uint64_t threads = std::max<std::uint64_t>(pool::thread_count(), 1);
    const std::uint64_t by_work = std::max<std::uint64_t>(e.rows * e.dims / tuning::kMinPieceElements, 1);
    return std::min({threads * tuning::kPiecesPerThread, by_work, e.rows});
}

// The best k_eff finite hits of one range, best first. A range no longer than k_eff
// keeps all of its finite hits; a longer one keeps k_eff + 1 at most.
std::vector<Hit> best_of_range(const Engine& e, const float* query, scan::RowRange range, std::uint64_t k_eff,
                               bool scalar) {
    if (range.size() <= k_eff) {
        scan::HitList list;
        list.hits.reserve(static_cast<std::size_t>(range.size()));
        scan::stream_rows(e, query, range, scalar, list);
        return std::move(list.hits);
    }
    TopKHeap heap(k_eff, e.metric, range.size());
    scan::stream_rows(e, query, range, scalar, heap);
    return heap.into_sorted();
}

}  // namespace

std::vector<Hit> scan_all(const Engine& engine, std::span<const float> query, std::uint64_t k_eff, const Scope&) {
    const bool scalar = settings::force_scalar();

    // Contiguous pieces in row order; each keeps its own best k_eff (the order is total,
    // so this equals selecting from every finite hit).
    const std::uint64_t pieces = piece_count(engine);
    std::vector<std::vector<Hit>> lists(pieces);
    pool::parallel_for(pieces, [&](std::size_t p) {
        const scan::RowRange range{engine.rows * p / pieces, engine.rows * (p + 1) / pieces};
        lists[p] = best_of_range(engine, query.data(), range, k_eff, scalar);
    });
    return merge_chunks(lists, k_eff, engine.metric);
}

std::vector<Hit> scan_chunked(const Engine& engine, std::span<const float> query, std::uint64_t k_eff, const Scope&) {
    const bool scalar = settings::force_scalar();

    // The chunks of the formula, cut smaller where they are fewer than the pieces the work
    // is worth: a chunk per task keeps every thread busy on an index of one or two chunks.
    const std::uint64_t pieces = piece_count(engine);
    const std::uint64_t chunk =
        std::min(row_chunk_size(engine, pool::thread_count()), (engine.rows + pieces - 1) / pieces);
    const std::uint64_t chunks = scan::chunk_count(chunk, engine.rows);
    std::vector<std::vector<Hit>> lists(chunks);
    pool::parallel_for(chunks, [&](std::size_t c) {
        const scan::RowRange range = scan::chunk_range(c, chunk, engine.rows);
        TopKHeap heap(k_eff, engine.metric, range.size());
        scan::stream_rows(engine, query.data(), range, scalar, heap);
        lists[c] = heap.into_sorted();
    });
    return merge_chunks(lists, k_eff, engine.metric);
}

}  // namespace zorvik

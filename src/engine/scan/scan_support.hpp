#pragma once
// Pieces shared by the single-query strategies: row streaming and chunk ranges.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "base/tuning.hpp"
#include "engine/index/engine.hpp"
#include "engine/scan/kernels.hpp"
#include "engine/scan/topk.hpp"

namespace zorvik {

// Rows per chunk for the chunked, blocked-matrix and batch-blocked scans of `rows` rows
// (the index's, or the allowed ones of a filter), given the pool's thread count. Chunks
// are [0, c), [c, 2c), ..., the last ending at rows.
std::uint64_t row_chunk_size(const Engine& engine, std::uint64_t rows, std::uint64_t threads);

}  // namespace zorvik

namespace zorvik::scan {

// Half-open range of rows.
struct RowRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    std::uint64_t size() const { return end - begin; }
};

// Chunk c of `chunk` rows each, the last one ending at `rows`.
inline RowRange chunk_range(std::uint64_t c, std::uint64_t chunk, std::uint64_t rows) {
    const std::uint64_t begin = c * chunk;
    return {begin, std::min(rows, begin + chunk)};
}

inline std::uint64_t chunk_count(std::uint64_t chunk, std::uint64_t rows) { return (rows + chunk - 1) / chunk; }

// Keeps every finite hit (a collector for streams shorter than k).
struct HitList {
    std::vector<Hit> hits;
    void offer(const Hit& h) {
        if (is_finite(h.score)) hits.push_back(h);
    }
};

// Scores rows [range.begin, range.end) in increasing order with the kernel and offers
// each hit, with its global row number, to `sink`.
template <class Sink>
void stream_rows(const Engine& e, const float* query, RowRange range, bool scalar, Sink& sink) {
    float scores[tuning::kScoreBatch];
    for (std::uint64_t r = range.begin; r < range.end;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(tuning::kScoreBatch, range.end - r));
        score_rows(e.metric, query, e.dims, e.row(r), n, scalar, scores);
        for (std::size_t i = 0; i < n; ++i) sink.offer(Hit{r + i, scores[i]});
        r += n;
    }
}

}  // namespace zorvik::scan

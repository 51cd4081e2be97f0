#pragma once
// Pieces shared by the single-query strategies: chunk ranges and a hit collector.
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

}  // namespace zorvik::scan

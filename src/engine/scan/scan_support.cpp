#include "engine/scan/scan_support.hpp"

#include <new>

#include "base/memory_limit.hpp"
#include "base/tuning.hpp"

namespace zorvik {

std::uint64_t row_chunk_size(const Engine& engine, std::uint64_t threads) {
    const std::uint64_t dims = engine.dims;
    std::uint64_t budget = tuning::kChunkFloats;
    if (engine.metric == format::Metric::Euclidean) budget = tuning::kChunkFloatsEuclidean;
    else if (dims >= tuning::kWideDims) budget = tuning::kChunkFloatsWide;
    else if (dims >= tuning::kMediumDims) budget = tuning::kChunkFloatsMedium;
    std::uint64_t n = std::max(budget / std::max<std::uint64_t>(dims, 1),
                               engine.rows / (std::max<std::uint64_t>(threads, 1) * tuning::kChunksPerThread));
    n = std::max<std::uint64_t>(n, 1);
    const std::uint64_t cap = dims >= tuning::kWideDims     ? tuning::kChunkRowsCapWide
                              : dims >= tuning::kMediumDims ? tuning::kChunkRowsCapMedium
                                                            : tuning::kChunkRowsCap;
    n = std::min(n, cap);
    return std::max<std::uint64_t>(std::min(n, engine.rows), 1);
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

}  // namespace scan

}  // namespace zorvik

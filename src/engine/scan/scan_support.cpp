#include "engine/scan/scan_support.hpp"

#include "base/tuning.hpp"

namespace zorvik {

std::uint64_t row_chunk_size(const Engine& engine, std::uint64_t rows, std::uint64_t threads) {
    const std::uint64_t dims = engine.dims;
    std::uint64_t budget = tuning::kChunkFloats;
    if (engine.metric == format::Metric::Euclidean) budget = tuning::kChunkFloatsEuclidean;
    else if (dims >= tuning::kWideDims) budget = tuning::kChunkFloatsWide;
    else if (dims >= tuning::kMediumDims) budget = tuning::kChunkFloatsMedium;
    std::uint64_t n = std::max(budget / std::max<std::uint64_t>(dims, 1),
                               rows / (std::max<std::uint64_t>(threads, 1) * tuning::kChunksPerThread));
    n = std::max<std::uint64_t>(n, 1);
    const std::uint64_t cap = dims >= tuning::kWideDims     ? tuning::kChunkRowsCapWide
                              : dims >= tuning::kMediumDims ? tuning::kChunkRowsCapMedium
                                                            : tuning::kChunkRowsCap;
    n = std::min(n, cap);
    return std::max<std::uint64_t>(std::min(n, rows), 1);
}

}  // namespace zorvik

#pragma once
// Exact single-query search: validation and strategy dispatch.
#include <cstdint>
#include <span>

#include "engine/index/engine.hpp"
#include "base/expected.hpp"
#include "engine/scan/topk.hpp"

namespace zorvik {

// Validates the query, picks a strategy (ZORVIK_SINGLE_MODE, read on every call) and
// returns the best min(k, rows) finite hits, best first. Errors are message texts.
// Throws std::bad_alloc when the result or a scan buffer cannot be allocated.
Expected<QueryOutcome> search_exact(const Engine& engine, std::span<const float> query, std::uint64_t k);

// Rows per chunk for the chunked, blocked-matrix and batch-blocked scans, given the
// pool's thread count. Chunks are [0, c), [c, 2c), ..., the last ending at rows.
std::uint64_t row_chunk_size(const Engine& engine, std::uint64_t threads);

}  // namespace zorvik

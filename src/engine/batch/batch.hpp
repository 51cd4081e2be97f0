#pragma once
// Batch search: many queries, given as one row-major matrix of floats, answered by one
// of four modes.
#include <cstdint>
#include <span>
#include <vector>

#include "base/expected.hpp"
#include "engine/index/engine.hpp"
#include "engine/scan/topk.hpp"

namespace zorvik {

// Validates the shape (length a multiple of `dims`, `dims` the index's), answers a single
// query through search_exact, and otherwise runs the mode ZORVIK_BATCH_MODE names (read
// on every call). One outcome per query, in query order, except where a mode answers
// k = 0 with no outcomes at all. Throws std::bad_alloc when memory runs out.
Expected<std::vector<QueryOutcome>> search_batch(const Engine& engine, std::span<const float> queries,
                                                 std::uint64_t dims, std::uint64_t k);

}  // namespace zorvik

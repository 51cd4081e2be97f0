#pragma once
// Batch search: many queries, given as one row-major matrix of floats, answered by one
// of four modes.
#include <cstdint>
#include <span>
#include <vector>

#include "engine/index/engine.hpp"
#include "base/expected.hpp"
#include "engine/scan/search.hpp"

namespace zorvik {

// Validates the shape (length a multiple of `dims`, `dims` the index's), answers a single
// query through search_exact, and otherwise runs the mode ZORVIK_BATCH_MODE names (read
// on every call). One outcome per query, in query order, except where a mode answers
// k = 0 with no outcomes at all. Throws std::bad_alloc when memory runs out.
Expected<std::vector<QueryOutcome>> search_batch(const Engine& engine, std::span<const float> queries,
                                                 std::uint64_t dims, std::uint64_t k);

// The modes. `queries` holds whole queries of the index's dims (checked by search_batch).
// Their outcomes carry hits and times; search_batch stamps the mode's method name.
// Per query: search_exact for each, groups of queries after one another.
Expected<std::vector<QueryOutcome>> batch_per_query(const Engine& engine, std::span<const float> queries,
                                                    std::uint64_t k);
// Blocked: row chunks on the pool, each scored against the queries by matrix products.
Expected<std::vector<QueryOutcome>> batch_blocked(const Engine& engine, std::span<const float> queries,
                                                  std::uint64_t k);
// Matrix: blocks of queries on the pool, each scored against every row.
Expected<std::vector<QueryOutcome>> batch_matrix(const Engine& engine, std::span<const float> queries,
                                                 std::uint64_t k);
// Matrix, chunked: batch_matrix on groups of about 50 million scores, one group after another.
Expected<std::vector<QueryOutcome>> batch_matrix_chunked(const Engine& engine, std::span<const float> queries,
                                                         std::uint64_t k);

// Queries per block of batch_matrix for `nq` queries and `threads` pool threads:
// ZORVIK_QBLOCK (read on every call) when it holds a count above 0, else the automatic size.
std::uint64_t query_block_size(const Engine& engine, std::uint64_t nq, std::uint64_t threads);

}  // namespace zorvik

#pragma once
// The batch modes that score queries against rows by matrix products. `queries` holds
// whole queries of the index's dims (checked by search_batch); the answers carry hits
// only, search_batch stamps the method name. No answers at all when k or rows is 0.
#include <cstdint>
#include <span>
#include <vector>

#include "base/expected.hpp"
#include "engine/index/engine.hpp"
#include "engine/batch/batch.hpp"
#include "engine/scope.hpp"

namespace zorvik {

// Blocked: row chunks on the pool, each scored against the queries by matrix products.
Expected<BatchOutcome> batch_blocked(const Engine& engine, std::span<const float> queries, std::uint64_t k,
                                     const Scope& scope);
// Matrix: blocks of queries on the pool, each scored against every row.
Expected<BatchOutcome> batch_matrix(const Engine& engine, std::span<const float> queries, std::uint64_t k,
                                    const Scope& scope);

}  // namespace zorvik

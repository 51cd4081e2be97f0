#pragma once
// Exact single-query search: validation, strategy dispatch and the five strategies.
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "engine/expected.hpp"

namespace zorvik {

// One ranked row: global row number and its (finite) score.
struct Hit {
    std::uint64_t idx = 0;
    float score = 0.0f;
};

struct QueryOutcome {
    std::vector<Hit> results;  // best first
    std::string method_used;
    double query_time_ms = 0.0;
};

// Monotonic clock of query timings.
using QueryClock = std::chrono::steady_clock;

// Milliseconds since `start`: (whole seconds + nanoseconds / 1e9) * 1000.0.
double elapsed_ms(QueryClock::time_point start);

// Validates the query, picks a strategy (ZORVIK_SINGLE_MODE, read on every call) and
// returns the best min(k, rows) finite hits, best first. Errors are message texts.
// Throws std::bad_alloc when the result or a scan buffer cannot be allocated.
Expected<QueryOutcome> search_exact(const Engine& engine, std::span<const float> query, std::uint64_t k);

// Rows per chunk for the chunked, blocked-matrix and batch-blocked scans, given the
// pool's thread count. Chunks are [0, c), [c, 2c), ..., the last ending at rows.
std::uint64_t row_chunk_size(const Engine& engine, std::uint64_t threads);

// The strategies; each sorts its result best first and stamps method and time.
QueryOutcome scan_all(const Engine& engine, std::span<const float> query, std::uint64_t k_eff,
                      QueryClock::time_point start);
QueryOutcome scan_chunked(const Engine& engine, std::span<const float> query, std::uint64_t k_eff,
                          QueryClock::time_point start);
QueryOutcome scan_blocked_matrix(const Engine& engine, std::span<const float> query, std::uint64_t k_eff,
                                 QueryClock::time_point start);
QueryOutcome scan_matrix_full(const Engine& engine, std::span<const float> query, std::uint64_t k_eff,
                              QueryClock::time_point start);
QueryOutcome scan_pruned(const Engine& engine, std::span<const float> query, std::uint64_t k_eff,
                         QueryClock::time_point start);

}  // namespace zorvik

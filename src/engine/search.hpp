#pragma once
// Exact single-query search: validation, strategy dispatch and the five strategies.
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

Expected<QueryOutcome> search_exact(const Engine& engine, std::span<const float> query, std::uint64_t k);

}  // namespace zorvik

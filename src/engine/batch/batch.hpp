#pragma once
// Batch search: many queries, given as one row-major matrix of floats, answered by one
// of four modes.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/expected.hpp"
#include "engine/index/engine.hpp"
#include "engine/scan/topk.hpp"
#include "engine/scope.hpp"

namespace zorvik {

// The answers to a batch in one buffer, freed in one piece: query q's hits, best first,
// are hits[q * width, q * width + counts[q]).
struct BatchOutcome {
    std::uint64_t queries = 0;  // answers held: 0 where a mode answers k = 0 with none at all
    std::uint64_t width = 0;
    std::vector<Hit> hits;
    std::vector<std::uint64_t> counts;
    std::vector<double> times;  // query_time_ms of each answer
    std::string method;         // method_used of every answer

    std::span<const Hit> results(std::uint64_t q) const {
        return {hits.data() + q * width, static_cast<std::size_t>(counts[q])};
    }
    // Answer q as a single-query outcome.
    QueryOutcome outcome(std::uint64_t q) const {
        const auto r = results(q);
        return QueryOutcome{{r.begin(), r.end()}, method, times[q]};
    }
};

// Validates the shape (length a multiple of `dims`, `dims` the index's), answers a single
// query through search_exact, and otherwise runs the mode ZORVIK_BATCH_MODE names
// (scope.settings.batch_mode). One answer per query, in query order, except where a mode answers
// k = 0 with none at all. Throws std::bad_alloc when memory runs out.
Expected<BatchOutcome> search_batch(const Engine& engine, std::span<const float> queries, std::uint64_t dims,
                                    std::uint64_t k, const Scope& scope);

}  // namespace zorvik

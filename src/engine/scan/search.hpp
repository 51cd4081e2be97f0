#pragma once
// Exact single-query search: validation and strategy dispatch.
#include <cstdint>
#include <span>
#include <string>

#include "engine/index/engine.hpp"
#include "engine/scope.hpp"
#include "base/expected.hpp"
#include "engine/scan/topk.hpp"

namespace zorvik {

// Validates the query, picks a strategy (by scope.settings.single_mode) and
// returns the best min(k, rows) finite hits, best first. Errors are message texts.
// Throws std::bad_alloc when the result or a scan buffer cannot be allocated.
Expected<QueryOutcome> search_exact(const Engine& engine, std::span<const float> query, std::uint64_t k,
                                    const Scope& scope);

// What the sketch strategy makes of one query: the candidates its scan kept (as
// SketchAnswer counts them; 0 where no scan runs) and the method_used it reports.
struct SketchCandidates {
    std::uint64_t candidates = 0;
    std::string method;
};

// The sketch scan alone, for min(k, allowed rows) and whatever single_mode names, after
// the checks of search_exact (the same errors); the hits it finds are dropped.
Expected<SketchCandidates> sketch_candidates(const Engine& engine, std::span<const float> query, std::uint64_t k,
                                             const Scope& scope);

}  // namespace zorvik

#pragma once
// The sketch search of one query: a scan of the 8-bit sketch bounds every row's kernel
// score from above and below; the k-th best lower bound is the threshold, every row whose
// upper bound reaches it is a candidate, and the kernel scores the candidates. The answer
// is the kernel scan's, bit for bit: a row outside the candidates has k rows certain to
// rank before it.
#include <cstdint>
#include <span>
#include <vector>

#include "engine/index/engine.hpp"
#include "engine/scan/row_filter.hpp"
#include "engine/scan/topk.hpp"

namespace zorvik {

// Whether the sketch answered, and if not, why the kernel scan must.
enum class SketchRoute { Answered, TooManyCandidates, NoSketch };

struct SketchAnswer {
    std::vector<Hit> hits;  // the best k_eff finite hits, best first, when Answered
    SketchRoute route = SketchRoute::Answered;
    // Candidates the scan kept: when Answered, the rows the kernel rescored; when
    // TooManyCandidates, the count it had reached when it stopped (past the budget), or 0
    // when k_eff alone exceeds the budget and no row was scanned; 0 when NoSketch.
    std::uint64_t candidates = 0;
};

// Searches the allowed rows for the best k_eff; dims > 0.
SketchAnswer sketch_search(const Engine& e, std::span<const float> query, std::uint64_t k_eff,
                           const AllowedRows& allowed);

// The budget of candidates for a search of `rows` rows.
std::uint64_t sketch_candidate_budget(std::uint64_t rows);

// The best k_eff kernel hits among `rows` (increasing), best first, scored on the pool.
std::vector<Hit> rescore(const Engine& e, const float* query, const std::vector<std::uint64_t>& rows,
                         std::uint64_t k_eff);

}  // namespace zorvik

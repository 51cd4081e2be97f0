#pragma once
// Per-block breakdowns of one row's score (explain) and of the score difference of two
// rows (compare), in a score space where larger is better (euclidean scores negated).
#include <cstdint>
#include <span>
#include <vector>

#include "engine/index/engine.hpp"
#include "base/expected.hpp"

namespace zorvik {

struct BlockContribution {
    std::uint64_t block_id = 0;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    float contribution = 0.0f;
};

// The largest contributions by magnitude (ties to the lower block) and the sum of the rest.
struct BlockBreakdown {
    std::uint64_t num_blocks = 0;
    std::vector<BlockContribution> blocks;  // the first min(top_blocks, num_blocks), ranked
    float residual = 0.0f;
};

struct Explanation {
    float score_total = 0.0f;
    BlockBreakdown breakdown;
};

struct Comparison {
    float score_a = 0.0f;  // as score_pair computes it (squared distance for euclidean)
    float score_b = 0.0f;
    float delta_score_space = 0.0f;  // positive when row a ranks above row b
    BlockBreakdown breakdown;
};

// Errors, first failing test wins: query length, row index, block_size 0, top_blocks 0.
// The query may hold non-finite values; they flow into the figures.
Expected<Explanation> explain(const Engine& engine, std::span<const float> query, std::uint64_t idx,
                              std::uint64_t block_size, std::uint64_t top_blocks);
Expected<Comparison> compare(const Engine& engine, std::span<const float> query, std::uint64_t idx_a,
                             std::uint64_t idx_b, std::uint64_t block_size, std::uint64_t top_blocks);

}  // namespace zorvik

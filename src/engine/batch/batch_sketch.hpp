#pragma once
// The sketch batch mode: the single-query sketch filter for many queries at once, its
// code products made tile by tile, then the same kernel rescoring. A query's answer is the
// kernel scan's, bit for bit, whatever the batch, tiles, threads or processor.
#include <cstdint>
#include <span>

#include "engine/batch/batch.hpp"
#include "engine/sketch/candidate_scan.hpp"

namespace zorvik {

struct SketchBatch {
    BatchOutcome answers;  // when route is not NoSketch
    // Answered, TooManyCandidates when some query took the kernel scan instead, NoSketch
    // when the caller must run a kernel batch mode.
    SketchRoute route = SketchRoute::Answered;
};

SketchBatch batch_sketch(const Engine& engine, std::span<const float> queries, std::uint64_t k, const Scope& scope);

}  // namespace zorvik

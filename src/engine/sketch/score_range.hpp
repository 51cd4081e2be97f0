#pragma once
// Bounds on the score the per-row kernel gives a row, drawn from bounds on its exact inner
// product with the query and the stored norms, the kernel's rounding included. They are
// kept in rank order (the score itself for cosine and dot, its negation for euclidean),
// so that larger always ranks first.
#include <span>

#include "engine/certified/rounding.hpp"
#include "engine/index/engine.hpp"
#include "engine/sketch/sketch_query.hpp"

namespace zorvik {

// lo <= rank of the kernel's score <= hi. lo is finite only where the kernel's score is
// certain to be finite (a finite row whose terms stay far from overflow); hi is +infinity
// where nothing is known (a NaN or an infinity in the row, magnitudes near the float limit).
struct RankRange {
    double lo;
    double hi;
};

class ScoreBounds {
public:
    ScoreBounds(const Engine& e, std::span<const float> query);

    // The range of a row with squared norm `row_sq` (as the engine stores it) whose exact
    // inner product with the query lies in `dot`.
    RankRange rank_range(DotRange dot, double row_sq) const;

private:
    bool euclidean_;
    KernelRounding kernel_;
    double sq_up_;    // a stored sum of squares times this is at least the exact one
    double sq_down_;  // and times this at most
    double q_sq_;     // the query's sum of squares
    double q_norm_;   // at least ||q||
};

}  // namespace zorvik

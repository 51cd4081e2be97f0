#pragma once
// The slack of the certified bound: a fixed floor, raised per row to a rigorous bound on
// what rounding can move.
//
// The bound must stay at or above the row's score as score_pair computes it (below it
// for euclidean), or a row that belongs in the answer is skipped. Every row's slack is
// the larger of kFixedSlack and E, a rigorous bound on what rounding can move, derived
// in rounding.cpp; wherever E stays below kFixedSlack the fixed slack alone decides.
#include <cstdint>
#include <limits>

#include "format/header.hpp"

namespace zorvik {

// The smallest slack a certified bound gets. Larger than the fast pruned scan's 0.0001 on
// purpose: a row that survives is re-scored with score_pair, whose summation order is not
// the block sums', and the bound must stay on the right side of that score.
inline constexpr double kFixedSlack = 0.001;

// E(row_norm) = ((quad * row_norm + lin) * row_norm + base), with headroom for its own rounding.
struct Allowance {
    double quad = 0.0;
    double lin = 0.0;
    double base = 0.0;
    // |partial_dot over every block - exact q.x| <= exact_dot * row_norm: the block sums
    // and their double sum as above, plus the rounding of the products themselves.
    double exact_dot = 0.0;

    double slack(float row_norm) const {
        const double n = static_cast<double>(row_norm);
        const double e = ((quad * n + lin) * n + base) * (1.0 + 0x1p-20);
        if (e > kFixedSlack) return e;
        return e == e ? kFixedSlack : std::numeric_limits<double>::infinity();  // NaN: never prune
    }
};

// How far score_pair's value may lie from the exact score, for a finite row whose terms
// stay far from overflow:
//   dot metrics: |s - q.x| <= dot * ||q|| ||x|| + floor,
//   euclidean: (1 - dist) D - floor <= s <= (1 + dist) D + floor, D the exact squared distance.
struct KernelRounding {
    double dot = 0.0;
    double dist = 0.0;
    double floor = 0.0;  // underflow of the terms, in absolute terms
};

// The kernel rounding of `dims` elements in the summation order this process scores with.
KernelRounding kernel_rounding(std::uint64_t dims);

// The allowance of a query with squared norm q_sq over `nb` blocks of width `bs`.
Allowance rounding_allowance(format::Metric metric, std::uint64_t dims, std::uint64_t bs, std::uint64_t nb,
                             double q_sq);

}  // namespace zorvik

#include "engine/sketch/score_range.hpp"

#include <cmath>
#include <limits>

#include "base/roundoff.hpp"
#include "engine/scan/kernels.hpp"

namespace zorvik {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Below this magnitude (||q|| ||x||, or (||q|| + ||x||)^2 for euclidean) no term, partial
// sum or score of the kernel comes near the float limit of 2^128.
constexpr double kSafeMagnitude = 0x1p120;

}  // namespace

ScoreBounds::ScoreBounds(const Engine& e, std::span<const float> query)
    : euclidean_(e.metric == format::Metric::Euclidean), kernel_(kernel_rounding(e.dims)) {
    // Sums of squares in double, in any order, lie within gamma(n) of the exact ones
    // (every square of a float is exact in double).
    const double g = roundoff::gamma(static_cast<double>(e.dims) + 2.0, roundoff::kDouble);
    sq_up_ = 1.0 + g + 0x1p-50;
    sq_down_ = 1.0 - g - 0x1p-50;
    q_sq_ = query_sq_norm(query);
    q_norm_ = std::sqrt(q_sq_ * sq_up_) * (1.0 + 0x1p-50);
}

RankRange ScoreBounds::rank_range(DotRange dot, double row_sq) const {
    const RankRange unknown{-kInf, kInf};
    // NaN ranges (the row is not finite) and rows with an infinite norm decide nothing.
    if (!(dot.lo <= dot.hi) || !(row_sq < kInf)) return unknown;
    const double x_norm = std::sqrt(row_sq * sq_up_) * (1.0 + 0x1p-50);
    if (!euclidean_) {
        const double magnitude = q_norm_ * x_norm;
        if (!(magnitude < kSafeMagnitude)) return unknown;
        const double e = kernel_.dot * magnitude + kernel_.floor;
        const double widen = e + kSketchHeadroom * (std::fabs(dot.lo) + std::fabs(dot.hi) + e);
        return {dot.lo - widen, dot.hi + widen};
    }
    const double sum = q_norm_ + x_norm;
    const double magnitude = sum * sum;
    if (!(magnitude < kSafeMagnitude)) return unknown;
    // D = ||q||^2 + ||x||^2 - 2 q.x, and D <= (||q|| + ||x||)^2.
    const double norms = q_sq_ + row_sq;
    const double slop = kSketchHeadroom * (norms + 2.0 * (std::fabs(dot.lo) + std::fabs(dot.hi)) + magnitude);
    const double d_hi = std::min(norms * sq_up_ - 2.0 * dot.lo, magnitude) + slop;
    const double d_lo = std::max(norms * sq_down_ - 2.0 * dot.hi - slop, 0.0);
    const double s_hi = (1.0 + kernel_.dist) * d_hi + kernel_.floor;
    const double s_lo = (1.0 - kernel_.dist) * d_lo - kernel_.floor;
    const double last = kSketchHeadroom * (s_hi + kernel_.floor);
    return {-(s_hi + last), -(s_lo - last)};
}

}  // namespace zorvik

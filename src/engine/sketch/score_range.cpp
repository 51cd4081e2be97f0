#include "engine/sketch/score_range.hpp"

#include <algorithm>
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
// The cosine and dot range below folds the two widenings (the sketch's and the kernel's)
// into one; this headroom covers their relative terms and every rounding of it.
constexpr double kFoldedHeadroom = 0x1p-36;

// Every step is the same for each j and free of branches, so the loops run in vector
// lanes; a row that decides nothing is told apart by comparisons that NaN fails.
//
// Cosine and dot: with c = t s P (t, s the scales, P the code product),
//   |kernel - c| <= spread + E, spread = e (t||p|| + ||g||) + ||g|| s||c||,
//   E = dot ||q|| ||x|| + floor,
// so c -+ ((1 + h)(spread + E) + h |c|) holds it, h covering the rounding of the double
// operations (each within 2^-53 of their nonnegative terms, and the centre's two).
[[gnu::always_inline]] inline void dot_ranges(const QueryTerms& q, SketchColumns x, const double*,
                                              const double* products, std::size_t n, double* lo, double* hi) {
    const double up = 1.0 + kFoldedHeadroom;
    const double per_error = up * (q.q.code_norm + q.q.error_norm);
    const double per_code = up * q.q.error_norm;
    const double per_norm = up * q.kernel.dot * q.q_norm;
    const double fixed = up * q.kernel.floor;
    for (std::size_t j = 0; j < n; ++j) {
        const double centre = q.q.scale * x.scale[j] * products[j];
        const double widen = per_error * x.error_norm[j] + per_code * x.code_norm[j] + per_norm * x.x_norm[j] + fixed +
                             kFoldedHeadroom * std::fabs(centre);
        const double l = centre - widen, h = centre + widen;
        const bool known = q.q_norm * x.x_norm[j] < kSafeMagnitude && l <= h;
        lo[j] = known ? l : -kInf;
        hi[j] = known ? h : kInf;
    }
}

// Euclidean: D = ||q||^2 + ||x||^2 - 2 q.x and D <= (||q|| + ||x||)^2, each term widened
// by the headroom, then the kernel's rounding of D; the rank is -D.
[[gnu::always_inline]] inline void euclid_ranges(const QueryTerms& q, SketchColumns x, const double* row_sq,
                                                 const double* products, std::size_t n, double* lo, double* hi) {
    const double per_error = q.q.code_norm + q.q.error_norm;
    for (std::size_t j = 0; j < n; ++j) {
        const double centre = q.q.scale * x.scale[j] * products[j];
        const double spread = x.error_norm[j] * per_error + q.q.error_norm * x.code_norm[j];
        const double widen = spread + kSketchHeadroom * (std::fabs(centre) + spread);
        const double dot_lo = centre - widen, dot_hi = centre + widen;
        const double sum = q.q_norm + x.x_norm[j];
        const double magnitude = sum * sum;
        const double norms = q.q_sq + row_sq[j];
        const double slop = kSketchHeadroom * (norms + 2.0 * (std::fabs(dot_lo) + std::fabs(dot_hi)) + magnitude);
        const double d_hi = std::min(norms * q.sq_up - 2.0 * dot_lo, magnitude) + slop;
        const double d_lo = std::max(norms * q.sq_down - 2.0 * dot_hi - slop, 0.0);
        const double s_hi = (1.0 + q.kernel.dist) * d_hi + q.kernel.floor;
        const double s_lo = (1.0 - q.kernel.dist) * d_lo - q.kernel.floor;
        const double last = kSketchHeadroom * (s_hi + q.kernel.floor);
        const bool known = dot_lo <= dot_hi && row_sq[j] < kInf && magnitude < kSafeMagnitude;
        lo[j] = known ? -(s_hi + last) : -kInf;
        hi[j] = known ? -(s_lo - last) : kInf;
    }
}

template <bool Euclid>
void ranges_baseline(const QueryTerms& q, SketchColumns x, const double* row_sq, const double* products,
                     std::size_t n, double* lo, double* hi) {
    if constexpr (Euclid) euclid_ranges(q, x, row_sq, products, n, lo, hi);
    else dot_ranges(q, x, row_sq, products, n, lo, hi);
}

template <bool Euclid>
[[gnu::target("avx2")]] void ranges_avx2(const QueryTerms& q, SketchColumns x, const double* row_sq,
                                         const double* products, std::size_t n, double* lo, double* hi) {
    if constexpr (Euclid) euclid_ranges(q, x, row_sq, products, n, lo, hi);
    else dot_ranges(q, x, row_sq, products, n, lo, hi);
}

}  // namespace

ScoreBounds::ScoreBounds(const Engine& e, std::span<const float> query, const SketchQuery& sq) {
    // Sums of squares in double, in any order, lie within gamma(n) of the exact ones
    // (every square of a float is exact in double).
    const double g = roundoff::gamma(static_cast<double>(e.dims) + 2.0, roundoff::kDouble);
    terms_.euclidean = e.metric == format::Metric::Euclidean;
    terms_.kernel = kernel_rounding(e.dims);
    terms_.sq_up = 1.0 + g + 0x1p-50;
    terms_.sq_down = 1.0 - g - 0x1p-50;
    terms_.q_sq = query_sq_norm(query);
    terms_.q_norm = sketch::norm_up(terms_.q_sq, e.dims);
    terms_.q = sq.facts();
    terms_.row_sq = e.row_sq_norms_table.data();
    if (sketch::use_avx2()) ranges_ = terms_.euclidean ? ranges_avx2<true> : ranges_avx2<false>;
    else ranges_ = terms_.euclidean ? ranges_baseline<true> : ranges_baseline<false>;
}

}  // namespace zorvik

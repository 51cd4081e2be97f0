#include "engine/sketch/score_range.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

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

// The bounds of a row are computed the same way in one double lane or in four (GCC
// vector types; the compiler would not vectorise the plain loop). Each lane takes the
// same steps in the same order, free of branches; a row that decides nothing is told
// apart by comparisons that NaN fails.
// Everything that takes or gives Lanes is inlined into the AVX2 entry point, so no call
// ever passes them by the ABI the warning is about.
#pragma GCC diagnostic ignored "-Wpsabi"
using Lanes = double __attribute__((vector_size(32)));
constexpr std::size_t kLanes = 4;

#define ZORVIK_LANE_OP [[gnu::always_inline]] inline
ZORVIK_LANE_OP double load(const double* p, double) { return *p; }
ZORVIK_LANE_OP Lanes load(const double* p, Lanes) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
ZORVIK_LANE_OP void store(double* p, double v) { *p = v; }
ZORVIK_LANE_OP void store(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }
ZORVIK_LANE_OP double magnitude_of(double v) { return std::fabs(v); }
ZORVIK_LANE_OP Lanes magnitude_of(Lanes v) { return v < 0.0 ? -v : v; }  // NaN and -0 as fabs leaves them in a sum
ZORVIK_LANE_OP double lesser(double a, double b) { return std::min(a, b); }  // b < a ? b : a
ZORVIK_LANE_OP Lanes lesser(Lanes a, Lanes b) { return b < a ? b : a; }
ZORVIK_LANE_OP double greater(double a, double b) { return std::max(a, b); }  // a < b ? b : a
ZORVIK_LANE_OP Lanes greater(Lanes a, Lanes b) { return a < b ? b : a; }
#undef ZORVIK_LANE_OP

// Cosine and dot: with c = t s P (t, s the scales, P the code product),
//   |kernel - c| <= spread + E, spread = e (t||p|| + ||g||) + ||g|| s||c||,
//   E = dot ||q|| ||x|| + floor,
// so c -+ ((1 + h)(spread + E) + h |c|) holds it, h covering the rounding of the double
// operations (each within 2^-53 of their nonnegative terms, and the centre's two).
template <class V>
[[gnu::always_inline]] inline auto dot_range(const QueryTerms& q, SketchColumns x, const double* products,
                                             std::size_t j, double* lo, double* hi, double reach) {
    const double up = 1.0 + kFoldedHeadroom;
    const V x_norm = load(x.x_norm + j, V{});
    const V centre = q.q.scale * load(x.scale + j, V{}) * load(products + j, V{});
    const V widen = up * (q.q.code_norm + q.q.error_norm) * load(x.error_norm + j, V{}) +
                    up * q.q.error_norm * load(x.code_norm + j, V{}) + up * q.kernel.dot * q.q_norm * x_norm +
                    up * q.kernel.floor + kFoldedHeadroom * magnitude_of(centre);
    const V l = centre - widen, h = centre + widen;
    const auto known = (q.q_norm * x_norm < kSafeMagnitude) & (l <= h);
    const V out_lo = known ? l : -kInf + V{}, out_hi = known ? h : kInf + V{};
    store(lo + j, out_lo);
    store(hi + j, out_hi);
    return out_hi >= reach;
}

// Euclidean: D = ||q||^2 + ||x||^2 - 2 q.x and D <= (||q|| + ||x||)^2, each term widened
// by the headroom, then the kernel's rounding of D; the rank is -D.
template <class V>
[[gnu::always_inline]] inline auto euclid_range(const QueryTerms& q, SketchColumns x, const double* row_sq,
                                                const double* products, std::size_t j, double* lo, double* hi,
                                                double reach) {
    const V centre = q.q.scale * load(x.scale + j, V{}) * load(products + j, V{});
    const V spread = load(x.error_norm + j, V{}) * (q.q.code_norm + q.q.error_norm) +
                     q.q.error_norm * load(x.code_norm + j, V{});
    const V widen = spread + kSketchHeadroom * (magnitude_of(centre) + spread);
    const V dot_lo = centre - widen, dot_hi = centre + widen;
    const V sum = q.q_norm + load(x.x_norm + j, V{});
    const V magnitude = sum * sum;
    const V sq = load(row_sq + j, V{});
    const V norms = q.q_sq + sq;
    const V slop = kSketchHeadroom * (norms + 2.0 * (magnitude_of(dot_lo) + magnitude_of(dot_hi)) + magnitude);
    const V d_hi = lesser(norms * q.sq_up - 2.0 * dot_lo, magnitude) + slop;
    const V d_lo = greater(norms * q.sq_down - 2.0 * dot_hi - slop, 0.0 + V{});
    const V s_hi = (1.0 + q.kernel.dist) * d_hi + q.kernel.floor;
    const V s_lo = (1.0 - q.kernel.dist) * d_lo - q.kernel.floor;
    const V last = kSketchHeadroom * (s_hi + q.kernel.floor);
    const auto known = (dot_lo <= dot_hi) & (sq < kInf) & (magnitude < kSafeMagnitude);
    const V out_lo = known ? -(s_hi + last) : -kInf + V{}, out_hi = known ? -(s_lo - last) : kInf + V{};
    store(lo + j, out_lo);
    store(hi + j, out_hi);
    return out_hi >= reach;
}

// One row's bounds, or four rows' in lanes, for the metric.
template <bool Euclid, class V>
[[gnu::always_inline]] inline auto range(const QueryTerms& q, SketchColumns x, const double* row_sq,
                                         const double* products, std::size_t j, double* lo, double* hi,
                                         double reach) {
    if constexpr (Euclid) return euclid_range<V>(q, x, row_sq, products, j, lo, hi, reach);
    else return dot_range<V>(q, x, products, j, lo, hi, reach);
}

// Rows in fours while four remain, then one by one: every row's bounds are the same
// either way.
template <bool Euclid, class V>
[[gnu::always_inline]] inline bool ranges_in(const QueryTerms& q, SketchColumns x, const double* row_sq,
                                             const double* products, std::size_t n, double* lo, double* hi,
                                             double reach, std::uint64_t* reached) {
    std::fill_n(reached, (n + 63) / 64, std::uint64_t{0});
    std::size_t j = 0;
    if constexpr (!std::is_same_v<V, double>) {
        for (; j + kLanes <= n; j += kLanes) {  // j is a multiple of 4: the lanes' bits share a word
            const auto lanes = range<Euclid, V>(q, x, row_sq, products, j, lo, hi, reach);
            std::uint64_t bits = 0;
            for (std::size_t lane = 0; lane < kLanes; ++lane) bits |= std::uint64_t{lanes[lane] != 0} << lane;
            reached[j / 64] |= bits << (j % 64);
        }
    }
    for (; j < n; ++j)
        reached[j / 64] |= std::uint64_t{range<Euclid, double>(q, x, row_sq, products, j, lo, hi, reach)} << (j % 64);
    return std::any_of(reached, reached + (n + 63) / 64, [](std::uint64_t w) { return w != 0; });
}

template <bool Euclid>
bool ranges_baseline(const QueryTerms& q, SketchColumns x, const double* row_sq, const double* products,
                     std::size_t n, double* lo, double* hi, double reach, std::uint64_t* reached) {
    return ranges_in<Euclid, double>(q, x, row_sq, products, n, lo, hi, reach, reached);
}

template <bool Euclid>
[[gnu::target("avx2")]] bool ranges_avx2(const QueryTerms& q, SketchColumns x, const double* row_sq,
                                         const double* products, std::size_t n, double* lo, double* hi,
                                         double reach, std::uint64_t* reached) {
    return ranges_in<Euclid, Lanes>(q, x, row_sq, products, n, lo, hi, reach, reached);
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

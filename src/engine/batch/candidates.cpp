#include "engine/batch/candidates.hpp"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "base/floats.hpp"
#include "base/roundoff.hpp"
#include "base/settings.hpp"
#include "engine/scan/kernels.hpp"

namespace zorvik {

namespace {

// ---- The bound ---------------------------------------------------------------------------
//
// u = 2^-24 and ud = 2^-53 are the unit roundoffs of float and double, gamma(m) = m u /
// (1 - m u), n the dimension count, A = sum |q_i x_i| <= ||q|| ||x||.
//
// Inner products. Every summation of n float terms, in any order and grouping, with the
// products rounded or fused, lies within gamma(n) A of the exact sum, up to the products'
// underflow (at most 2^-150 each). The kernel's score and the product's both do, so they
// differ by at most 2 gamma(n) A plus both underflows.
//
// Squared distances. The product's score is float((|x|^2 + |q|^2) - 2 d) with d a product
// inner product and the sums of squares in doubles (each within gamma(n, ud) of its exact
// value): it lies within 2 gamma(n) A + (gamma(n, ud) + 8 ud) (|x|^2 + |q|^2) + 2u |s| of
// the exact distance D. The kernel sums fl(fl(q_i - x_i)^2), each within 3u (and an
// underflow) of (q_i - x_i)^2, in float: within (gamma(n) (1 + 3u) + 3u) D of D, and D <=
// (||q|| + ||x||)^2.
//
// Norms enter through sums of squares computed in double (rounded up by their own error),
// and the whole bound is widened by 2^-20 of itself for the few double operations behind it.

constexpr double kWiden = 1.0 + 0x1p-20;

float toward_minus(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) > v) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
}

float toward_plus(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) < v) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

}  // namespace

ProductBound::ProductBound(const Engine& e, std::span<const float> query)
    : euclidean_(e.metric == format::Metric::Euclidean) {
    const double n = static_cast<double>(query.size()) + 2.0;
    const double g = roundoff::gamma(n, roundoff::kFloat);
    q_sq_ = query_sq_norm(query);
    sq_error_ = 1.0 + roundoff::gamma(n, roundoff::kDouble) + 0x1p-50;
    q_norm_ = std::sqrt(q_sq_ * sq_error_) * (1.0 + 0x1p-50);
    dot_part_ = 2.0 * g;
    dist_part_ = euclidean_ ? g * (1.0 + 4.0 * roundoff::kFloat) + 4.0 * roundoff::kFloat : 0.0;
    norms_part_ = euclidean_ ? roundoff::gamma(n, roundoff::kDouble) + 8.0 * roundoff::kDouble : 0.0;
    floor_ = n * 0x1p-146;
}

double ProductBound::margin(double row_sq, float s) const {
    const double x_norm = std::sqrt(row_sq * sq_error_) * (1.0 + 0x1p-50);
    double e = dot_part_ * q_norm_ * x_norm + floor_;
    if (euclidean_) {
        const double sum = q_norm_ + x_norm;
        e += dist_part_ * (sum * sum) + norms_part_ * (q_sq_ + row_sq) + 2.0 * roundoff::kFloat * std::fabs(s);
    }
    return e * kWiden;
}

double ProductBound::margin_near(double row_sq, double threshold) const {
    // For euclidean the bound grows with |s|, and |s| <= |threshold| + the bound there.
    if (!euclidean_) return margin(row_sq, 0.0f);
    const double u2 = 2.0 * roundoff::kFloat * kWiden;
    return (margin(row_sq, 0.0f) + u2 * std::fabs(threshold)) / (1.0 - u2) * kWiden;
}

QueryCandidates::QueryCandidates(const Engine& e, const float* query, std::uint64_t k_eff)
    : e_(e),
      query_(query),
      hopeless_(!std::all_of(query, query + e.dims, is_finite)),
      bound_(e, {query, static_cast<std::size_t>(e.dims)}),
      worst_(k_eff, e.metric),
      exact_(k_eff, e.metric),
      cap_(static_cast<std::size_t>(2 * k_eff + 64)) {}

double QueryCandidates::threshold() const {
    const bool l2 = e_.metric == format::Metric::Euclidean;
    double t = l2 ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    for (const TopKHeap* h : {&worst_, &exact_}) {
        if (!h->full()) continue;
        const double r = static_cast<double>(h->root().score);
        t = l2 ? std::min(t, r) : std::max(t, r);
    }
    return t;
}

float QueryCandidates::prefilter_limit(double row_sq_max) const {
    const bool l2 = e_.metric == format::Metric::Euclidean;
    constexpr float kInf = std::numeric_limits<float>::infinity();
    if (!threshold_known()) return l2 ? kInf : -kInf;
    const double t = threshold();
    const double m = bound_.margin_near(row_sq_max, t);
    if (!(m == m)) return l2 ? kInf : -kInf;
    return l2 ? toward_plus(t + m) : toward_minus(t - m);
}

void QueryCandidates::consider(std::uint64_t row, float s) {
    const double row_sq = e_.row_sq_norm(row);
    if (!std::isfinite(row_sq)) return;  // a NaN or an infinity in the row: never a finite kernel score
    const bool l2 = e_.metric == format::Metric::Euclidean;
    constexpr float kInf = std::numeric_limits<float>::infinity();
    if (!is_finite(s)) {
        // The product overflowed where the kernel may not have: no bound, always a candidate.
        pending_.push_back(Hit{row, l2 ? -kInf : kInf});
    } else {
        const double m = bound_.margin(row_sq, s);
        const double best = l2 ? s - m : s + m;
        const double worst = l2 ? s + m : s - m;
        const bool loses = threshold_known() && (l2 ? best > threshold() : best < threshold());
        if (!loses) pending_.push_back(Hit{row, l2 ? toward_minus(best) : toward_plus(best)});
        worst_.offer(Hit{row, l2 ? toward_plus(worst) : toward_minus(worst)});
    }
    if (pending_.size() >= cap_) compact();
}

void QueryCandidates::compact() {
    if (threshold_known()) {
        const bool l2 = e_.metric == format::Metric::Euclidean;
        const double t = threshold();
        std::erase_if(pending_, [&](const Hit& h) {
            const double best = static_cast<double>(h.score);
            return l2 ? best > t : best < t;
        });
    }
    // Many rows within the bound of each other (near ties): score them now, so that the
    // list stays short and the kernel scores tighten the threshold.
    if (pending_.size() > cap_ / 2) rescore_pending();
}

void QueryCandidates::rescore_pending() {
    const bool scalar = settings::force_scalar();
    for (const Hit& h : pending_) {
        float score;
        score_rows(e_.metric, query_, static_cast<std::size_t>(e_.dims), e_.row(h.idx), 1, scalar, &score);
        exact_.offer(Hit{h.idx, score});
    }
    pending_.clear();
}

void QueryCandidates::offer(const float* s, std::size_t n, RowIds ids, double row_sq_max) {
    if (hopeless_) return;
    const bool l2 = e_.metric == format::Metric::Euclidean;
    float limit = prefilter_limit(row_sq_max);
    const __m128 inf = _mm_set1_ps(l2 ? std::numeric_limits<float>::infinity()
                                      : -std::numeric_limits<float>::infinity());
    // Passing: not on the losing side of the limit (NaN passes), or the infinity a
    // product overflow leaves on the losing side.
    const auto passing = [&](__m128 v, __m128 lim) {
        const __m128 keep = l2 ? _mm_cmpngt_ps(v, lim) : _mm_cmpnlt_ps(v, lim);
        return _mm_movemask_ps(_mm_or_ps(keep, _mm_cmpeq_ps(v, inf)));
    };
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m128 lim = _mm_set1_ps(limit);
        unsigned mask = static_cast<unsigned>(passing(_mm_loadu_ps(s + j), lim) |
                                              passing(_mm_loadu_ps(s + j + 4), lim) << 4);
        if (mask == 0) continue;
        for (; mask != 0; mask &= mask - 1) {
            const std::size_t at = j + static_cast<std::size_t>(std::countr_zero(mask));
            consider(ids[at], s[at]);
        }
        limit = prefilter_limit(row_sq_max);
    }
    for (; j < n; ++j) {
        const float v = s[j];
        const bool keep = l2 ? !(v > limit) || v == std::numeric_limits<float>::infinity()
                             : !(v < limit) || v == -std::numeric_limits<float>::infinity();
        if (keep) {
            consider(ids[j], v);
            limit = prefilter_limit(row_sq_max);
        }
    }
}

std::vector<Hit> QueryCandidates::finish() {
    compact();
    rescore_pending();
    return exact_.into_sorted();
}

}  // namespace zorvik

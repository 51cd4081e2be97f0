#include "engine/certified/rounding.hpp"

#include <algorithm>
#include <cmath>

#include "base/roundoff.hpp"
#include "base/settings.hpp"
#include "engine/index/dim_blocks.hpp"

namespace zorvik {

namespace {


// Rounding additions on the longest path of the vector order over n elements.
double vector_order_depth(std::uint64_t n) {
    const std::uint64_t groups = n / 8, tail = n % 8;
    if (groups == 0) return tail == 0 ? 0.0 : static_cast<double>(tail - 1);
    return static_cast<double>(groups + 3 + tail);
}

double score_depth(std::uint64_t n) {
    if (settings::force_scalar()) return n == 0 ? 0.0 : static_cast<double>(n - 1);
    return vector_order_depth(n);
}

}  // namespace

// The terms: fl(q_i x_i) lies within u |q_i x_i| (the product) plus 2^-150 (its underflow)
// of q_i x_i, and fl(fl(q_i - x_i)^2) within (1 + u)^3 of (q_i - x_i)^2 (a difference that
// lands among the subnormals is exact) plus 2^-150. Their sum, whose longest path has m
// rounding additions, lies within gamma_m of the exact sum of the terms (additions of
// subnormals are exact). Since (1 + u)^j (1 + gamma_m) <= 1 + gamma_(m+j), the relative
// parts are gamma_(m+1) of sum |q_i x_i| <= ||q|| ||x|| and gamma_(m+3) of D, and the
// underflows at most n 2^-149 in all.
KernelRounding kernel_rounding(std::uint64_t dims) {
    const double depth = score_depth(dims);
    KernelRounding k;
    k.dot = roundoff::gamma(depth + 1.0, roundoff::kFloat);
    k.dist = roundoff::gamma(depth + 3.0, roundoff::kFloat);
    k.floor = static_cast<double>(dims) * 0x1p-149;
    return k;
}

// The fixed slack covers the rounding only for data of moderate magnitude, so every
// row's slack is the larger of kFixedSlack and a rigorous bound E on what rounding can
// move, u = 2^-24 and ud = 2^-53 being the unit roundoffs of float and double,
// gamma_m = m*u / (1 - m*u).
//
// Dot metrics. Both sides add the same float products t_i = fl(q_i x_i); only the
// additions differ. A sum whose longest path from a term to the result has m rounding
// additions is within gamma_m * sum|t_i| of the exact sum of the t_i (Higham, 2002,
// sec. 4.2). In the vector order over n elements that depth is (n/8 - 1) + 3 + 1 +
// n%8 (lane chain, lane reduction, sB + sA, tail; adding a term to +0 is exact), in the
// scalar order n - 1; a single element has none. So the full score is within
// gamma_s * sum|t_i| and the seen block sums within gamma_b * sum|t_i| of the exact sums
// (gamma_b for the deepest block), and their double sum within gamma(nb, ud) more.
// The unseen part is at most (1+u) * ||q_unseen|| * ||x|| by Cauchy-Schwarz, where
//   ||x|| <= row_norm * (1 + 2u + gamma(dims, ud))      (double sum, float rounding, float sqrt)
//   ||q_unseen|| <= q_rem + sqrt(3 gamma(dims+1, ud)) ||q|| + ud ||q||
// (q_rem is the root of a difference of two double sums of squares, each within
// gamma(dims, ud) of its exact value; a root amplifies an absolute error e to sqrt(e)).
// With sum|t_i| <= (1+u) ||q|| ||x||, every term is a multiple of row_norm:
//   E = row_norm * (coefficient of the query), plus 8 ud for the last double operations.
//
// Euclidean. score_pair sums t'_i = fl(fl(q_i - x_i)^2) >= (1-u)^3 d_i^2, so it is at
// least (1 - 3u - gamma_s) D, D the exact squared distance, D <= (||q|| + ||x||)^2. The
// bound ||q||^2 + ||x||^2 - 2 upper needs upper >= the exact inner product, which adds
// u * sum|q_i x_i| to the dot terms (no gamma_s there), and the double sums of squares
// give gamma(dims+2, ud) (||q||^2 + ||x||^2). The slack enters twice, so E is the dot
// part plus half of the rest: a quadratic in row_norm.
//
// Every term is bounded by sums of magnitudes, never by the row itself, so E costs a few
// operations per row. On normalised 384-dimensional data E is about 4e-6, on N(0, 1)
// values of 128 dimensions about 3e-4; wherever E stays below kFixedSlack the slack,
// every bound, every decision and every record are those of the fixed slack alone.
Allowance rounding_allowance(format::Metric metric, std::uint64_t dims, std::uint64_t bs, std::uint64_t nb,
                             double q_sq) {
    const double u = roundoff::kFloat, ud = roundoff::kDouble;
    const double n = static_cast<double>(dims);
    const double qn = std::sqrt(q_sq) * (1.0 + roundoff::gamma(n + 2.0, ud));  // >= ||q||
    const double rx = 1.0 + 2.0 * u + roundoff::gamma(n, ud);                  // ||x|| <= rx * row_norm
    const double g_s = roundoff::gamma(score_depth(dims), u);
    const std::uint64_t last = dims - dim_block(nb - 1, bs, dims).start;
    const double g_b = roundoff::gamma(std::max(vector_order_depth(std::min(bs, dims)), vector_order_depth(last)), u);
    const double g_nb = roundoff::gamma(static_cast<double>(nb), ud);
    const double dq = (std::sqrt(3.0 * roundoff::gamma(n + 1.0, ud)) + ud) * qn;
    const double cauchy_schwarz = qn * ((1.0 + u) * rx - 1.0 + ud) + (1.0 + u) * rx * dq;
    const double terms = (1.0 + u) * qn * rx;  // sum|t_i| <= terms * row_norm
    const double last_ops = 8.0 * ud;

    Allowance a;
    a.exact_dot = terms * (g_b + g_nb * (1.0 + g_b)) + u * qn * rx;
    if (metric != format::Metric::Euclidean) {
        a.lin = terms * (g_s + g_b + g_nb * (1.0 + g_b)) + cauchy_schwarz + last_ops * qn * rx;
        a.base = last_ops * kFixedSlack;
        return a;
    }
    const double per_distance = (3.0 * u + g_s) / 2.0 + last_ops;  // times (||q|| + ||x||)^2
    const double per_norms = roundoff::gamma(n + 2.0, ud) / 2.0;              // times ||q||^2 + ||x||^2
    a.quad = (per_distance + per_norms) * rx * rx;
    a.lin = terms * (g_b + g_nb * (1.0 + g_b)) + u * qn * rx + cauchy_schwarz + last_ops * qn * rx +
            per_distance * 2.0 * qn * rx;
    a.base = (per_distance + per_norms) * qn * qn + last_ops * kFixedSlack;
    return a;
}

}  // namespace zorvik

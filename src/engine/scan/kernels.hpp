#pragma once
// Per-row scoring: the inner product (metrics 0 and 1) or the squared Euclidean distance
// (metric 2) of a query and a stored row, in one of two fixed summation orders.
//
// Vector order (default): two four-lane accumulators A and B over full groups of eight
// elements (lane j of A sums element 8g+j, lane j of B element 8g+4+j), reduced as
// sB + sA with sA = ((A0 + A1) + A2) + A3 and sB likewise, then the tail elements added
// one by one. Scalar order (ZORVIK_FORCE_SCALAR=1): one accumulator, element order.
// Terms are rounded to float before they are added; nothing is fused.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/floats.hpp"
#include "format/header.hpp"

namespace zorvik {

// Score of one row against the query; loops over query.size() elements. A row shorter
// than the query throws std::out_of_range.
float score_pair(format::Metric metric, std::span<const float> query, std::span<const float> row);

// Scores `count` consecutive rows of a row-major matrix (row stride `dims`) starting at
// `rows`, writing out[i] for row i. `scalar` picks the order (callers pass
// settings::force_scalar()).
// Every out[i] is bit-identical to score_pair on that row.
void score_rows(format::Metric metric, const float* query, std::size_t dims, const float* rows,
                std::size_t count, bool scalar, float* out);

// Scores rows given by their addresses (rows of the matrix from anywhere, in any order),
// writing out[i] for rows[i]: the same kernels as score_rows, four rows at a time, so
// rows left over from short runs are scored as fast as runs. A row's sum never depends
// on the rows scored beside it: every out[i] is bit-identical to score_pair on that row.
void score_rows_at(format::Metric metric, const float* query, std::size_t dims, const float* const* rows,
                   std::size_t count, bool scalar, float* out);

// Inner product of n elements in the vector order, whatever settings::force_scalar() says.
float dot_vector_order(const float* q, const float* x, std::size_t n);

// Sum of x[t]^2 in doubles (each factor widened first), from -0.0, in element order:
// the one sum of squares of query vectors, stored rows and their dimension blocks.
inline double sum_of_squares(const float* x, std::uint64_t n) {
    double s = -0.0;
    for (std::uint64_t t = 0; t < n; ++t) s = s + static_cast<double>(x[t]) * static_cast<double>(x[t]);
    return s;
}

// sum_of_squares of the whole query.
inline double query_sq_norm(std::span<const float> query) { return sum_of_squares(query.data(), query.size()); }

// Metric-2 score from a matrix-product inner product: (|x|^2 + |q|^2) - (d + d) in doubles.
inline float euclid_from_dot(double row_sq_norm, double q_sq_norm, float d) {
    const double dd = static_cast<double>(d);
    return static_cast<float>((row_sq_norm + q_sq_norm) - (dd + dd));
}

}  // namespace zorvik

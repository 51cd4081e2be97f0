#pragma once
// Matrix products pick the candidates; the per-row kernel scores them.
//
// The score a BLAS product gives a row and the kernel's score of the same row differ by at
// most a bound on the rounding of both, whatever summation order, tiling, fused
// multiply-add or processor the library used. A row whose best possible kernel score ranks
// after the k-th best worst possible one among the rows seen cannot be in the answer; every
// other row is scored again with the kernel, and the answer is ranked on kernel scores
// alone. So a query's answer is, bit for bit, the answer of the kernel scan, whatever batch,
// tile or thread count the query came in and whatever BLAS kernels made the products.
#include <cstdint>
#include <span>
#include <vector>

#include "engine/index/engine.hpp"
#include "engine/scan/row_blocks.hpp"
#include "engine/scan/topk.hpp"

namespace zorvik {

// How far a product score of one query may lie from the kernel's score of the same row.
class ProductBound {
public:
    ProductBound(const Engine& e, std::span<const float> query);

    // The bound for a row with squared norm `row_sq` (finite) whose product score is `s`
    // (finite).
    double margin(double row_sq, float s) const;

    // A bound that holds for every row with squared norm at most `row_sq` whose product
    // score lies within it of `threshold`.
    double margin_near(double row_sq, double threshold) const;

private:
    bool euclidean_;
    double sq_error_;    // a sum of squares times this is at least the exact one
    double q_norm_;      // at least ||q||
    double q_sq_;        // the query's sum of squares, as the product scores use it
    double dot_part_;    // times ||q|| ||x||: both inner products' rounding
    double dist_part_;   // times (||q|| + ||x||)^2: the kernel's squared distances
    double norms_part_;  // times ||q||^2 + ||x||^2: the double sums and operations
    double floor_;       // underflow of the products, in absolute terms
};

// The candidates of one query among the rows of one product after another, and their
// kernel scores at the end.
class QueryCandidates {
public:
    QueryCandidates(const Engine& e, const float* query, std::uint64_t k_eff);

    // Product scores s[0 .. n) of rows ids[0 .. n); `row_sq_max` is at least the squared
    // norm of every finite row among them.
    void offer(const float* s, std::size_t n, RowIds ids, double row_sq_max);

    // The best k_eff rows by kernel score, best first; leaves the object empty.
    std::vector<Hit> finish();

private:
    void consider(std::uint64_t row, float s);
    void rescore_pending();
    void compact();
    bool threshold_known() const { return worst_.full() || exact_.full(); }
    double threshold() const;
    float prefilter_limit(double row_sq_max) const;

    const Engine& e_;
    const float* query_;
    bool hopeless_;  // a NaN or an infinity in the query: no row has a finite kernel score
    ProductBound bound_;
    TopKHeap worst_;            // the k best worst possible scores
    TopKHeap exact_;            // the k best kernel scores of the rows scored so far
    std::vector<Hit> pending_;  // candidates with their best possible score
    std::size_t cap_;
};

}  // namespace zorvik

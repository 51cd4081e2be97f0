#pragma once
// Bounds on the score the per-row kernel gives a row, drawn from bounds on its exact inner
// product with the query and the stored norms, the kernel's rounding included. They are
// kept in rank order (the score itself for cosine and dot, its negation for euclidean),
// so that larger always ranks first.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/certified/rounding.hpp"
#include "engine/index/engine.hpp"
#include "engine/sketch/sketch_query.hpp"

namespace zorvik {

// What one query's bounds read besides a row's own facts.
struct QueryTerms {
    bool euclidean = false;
    KernelRounding kernel;
    double sq_up = 0.0;    // a stored sum of squares times this is at least the exact one
    double sq_down = 0.0;  // and times this at most
    double q_sq = 0.0;     // the query's sum of squares
    double q_norm = 0.0;   // at least ||q||
    sketch::Quantised q;   // the query's sketch facts
    const double* row_sq = nullptr;  // the engine's stored sums of squares
};

// Calls f(j) for every bit j set by rank_ranges over n rows, in increasing j.
template <class F>
void for_each_reached(const std::uint64_t* reached, std::size_t n, F&& f) {
    for (std::size_t w = 0; w < (n + 63) / 64; ++w)
        for (std::uint64_t bits = reached[w]; bits != 0; bits &= bits - 1)
            f(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
}

class ScoreBounds {
public:
    ScoreBounds(const Engine& e, std::span<const float> query, const SketchQuery& sq);

    // lo[j] <= rank of the kernel's score of row r + j <= hi[j], for j < n, from the rows'
    // code products with the query. lo is finite only where the kernel's score is certain
    // to be finite (a finite row whose terms stay far from overflow); where nothing is
    // known (a NaN or an infinity in the row, magnitudes near the float limit) the range
    // is -infinity to +infinity. Sets bit j % 64 of reached[j / 64] exactly where
    // hi[j] >= `reach` (a scan passes its threshold, and looks at those rows alone), and
    // returns whether any is set.
    bool rank_ranges(const RowSketch& sketch, std::uint64_t r, const double* products, std::size_t n, double* lo,
                     double* hi, double reach, std::uint64_t* reached) const {
        return ranges_(terms_, sketch.columns(r), terms_.row_sq + r, products, n, lo, hi, reach, reached);
    }

    using Ranges = bool (*)(const QueryTerms&, SketchColumns, const double* row_sq, const double* products,
                            std::size_t n, double* lo, double* hi, double reach, std::uint64_t* reached);

private:
    QueryTerms terms_;
    Ranges ranges_;
};

}  // namespace zorvik

#pragma once
// The block bound both pruned scans test a row with. After some dimension blocks of a row,
// `partial` is its inner product with the query over those blocks and `unseen` bounds the
// rest (Cauchy-Schwarz), so the row's inner product is at most
//   upper = (unseen + partial) + slack,
// and its squared euclidean distance at least norms - (upper + upper), norms being
// |x|^2 + |q|^2. A row whose bound lies strictly on the losing side of the heap's root
// cannot enter the top k. These few double operations, in this order, decide every
// pruned row: any change to them changes which rows are scored.
#include <cmath>
#include <limits>

namespace zorvik::bound {

inline double upper(double unseen, double partial, double slack) { return (unseen + partial) + slack; }

inline double euclid_lower(double norms, double upper) { return norms - (upper + upper); }

// Strictly on the losing side of `root`: above it for euclidean ranking (smaller is
// better), below it otherwise. NaN never loses.
template <class T>
bool loses(T bound, T root, bool euclidean) {
    return euclidean ? bound > root : root > bound;
}

// The bound as a float rounded away from the losing side (up for an upper bound, down for
// a euclidean lower bound), so that the value a certificate records is still a bound.
inline float recorded(double bound, bool euclidean) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    float f = static_cast<float>(bound);
    if (euclidean ? static_cast<double>(f) > bound : static_cast<double>(f) < bound)
        f = std::nextafter(f, euclidean ? -kInf : kInf);
    return f;
}

// Losing even once recorded: the decision a certificate's reader can check again from the
// recorded value and the k-th score alone. Only rows within a float rounding of the root
// are kept where the bound itself would lose.
inline bool loses_recorded(double bound, float root, bool euclidean) {
    return loses(bound, static_cast<double>(root), euclidean) && loses(recorded(bound, euclidean), root, euclidean);
}

}  // namespace zorvik::bound

#pragma once
// The block bound both pruned scans test a row with. After some dimension blocks of a row,
// `partial` is its inner product with the query over those blocks and `unseen` bounds the
// rest (Cauchy-Schwarz), so the row's inner product is at most
//   upper = (unseen + partial) + slack,
// and its squared euclidean distance at least norms - (upper + upper), norms being
// |x|^2 + |q|^2. A row whose bound lies strictly on the losing side of the heap's root
// cannot enter the top k. These few double operations, in this order, decide every
// pruned row: any change to them changes which rows are scored.
namespace zorvik::bound {

inline double upper(double unseen, double partial, double slack) { return (unseen + partial) + slack; }

inline double euclid_lower(double norms, double upper) { return norms - (upper + upper); }

// Strictly on the losing side of `root`: above it for euclidean ranking (smaller is
// better), below it otherwise. NaN never loses.
template <class T>
bool loses(T bound, T root, bool euclidean) {
    return euclidean ? bound > root : root > bound;
}

}  // namespace zorvik::bound

#pragma once
// Block scoring through the BLAS single-precision matrix product.
#include <cstddef>

namespace zorvik {

// D[i][j] = sum_t Q[i][t] * X[j][t] for Q (m x dims) and X (n x dims), both row-major
// with row stride dims; D is m x n, row-major, row stride n. D must be zero-filled by the
// caller; the product uses scale 1 and adds nothing to it. Summation order is the BLAS
// library's own (it may fuse multiply and add).
void gemm_scores(const float* Q, std::size_t m, const float* X, std::size_t n, std::size_t dims, float* D);

// Makes the BLAS library run each call on the calling thread only: the worker pool owns
// the parallelism of every caller.
void blas_single_threaded();

}  // namespace zorvik

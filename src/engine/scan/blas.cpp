#include "engine/scan/blas.hpp"

#include <cblas.h>

#include <climits>
#include <cstdint>

#include "base/tuning.hpp"

namespace zorvik {

namespace {

// Largest extent handed to one BLAS call (its integers are 32-bit).
constexpr std::size_t kMaxExtent = static_cast<std::size_t>(INT_MAX);

void sgemm_nt(const float* Q, std::size_t m, const float* X, std::size_t n, std::size_t dims, float* D,
              std::size_t ldd) {
    scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(m), static_cast<blasint>(n),
                      static_cast<blasint>(dims), 1.0f, Q, static_cast<blasint>(dims), X,
                      static_cast<blasint>(dims), 0.0f, D, static_cast<blasint>(ldd));
}

// One query row: the matrix-vector product computes the same sums without packing the
// rows first (several times faster for a single query).
void sgemv_rows(const float* q, const float* X, std::size_t n, std::size_t dims, float* d) {
    scipy_cblas_sgemv(CblasRowMajor, CblasNoTrans, static_cast<blasint>(n), static_cast<blasint>(dims), 1.0f, X,
                      static_cast<blasint>(dims), q, 1, 0.0f, d, 1);
}

// Plain products for operands the 32-bit BLAS interface cannot describe.
void products_plain(const float* Q, std::size_t m, const float* X, std::size_t n, std::size_t dims, float* D) {
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            const float* q = Q + i * dims;
            const float* x = X + j * dims;
            float s = 0.0f;
            for (std::size_t t = 0; t < dims; ++t) s = s + q[t] * x[t];
            D[i * n + j] = s;
        }
}

}  // namespace

void gemm_scores(const float* Q, std::size_t m, const float* X, std::size_t n, std::size_t dims, float* D) {
    if (m == 0 || n == 0 || dims == 0) return;  // D stays zero: an empty sum
    if (dims > kMaxExtent || m > kMaxExtent) {
        products_plain(Q, m, X, n, dims, D);
        return;
    }
    if (m > 1 && n <= kMaxExtent) {
        sgemm_nt(Q, m, X, n, dims, D, n);
        return;
    }
    // One query row at a time (also when the rows exceed what one call can address), in
    // pieces of rows that fit the 32-bit interface.
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; j += tuning::kBlasRowPiece) {
            const std::size_t w = n - j < tuning::kBlasRowPiece ? n - j : tuning::kBlasRowPiece;
            sgemv_rows(Q + i * dims, X + j * dims, w, dims, D + i * n + j);
        }
}

void blas_single_threaded() { scipy_openblas_set_num_threads(1); }

}  // namespace zorvik

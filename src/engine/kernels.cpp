#include "engine/kernels.hpp"

#include <xmmintrin.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace zorvik {

namespace {

// How far ahead of the rows being scored the four-row loop asks for cache lines.
constexpr std::uintptr_t kPrefetchBytes = 16384;

// The term of one element, rounded to float: q*x, or (q-x)^2 for metric 2.
template <bool L2>
inline float term(float q, float x) {
    if constexpr (L2) {
        const float d = q - x;
        return d * d;
    } else {
        return q * x;
    }
}

template <bool L2>
inline __m128 term4(__m128 q, __m128 x) {
    if constexpr (L2) {
        const __m128 d = _mm_sub_ps(q, x);
        return _mm_mul_ps(d, d);
    } else {
        return _mm_mul_ps(q, x);
    }
}

// Scalar order: one accumulator, elements 0..n-1 in order.
template <bool L2>
float scalar_one(const float* q, const float* x, std::size_t n) {
    float s = 0.0f;
    for (std::size_t i = 0; i < n; ++i) s = s + term<L2>(q[i], x[i]);
    return s;
}

// Scalar order for eight rows (stride n) at once: eight independent chains, each in
// element order, so the additions of different rows overlap.
template <bool L2>
void scalar_eight(const float* q, const float* x, std::size_t n, float* out) {
    const float* x0 = x;
    const float* x4 = x + 4 * n;
    float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f, s4 = 0.0f, s5 = 0.0f, s6 = 0.0f, s7 = 0.0f;
    std::uintptr_t pf = reinterpret_cast<std::uintptr_t>(x) + kPrefetchBytes;
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 8 == 0) {  // eight rows consume 256 bytes per eight elements
            for (std::uintptr_t line = 0; line < 256; line += 64)
                _mm_prefetch(reinterpret_cast<const char*>(pf + line), _MM_HINT_T0);
            pf += 256;
        }
        const float qi = q[i];
        s0 = s0 + term<L2>(qi, x0[i]);
        s1 = s1 + term<L2>(qi, x0[n + i]);
        s2 = s2 + term<L2>(qi, x0[2 * n + i]);
        s3 = s3 + term<L2>(qi, x0[3 * n + i]);
        s4 = s4 + term<L2>(qi, x4[i]);
        s5 = s5 + term<L2>(qi, x4[n + i]);
        s6 = s6 + term<L2>(qi, x4[2 * n + i]);
        s7 = s7 + term<L2>(qi, x4[3 * n + i]);
    }
    const float s[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    for (std::size_t r = 0; r < 8; ++r) out[r] = s[r];
}

// Vector order for one row: A/B lanes over groups of eight, sB + sA, then the tail.
template <bool L2>
float vector_one(const float* q, const float* x, std::size_t n) {
    float s = 0.0f;
    std::size_t i = 0;
    if (n >= 8) {
        __m128 a = _mm_setzero_ps();
        __m128 b = _mm_setzero_ps();
        for (; i + 8 <= n; i += 8) {
            a = _mm_add_ps(a, term4<L2>(_mm_loadu_ps(q + i), _mm_loadu_ps(x + i)));
            b = _mm_add_ps(b, term4<L2>(_mm_loadu_ps(q + i + 4), _mm_loadu_ps(x + i + 4)));
        }
        alignas(16) float la[4];
        alignas(16) float lb[4];
        _mm_store_ps(la, a);
        _mm_store_ps(lb, b);
        const float sa = ((la[0] + la[1]) + la[2]) + la[3];
        const float sb = ((lb[0] + lb[1]) + lb[2]) + lb[3];
        s = sb + sa;
    }
    for (; i < n; ++i) s = s + term<L2>(q[i], x[i]);
    return s;
}

// Vector order for four consecutive rows (stride n), sharing the query loads. Each row
// keeps its own A and B; after the transposes lane r of every vector belongs to row r,
// so the reduction ((A0 + A1) + A2) + A3, the sB + sA step and the in-order tail are the
// one-row sequence applied to four rows side by side.
template <bool L2>
void vector_four(const float* q, const float* x, std::size_t n, float* out) {
    const float* x0 = x;
    const float* x1 = x0 + n;
    const float* x2 = x1 + n;
    const float* x3 = x2 + n;
    __m128 s = _mm_setzero_ps();
    std::size_t i = 0;
    if (n >= 8) {
        __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps(), a2 = _mm_setzero_ps(), a3 = _mm_setzero_ps();
        __m128 b0 = _mm_setzero_ps(), b1 = _mm_setzero_ps(), b2 = _mm_setzero_ps(), b3 = _mm_setzero_ps();
        // The four rows are contiguous: 128 bytes are consumed per group, so prefetching
        // two lines per group keeps a fixed distance ahead of the reads.
        std::uintptr_t pf = reinterpret_cast<std::uintptr_t>(x) + kPrefetchBytes;
        for (; i + 8 <= n; i += 8, pf += 128) {
            _mm_prefetch(reinterpret_cast<const char*>(pf), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(pf + 64), _MM_HINT_T0);
            const __m128 qa = _mm_loadu_ps(q + i);
            const __m128 qb = _mm_loadu_ps(q + i + 4);
            a0 = _mm_add_ps(a0, term4<L2>(qa, _mm_loadu_ps(x0 + i)));
            b0 = _mm_add_ps(b0, term4<L2>(qb, _mm_loadu_ps(x0 + i + 4)));
            a1 = _mm_add_ps(a1, term4<L2>(qa, _mm_loadu_ps(x1 + i)));
            b1 = _mm_add_ps(b1, term4<L2>(qb, _mm_loadu_ps(x1 + i + 4)));
            a2 = _mm_add_ps(a2, term4<L2>(qa, _mm_loadu_ps(x2 + i)));
            b2 = _mm_add_ps(b2, term4<L2>(qb, _mm_loadu_ps(x2 + i + 4)));
            a3 = _mm_add_ps(a3, term4<L2>(qa, _mm_loadu_ps(x3 + i)));
            b3 = _mm_add_ps(b3, term4<L2>(qb, _mm_loadu_ps(x3 + i + 4)));
        }
        _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
        _MM_TRANSPOSE4_PS(b0, b1, b2, b3);
        const __m128 sa = _mm_add_ps(_mm_add_ps(_mm_add_ps(a0, a1), a2), a3);
        const __m128 sb = _mm_add_ps(_mm_add_ps(_mm_add_ps(b0, b1), b2), b3);
        s = _mm_add_ps(sb, sa);
    }
    for (; i < n; ++i) s = _mm_add_ps(s, term4<L2>(_mm_set1_ps(q[i]), _mm_setr_ps(x0[i], x1[i], x2[i], x3[i])));
    _mm_storeu_ps(out, s);
}

template <bool L2>
void rows_in_order(const float* q, std::size_t dims, const float* rows, std::size_t count, bool scalar,
                   float* out) {
    std::size_t r = 0;
    if (scalar) {
        for (; r + 8 <= count; r += 8) scalar_eight<L2>(q, rows + r * dims, dims, out + r);
        for (; r < count; ++r) out[r] = scalar_one<L2>(q, rows + r * dims, dims);
    } else {
        for (; r + 4 <= count; r += 4) vector_four<L2>(q, rows + r * dims, dims, out + r);
        for (; r < count; ++r) out[r] = vector_one<L2>(q, rows + r * dims, dims);
    }
}

}  // namespace

bool force_scalar() {
    // Initialised once per process (thread-safe static); later environment changes are ignored.
    static const bool value = [] {
        const char* v = std::getenv("ZORVIK_FORCE_SCALAR");
        return v != nullptr && std::strcmp(v, "1") == 0;
    }();
    return value;
}

float score_pair(format::Metric metric, std::span<const float> query, std::span<const float> row) {
    if (row.size() < query.size()) throw std::out_of_range("score_pair: row shorter than query");
    const bool l2 = metric == format::Metric::Euclidean;
    const std::size_t n = query.size();
    if (force_scalar()) return l2 ? scalar_one<true>(query.data(), row.data(), n) : scalar_one<false>(query.data(), row.data(), n);
    return l2 ? vector_one<true>(query.data(), row.data(), n) : vector_one<false>(query.data(), row.data(), n);
}

void score_rows(format::Metric metric, const float* query, std::size_t dims, const float* rows,
                std::size_t count, bool scalar, float* out) {
    if (metric == format::Metric::Euclidean)
        rows_in_order<true>(query, dims, rows, count, scalar, out);
    else
        rows_in_order<false>(query, dims, rows, count, scalar, out);
}

float dot_vector_order(const float* q, const float* x, std::size_t n) { return vector_one<false>(q, x, n); }

}  // namespace zorvik

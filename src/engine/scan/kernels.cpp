#include "engine/scan/kernels.hpp"

#include <immintrin.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "base/cpu.hpp"
#include "base/settings.hpp"
#include "base/tuning.hpp"

namespace zorvik {

namespace {

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
    std::uintptr_t pf = reinterpret_cast<std::uintptr_t>(x) + tuning::kPrefetchBytes;
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

// Four rows of the matrix, each given by its address: consecutive rows or rows from
// anywhere, scored alike.
using FourRows = const float* const (&)[4];

// The end of the vector order for four rows whose A and B lanes are in a[r] and b[r]:
// after the transposes lane r of every vector belongs to row r, so the reduction
// ((A0 + A1) + A2) + A3, the sB + sA step and the in-order tail are the one-row sequence
// applied to four rows side by side. `i` is where the tail starts.
template <bool L2>
[[gnu::always_inline]] inline void reduce_four(__m128 (&a)[4], __m128 (&b)[4], const float* q, FourRows x,
                                               std::size_t n, std::size_t i, float* out) {
    __m128 s = _mm_setzero_ps();
    if (n >= 8) {
        _MM_TRANSPOSE4_PS(a[0], a[1], a[2], a[3]);
        _MM_TRANSPOSE4_PS(b[0], b[1], b[2], b[3]);
        const __m128 sa = _mm_add_ps(_mm_add_ps(_mm_add_ps(a[0], a[1]), a[2]), a[3]);
        const __m128 sb = _mm_add_ps(_mm_add_ps(_mm_add_ps(b[0], b[1]), b[2]), b[3]);
        s = _mm_add_ps(sb, sa);
    }
    for (; i < n; ++i)
        s = _mm_add_ps(s, term4<L2>(_mm_set1_ps(q[i]), _mm_setr_ps(x[0][i], x[1][i], x[2][i], x[3][i])));
    _mm_storeu_ps(out, s);
}

// Four consecutive rows consume 128 bytes per group of eight elements: asking for two
// lines per group keeps a fixed distance ahead of the reads. Rows from anywhere have no
// "ahead" to ask for (NoPrefetch); their callers score them while they are still cached,
// or leave them to the hardware's prefetchers.
struct AheadOfRun {
    std::uintptr_t pf;
    explicit AheadOfRun(const float* x) : pf(reinterpret_cast<std::uintptr_t>(x) + tuning::kPrefetchBytes) {}
    [[gnu::always_inline]] void operator()() {
        _mm_prefetch(reinterpret_cast<const char*>(pf), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(pf + 64), _MM_HINT_T0);
        pf += 128;
    }
};

struct NoPrefetch {
    [[gnu::always_inline]] void operator()() const {}
};

// Vector order for four rows, sharing the query loads; each row keeps its own A and B.
template <bool L2, class Prefetch>
void vector_four(const float* q, FourRows x, std::size_t n, Prefetch prefetch, float* out) {
    __m128 a[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
    __m128 b[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        prefetch();
        const __m128 qa = _mm_loadu_ps(q + i);
        const __m128 qb = _mm_loadu_ps(q + i + 4);
        for (std::size_t r = 0; r < 4; ++r) {
            a[r] = _mm_add_ps(a[r], term4<L2>(qa, _mm_loadu_ps(x[r] + i)));
            b[r] = _mm_add_ps(b[r], term4<L2>(qb, _mm_loadu_ps(x[r] + i + 4)));
        }
    }
    reduce_four<L2>(a, b, q, x, n, i, out);
}

// The same order with 256-bit registers (processors with AVX2): lanes 0-3 of a row's
// accumulator are its A lanes and lanes 4-7 its B lanes, so every lane adds the same
// terms in the same order as above; only the instruction count halves.
template <bool L2>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256 term8(__m256 q, __m256 x) {
    if constexpr (L2) {
        const __m256 d = _mm256_sub_ps(q, x);
        return _mm256_mul_ps(d, d);
    } else {
        return _mm256_mul_ps(q, x);
    }
}

template <bool L2, class Prefetch>
[[gnu::target("avx2")]] void vector_four_avx2(const float* q, FourRows x, std::size_t n, Prefetch prefetch,
                                              float* out) {
    __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        prefetch();
        const __m256 qv = _mm256_loadu_ps(q + i);
        for (std::size_t r = 0; r < 4; ++r) acc[r] = _mm256_add_ps(acc[r], term8<L2>(qv, _mm256_loadu_ps(x[r] + i)));
    }
    __m128 a[4], b[4];
    for (std::size_t r = 0; r < 4; ++r) {
        a[r] = _mm256_castps256_ps128(acc[r]);
        b[r] = _mm256_extractf128_ps(acc[r], 1);
    }
    reduce_four<L2>(a, b, q, x, n, i, out);
}

template <bool L2, class Prefetch>
[[gnu::always_inline]] inline void four_rows(bool avx2, const float* q, FourRows x, std::size_t n, Prefetch prefetch,
                                             float* out) {
    if (avx2) vector_four_avx2<L2>(q, x, n, prefetch, out);
    else vector_four<L2>(q, x, n, prefetch, out);
}

template <bool L2>
void rows_in_order(const float* q, std::size_t dims, const float* rows, std::size_t count, bool scalar,
                   float* out) {
    std::size_t r = 0;
    if (scalar) {
        for (; r + 8 <= count; r += 8) scalar_eight<L2>(q, rows + r * dims, dims, out + r);
        for (; r < count; ++r) out[r] = scalar_one<L2>(q, rows + r * dims, dims);
    } else {
        const bool avx2 = has_avx2();
        for (; r + 4 <= count; r += 4) {
            const float* x = rows + r * dims;
            const float* const four[4] = {x, x + dims, x + 2 * dims, x + 3 * dims};
            four_rows<L2>(avx2, q, four, dims, AheadOfRun(x), out + r);
        }
        for (; r < count; ++r) out[r] = vector_one<L2>(q, rows + r * dims, dims);
    }
}

template <bool L2>
void rows_at(const float* q, std::size_t dims, const float* const* rows, std::size_t count, bool scalar,
             float* out) {
    std::size_t r = 0;
    if (!scalar) {
        const bool avx2 = has_avx2();
        for (; r + 4 <= count; r += 4) {
            const float* const four[4] = {rows[r], rows[r + 1], rows[r + 2], rows[r + 3]};
            four_rows<L2>(avx2, q, four, dims, NoPrefetch{}, out + r);
        }
    }
    for (; r < count; ++r) out[r] = scalar ? scalar_one<L2>(q, rows[r], dims) : vector_one<L2>(q, rows[r], dims);
}

}  // namespace

float score_pair(format::Metric metric, std::span<const float> query, std::span<const float> row) {
    if (row.size() < query.size()) throw std::out_of_range("score_pair: row shorter than query");
    const bool l2 = metric == format::Metric::Euclidean;
    const std::size_t n = query.size();
    if (settings::force_scalar())
        return l2 ? scalar_one<true>(query.data(), row.data(), n) : scalar_one<false>(query.data(), row.data(), n);
    return l2 ? vector_one<true>(query.data(), row.data(), n) : vector_one<false>(query.data(), row.data(), n);
}

void score_rows(format::Metric metric, const float* query, std::size_t dims, const float* rows,
                std::size_t count, bool scalar, float* out) {
    if (metric == format::Metric::Euclidean)
        rows_in_order<true>(query, dims, rows, count, scalar, out);
    else
        rows_in_order<false>(query, dims, rows, count, scalar, out);
}

void score_rows_at(format::Metric metric, const float* query, std::size_t dims, const float* const* rows,
                   std::size_t count, bool scalar, float* out) {
    if (metric == format::Metric::Euclidean)
        rows_at<true>(query, dims, rows, count, scalar, out);
    else
        rows_at<false>(query, dims, rows, count, scalar, out);
}

float dot_vector_order(const float* q, const float* x, std::size_t n) { return vector_one<false>(q, x, n); }

}  // namespace zorvik

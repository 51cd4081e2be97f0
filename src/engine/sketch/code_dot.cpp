#include "engine/sketch/code_dot.hpp"

#include <immintrin.h>

#include "base/cpu.hpp"
#include "base/settings.hpp"
#include "base/tuning.hpp"

namespace zorvik::sketch {

namespace {

std::int64_t code_dot_baseline(const std::int8_t* a, const std::int8_t* b, std::size_t n) {
    std::int64_t s = 0;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<std::int32_t>(a[i]) * b[i];
    return s;
}

[[gnu::target("avx2")]] std::int32_t horizontal_sum(__m256i v) {
    const __m128i h = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    const __m128i q = _mm_add_epi32(h, _mm_shuffle_epi32(h, 0x4E));
    return _mm_cvtsi128_si32(_mm_add_epi32(q, _mm_shuffle_epi32(q, 0xB1)));
}

// |a| times b carrying a's sign, pairs summed to 16 bits (at most 2 * 127^2, no
// saturation), then to 32 bits. The 32-bit lanes are emptied into 64 bits before they
// could fill. One row at a time: the codes are then read in memory order, the pattern
// the hardware prefetchers follow best (interleaving rows measured slower).
[[gnu::target("avx2")]] std::int64_t code_dot_avx2(const std::int8_t* a, const std::uint8_t* a_abs,
                                                   const std::int8_t* b, std::size_t n) {
    constexpr std::size_t kRoundsPer32Bits = 16384;  // 16384 * 2 * 2 * 127^2 < 2^31
    const __m256i ones = _mm256_set1_epi16(1);
    std::int64_t total = 0;
    std::size_t i = 0;
    while (i + 32 <= n) {
        __m256i acc = _mm256_setzero_si256();
        for (std::size_t round = 0; round < kRoundsPer32Bits && i + 32 <= n; ++round, i += 32) {
            const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
            const __m256i va_abs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a_abs + i));
            const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
            const __m256i pairs = _mm256_maddubs_epi16(va_abs, _mm256_sign_epi8(vb, va));
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(pairs, ones));
        }
        const __m128i half = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        alignas(16) std::int32_t lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), half);
        for (const std::int32_t v : lanes) total += v;
    }
    return total + code_dot_baseline(a + i, b + i, n - i);
}


// Four rows at a time share the loads of a: the same products as code_dot_avx2, with
// 32-bit lanes that stay exact up to kTileDimsMax dimensions (each lane adds at most
// 4 * 127^2 per 32 dimensions); wider rows take code_dot_avx2 one by one. Four rows
// read side by side are four streams the prefetchers follow late: the codes ahead are
// requested by hand (a request past the end of the codes is harmless).
[[gnu::target("avx2")]] void dots_avx2(const std::int8_t* a, const std::uint8_t* a_abs, const std::int8_t* rows,
                                       std::size_t nr, std::size_t n, double* out) {
    constexpr std::size_t kRows = 4;
    const __m256i ones = _mm256_set1_epi16(1);
    const std::size_t body = n <= kTileDimsMax ? n - n % 32 : 0;
    std::size_t j = 0;
    for (; body != 0 && j + kRows <= nr; j += kRows) {
        const std::int8_t* b = rows + j * n;
        __m256i acc[kRows];
        for (__m256i& v : acc) v = _mm256_setzero_si256();
        const char* ahead = reinterpret_cast<const char*>(b) + tuning::kSketchPrefetchBytes;
        for (std::size_t i = 0; i < body; i += 32) {
            _mm_prefetch(ahead + kRows * i, _MM_HINT_T0);
            _mm_prefetch(ahead + kRows * i + 64, _MM_HINT_T0);
            const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
            const __m256i va_abs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a_abs + i));
            for (std::size_t k = 0; k < kRows; ++k) {
                const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + k * n + i));
                acc[k] = _mm256_add_epi32(acc[k], _mm256_madd_epi16(_mm256_maddubs_epi16(va_abs, _mm256_sign_epi8(vb, va)), ones));
            }
        }
        for (std::size_t k = 0; k < kRows; ++k)
            out[j + k] = static_cast<double>(horizontal_sum(acc[k]) + code_dot_baseline(a + body, b + k * n + body, n - body));
    }
    for (; j < nr; ++j) out[j] = static_cast<double>(code_dot_avx2(a, a_abs, rows + j * n, n));
}

void dots_baseline(const std::int8_t* a, const std::uint8_t*, const std::int8_t* rows, std::size_t nr, std::size_t n,
                   double* out) {
    for (std::size_t j = 0; j < nr; ++j) out[j] = static_cast<double>(code_dot_baseline(a, rows + j * n, n));
}

[[gnu::target("avx2")]] inline __m256i load(const std::int8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// A block of Q queries by R rows, with the products of code_dot_avx2: |q| times r carrying
// q's sign, pairs summed to 16 bits (at most 2 * 63 * 127). Two steps of 32 dimensions are
// added in 16 bits (at most 4 * 63 * 127 < 2^15) before they are widened to 32 bits: half
// the widenings, which share a port with the products on some processors (widening every
// step, a batch of 1,000 queries at 1M x 384 took 6 % longer). Every 32-bit lane sums n / 8
// products of at most 63 * 127, which kTileDimsMax keeps below 2^31.
template <int Q, int R>
[[gnu::target("avx2")]] inline void block_avx2(const std::int8_t* const* q, const std::int8_t* const* r,
                                               std::size_t n, std::int32_t* out, std::size_t stride) {
    const __m256i ones = _mm256_set1_epi16(1);
    __m256i acc[Q][R];
    for (int i = 0; i < Q; ++i)
        for (int j = 0; j < R; ++j) acc[i][j] = _mm256_setzero_si256();
    std::size_t t = 0;
    for (; t + 64 <= n; t += 64) {
        __m256i rv[R], rw[R];
        for (int j = 0; j < R; ++j) {
            rv[j] = load(r[j] + t);
            rw[j] = load(r[j] + t + 32);
        }
        for (int i = 0; i < Q; ++i) {
            const __m256i qv = load(q[i] + t), qw = load(q[i] + t + 32);
            const __m256i qv_abs = _mm256_abs_epi8(qv), qw_abs = _mm256_abs_epi8(qw);
            for (int j = 0; j < R; ++j) {
                const __m256i sums = _mm256_add_epi16(_mm256_maddubs_epi16(qv_abs, _mm256_sign_epi8(rv[j], qv)),
                                                      _mm256_maddubs_epi16(qw_abs, _mm256_sign_epi8(rw[j], qw)));
                acc[i][j] = _mm256_add_epi32(acc[i][j], _mm256_madd_epi16(sums, ones));
            }
        }
    }
    for (; t + 32 <= n; t += 32) {
        for (int i = 0; i < Q; ++i) {
            const __m256i qv = load(q[i] + t);
            const __m256i qv_abs = _mm256_abs_epi8(qv);
            for (int j = 0; j < R; ++j) {
                const __m256i pairs = _mm256_maddubs_epi16(qv_abs, _mm256_sign_epi8(load(r[j] + t), qv));
                acc[i][j] = _mm256_add_epi32(acc[i][j], _mm256_madd_epi16(pairs, ones));
            }
        }
    }
    for (int i = 0; i < Q; ++i)
        for (int j = 0; j < R; ++j) {
            std::int32_t s = horizontal_sum(acc[i][j]);
            for (std::size_t u = t; u < n; ++u) s += static_cast<std::int32_t>(q[i][u]) * r[j][u];
            out[static_cast<std::size_t>(i) * stride + static_cast<std::size_t>(j)] = s;
        }
}

// Blocks of 4 queries by 2 rows first (their 8 accumulators, the loads and the constants
// fit the 16 vector registers; 4 by 3 spilled and ran slower), then the edges, so that
// every pair of the tile is computed once.
[[gnu::target("avx2")]] void products_avx2(const std::int8_t* queries, std::size_t nq, const std::int8_t* rows,
                                           std::size_t nr, std::size_t n, std::int32_t* out) {
    constexpr std::size_t kQ = 4, kR = 2;
    const std::int8_t* qp[kQ];
    const std::int8_t* rp[kR];
    for (std::size_t i0 = 0; i0 < nq; i0 += kQ) {
        const std::size_t qn = nq - i0 < kQ ? nq - i0 : kQ;
        for (std::size_t i = 0; i < qn; ++i) qp[i] = queries + (i0 + i) * n;
        for (std::size_t j0 = 0; j0 < nr; j0 += kR) {
            const std::size_t rn = nr - j0 < kR ? nr - j0 : kR;
            for (std::size_t j = 0; j < rn; ++j) rp[j] = rows + (j0 + j) * n;
            std::int32_t* o = out + i0 * nr + j0;
            if (qn == 4 && rn == 2) {
                block_avx2<4, 2>(qp, rp, n, o, nr);
            } else {
                for (std::size_t i = 0; i < qn; ++i)
                    for (std::size_t j = 0; j < rn; ++j) block_avx2<1, 1>(qp + i, rp + j, n, o + i * nr + j, nr);
            }
        }
    }
}

void products_baseline(const std::int8_t* queries, std::size_t nq, const std::int8_t* rows, std::size_t nr,
                       std::size_t n, std::int32_t* out) {
    for (std::size_t i = 0; i < nq; ++i)
        for (std::size_t j = 0; j < nr; ++j)
            out[i * nr + j] = static_cast<std::int32_t>(code_dot_baseline(queries + i * n, rows + j * n, n));
}

}  // namespace

bool use_avx2() { return !settings::force_scalar() && has_avx2(); }

std::int64_t code_dot(const std::int8_t* a, const std::uint8_t* a_abs, const std::int8_t* b, std::size_t n) {
    return use_avx2() ? code_dot_avx2(a, a_abs, b, n) : code_dot_baseline(a, b, n);
}

CodeDots code_dots() { return use_avx2() ? dots_avx2 : dots_baseline; }

void code_products(const std::int8_t* queries, std::size_t nq, const std::int8_t* rows, std::size_t nr,
                   std::size_t n, std::int32_t* out) {
    if (use_avx2())
        products_avx2(queries, nq, rows, nr, n, out);
    else
        products_baseline(queries, nq, rows, nr, n, out);
}

}  // namespace zorvik::sketch

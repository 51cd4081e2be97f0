#include "engine/index/norms.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "engine/scan/kernels.hpp"
#include "base/cpu.hpp"
#include "base/pool.hpp"
#include "base/tuning.hpp"

namespace zorvik {

namespace {

// Rows summed side by side: the kernels below are written for eight.
constexpr std::uint64_t kRowsTogether = 8;
// Block ends fall on multiples of 4, where the four-element AVX2 steps end.
static_assert(tuning::kBlockWidthNarrow % 4 == 0 && tuning::kBlockWidthMedium % 4 == 0 &&
              tuning::kBlockWidthWide % 4 == 0);

struct Tables {
    const float* vectors;
    std::uint64_t dims;
    std::uint64_t width;   // block width: a multiple of 4 (16, 32 or 64)
    std::uint64_t blocks;  // blocks per row
    double* row_sq;
    float* row_norm;
    double* block_sq;  // rows x blocks, or null when no block table is kept
};

// ---- Baseline instruction set: eight rows as eight scalar chains.

template <bool Blocks>
void eight_rows_scalar(const Tables& t, std::uint64_t r) {
    const std::uint64_t d = t.dims;
    const float* x = t.vectors + r * d;
    double rows[kRowsTogether], blocks[kRowsTogether];
    std::fill(rows, rows + kRowsTogether, -0.0);
    std::fill(blocks, blocks + kRowsTogether, -0.0);
    std::uint64_t b = 0;
    std::uint64_t block_end = std::min(t.width, d);
    for (std::uint64_t e = 0; e < d; ++e) {
        for (std::uint64_t i = 0; i < kRowsTogether; ++i) {
            const double v = x[i * d + e];
            rows[i] = rows[i] + v * v;
            if constexpr (Blocks) blocks[i] = blocks[i] + v * v;
        }
        if constexpr (Blocks) {
            if (e + 1 == block_end) {
                for (std::uint64_t i = 0; i < kRowsTogether; ++i) {
                    t.block_sq[(r + i) * t.blocks + b] = blocks[i];
                    blocks[i] = -0.0;
                }
                ++b;
                block_end = std::min(block_end + t.width, d);
            }
        }
    }
    std::copy(rows, rows + kRowsTogether, t.row_sq + r);
}

// ---- AVX2: eight rows as the lanes of two four-double vectors. Groups of four elements
// are loaded from the eight rows and transposed, so that one vector holds one element of
// four rows; each lane then adds its row's squares in element order, like the scalar code.

#define ZORVIK_AVX2 gnu::target("avx2"), gnu::always_inline

struct Chains {
    __m256d row_lo, row_hi;      // rows 0-3, rows 4-7
    __m256d block_lo, block_hi;  // the same rows' current block
};

template <bool Blocks>
[[ZORVIK_AVX2]] inline void add_element(__m128 lo, __m128 hi, Chains& c) {
    __m256d l = _mm256_cvtps_pd(lo);
    __m256d h = _mm256_cvtps_pd(hi);
    l = _mm256_mul_pd(l, l);  // exact: the square of a widened float
    h = _mm256_mul_pd(h, h);
    c.row_lo = _mm256_add_pd(c.row_lo, l);
    c.row_hi = _mm256_add_pd(c.row_hi, h);
    if constexpr (Blocks) {
        c.block_lo = _mm256_add_pd(c.block_lo, l);
        c.block_hi = _mm256_add_pd(c.block_hi, h);
    }
}

[[ZORVIK_AVX2]] inline void store_lanes(__m256d lo, __m256d hi, double* out, std::uint64_t stride) {
    alignas(32) double v[8];
    _mm256_store_pd(v, lo);
    _mm256_store_pd(v + 4, hi);
    for (std::uint64_t i = 0; i < 8; ++i) out[i * stride] = v[i];
}

template <bool Blocks>
[[ZORVIK_AVX2]] inline void eight_rows_avx2(const Tables& t, std::uint64_t r) {
    const std::uint64_t d = t.dims;
    const float* x0 = t.vectors + r * d;
    const float* x1 = x0 + d;
    const float* x2 = x1 + d;
    const float* x3 = x2 + d;
    const float* x4 = x3 + d;
    const float* x5 = x4 + d;
    const float* x6 = x5 + d;
    const float* x7 = x6 + d;
    const __m256d start = _mm256_set1_pd(-0.0);
    Chains c{start, start, start, start};
    std::uint64_t b = 0;
    std::uint64_t block_end = std::min(t.width, d);
    std::uint64_t e = 0;
    // The next eight rows follow these in memory: two cache lines of them are requested
    // per step, so they arrive while these are summed.
    const char* ahead = reinterpret_cast<const char*>(x0 + 8 * d);
    for (; e + 4 <= d; e += 4, ahead += 128) {
        _mm_prefetch(ahead, _MM_HINT_T0);
        _mm_prefetch(ahead + 64, _MM_HINT_T0);
        __m128 a0 = _mm_loadu_ps(x0 + e), a1 = _mm_loadu_ps(x1 + e), a2 = _mm_loadu_ps(x2 + e),
               a3 = _mm_loadu_ps(x3 + e);
        __m128 c0 = _mm_loadu_ps(x4 + e), c1 = _mm_loadu_ps(x5 + e), c2 = _mm_loadu_ps(x6 + e),
               c3 = _mm_loadu_ps(x7 + e);
        _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
        _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
        add_element<Blocks>(a0, c0, c);
        add_element<Blocks>(a1, c1, c);
        add_element<Blocks>(a2, c2, c);
        add_element<Blocks>(a3, c3, c);
        // Block ends are multiples of the width, hence of 4: only the last block can end
        // inside the tail below.
        if constexpr (Blocks) {
            if (e + 4 == block_end) {
                store_lanes(c.block_lo, c.block_hi, t.block_sq + r * t.blocks + b, t.blocks);
                c.block_lo = c.block_hi = start;
                ++b;
                block_end = std::min(block_end + t.width, d);
            }
        }
    }
    for (; e < d; ++e)
        add_element<Blocks>(_mm_setr_ps(x0[e], x1[e], x2[e], x3[e]), _mm_setr_ps(x4[e], x5[e], x6[e], x7[e]), c);
    if constexpr (Blocks)
        if (b < t.blocks) store_lanes(c.block_lo, c.block_hi, t.block_sq + r * t.blocks + b, t.blocks);
    store_lanes(c.row_lo, c.row_hi, t.row_sq + r, 1);
}

// ---- Rows left over (fewer than eight) and the norms.

template <bool Blocks>
[[gnu::always_inline]] inline void one_row(const Tables& t, std::uint64_t r) {
    const float* x = t.vectors + r * t.dims;
    t.row_sq[r] = sum_of_squares(x, t.dims);
    if constexpr (Blocks) {
        for (std::uint64_t b = 0; b < t.blocks; ++b) {
            const std::uint64_t begin = b * t.width;
            t.block_sq[r * t.blocks + b] = sum_of_squares(x + begin, std::min(t.width, t.dims - begin));
        }
    }
}

[[gnu::always_inline]] inline void finish_rows(const Tables& t, std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t r = begin; r < end; ++r) t.row_norm[r] = std::sqrt(static_cast<float>(t.row_sq[r]));  // root taken in float
}

template <bool Blocks>
void range_baseline(const Tables& t, std::uint64_t begin, std::uint64_t end) {
    std::uint64_t r = begin;
    for (; r + kRowsTogether <= end; r += kRowsTogether) eight_rows_scalar<Blocks>(t, r);
    for (; r < end; ++r) one_row<Blocks>(t, r);
    finish_rows(t, begin, end);
}

template <bool Blocks>
[[gnu::target("avx2")]] void range_avx2(const Tables& t, std::uint64_t begin, std::uint64_t end) {
    std::uint64_t r = begin;
    for (; r + kRowsTogether <= end; r += kRowsTogether) eight_rows_avx2<Blocks>(t, r);
    for (; r < end; ++r) one_row<Blocks>(t, r);
    finish_rows(t, begin, end);
}

#undef ZORVIK_AVX2

using RangeFn = void (*)(const Tables&, std::uint64_t, std::uint64_t);

RangeFn pick_range(bool blocks) {
    if (has_avx2()) return blocks ? range_avx2<true> : range_avx2<false>;
    return blocks ? range_baseline<true> : range_baseline<false>;
}

}  // namespace

void fill_norm_tables(Engine& e, bool blocks) {
    if (e.rows == 0 || e.dims == 0) return;
    const Tables t{e.vectors, e.dims, e.block_width, e.num_blocks(), e.row_sq_norms_table.data(),
                   e.row_norms_table.data(), blocks ? e.row_block_sq_norms.data() : nullptr};
    const RangeFn range = pick_range(blocks);
    // Tasks of whole eight-row groups, about kNormElementsPerTask floats each.
    const std::uint64_t per_task =
        std::max<std::uint64_t>(tuning::kNormElementsPerTask / e.dims / kRowsTogether, 1) * kRowsTogether;
    const std::uint64_t tasks = (e.rows + per_task - 1) / per_task;
    pool::parallel_for(static_cast<std::size_t>(tasks), [&](std::size_t i) {
        const std::uint64_t begin = i * per_task;
        range(t, begin, std::min(e.rows, begin + per_task));
    });
}

}  // namespace zorvik

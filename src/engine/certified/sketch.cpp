#include "engine/certified/sketch.hpp"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <exception>
#include <limits>
#include <new>

#include "engine/index/engine.hpp"
#include "engine/scan/kernels.hpp"
#include "base/memory_limit.hpp"
#include "base/cpu.hpp"
#include "base/pool.hpp"
#include "base/tuning.hpp"

namespace zorvik {

namespace {

constexpr float kMaxCode = 127.0f;
constexpr float kRoundingShift = 0x1.8p23f;
// Below this largest magnitude a row is not scaled (127 / max|x| would overflow).
constexpr float kSmallestScaled = 0x1p-100f;

struct Quantised {
    double scale = 0.0;
    double error = 0.0;
    double abs_sum = 0.0;  // sum |c_i|
};

// |x| as an integer: ordered like the values for every finite x, and the largest one
// tells NaNs and infinities (at least 0x7F800000) from finite values.
inline std::uint32_t abs_bits(float x) { return std::bit_cast<std::uint32_t>(x) & 0x7FFFFFFFu; }

// Codes of n floats with scale max|x| / 127 and the measured worst error, in float
// arithmetic with integer reductions so that the loops vectorise. A NaN or an infinity
// gives a NaN scale and zero codes.
Quantised quantise(const float* x, std::uint64_t n, std::int8_t* codes) {
    std::uint32_t max_bits = 0;
    for (std::uint64_t i = 0; i < n; ++i) max_bits = std::max(max_bits, abs_bits(x[i]));
    Quantised out;
    const float max_abs = std::bit_cast<float>(max_bits);
    if (max_bits >= 0x7F800000u || max_abs < kSmallestScaled) {
        // Not finite, zero, or too small for 127 / max|x| to be a float: zero codes
        // bound the row by its largest magnitude alone.
        std::fill(codes, codes + n, std::int8_t{0});
        out.scale = max_bits >= 0x7F800000u ? std::numeric_limits<double>::quiet_NaN() : 0.0;
        out.error = static_cast<double>(max_abs);
        return out;
    }
    const float scale = max_abs / kMaxCode;
    const float inverse = kMaxCode / max_abs;
    std::uint32_t worst_bits = 0;
    std::int64_t abs_sum = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        // Adding and taking away 1.5 * 2^23 rounds |x * inverse| <= 127 (and a hair) to an
        // integer; the error is measured, not assumed.
        const float c = std::clamp((x[i] * inverse + kRoundingShift) - kRoundingShift, -kMaxCode, kMaxCode);
        const auto code = static_cast<std::int32_t>(c);
        codes[i] = static_cast<std::int8_t>(code);
        worst_bits = std::max(worst_bits, abs_bits(x[i] - scale * c));
        abs_sum += code < 0 ? -code : code;
    }
    out.scale = static_cast<double>(scale);
    // scale * c and the difference each round by at most 2^-24 of max|x| in float.
    out.error = static_cast<double>(std::bit_cast<float>(worst_bits)) * (1.0 + 0x1p-20) +
                static_cast<double>(max_abs) * 0x1p-20;
    out.abs_sum = static_cast<double>(abs_sum);
    return out;
}

// sum a_i * b_i of two code vectors, exactly.
std::int64_t code_dot_scalar(const std::int8_t* a, const std::int8_t* b, std::size_t n) {
    std::int64_t s = 0;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<std::int32_t>(a[i]) * b[i];
    return s;
}

// With AVX2: |a| times b carrying a's sign, pairs summed to 16 bits (at most 2 * 127^2,
// no saturation), then to 32 bits. The 32-bit lanes are emptied into 64 bits before they
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
    return total + code_dot_scalar(a + i, b + i, n - i);
}

}  // namespace

RowSketch::RowSketch(std::uint64_t rows, std::uint64_t dims)
    : dims_(dims), codes_(static_cast<std::size_t>(rows * dims)), rows_(static_cast<std::size_t>(rows)) {}

std::unique_ptr<RowSketch> RowSketch::build(const Engine& e) {
    const std::uint64_t limit = usable_memory_bytes() / tuning::kSketchMemoryShare;
    if (e.dims == 0 || e.rows > limit / (e.dims + sizeof(SketchRow))) return nullptr;
    std::unique_ptr<RowSketch> sketch;
    try {
        sketch = std::make_unique<RowSketch>(e.rows, e.dims);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    RowSketch& s = *sketch;
    constexpr std::uint64_t per_task = tuning::kSketchBuildRows;
    const std::uint64_t tasks = e.rows / per_task + (e.rows % per_task != 0 ? 1 : 0);
    pool::parallel_for(static_cast<std::size_t>(tasks), [&](std::size_t t) {
        const std::uint64_t first = t * per_task;
        const std::uint64_t last = std::min(e.rows, first + per_task);
        for (std::uint64_t r = first; r < last; ++r) {
            const Quantised q = quantise(e.row(r), e.dims, s.codes_.data() + r * e.dims);
            s.rows_[r] = {q.scale, q.error, q.scale * q.abs_sum * (1.0 + kSketchHeadroom)};
        }
    });
    return sketch;
}

SketchQuery::SketchQuery(std::span<const float> q)
    : codes_(q.size()), abs_codes_(q.size()) {
    const Quantised z = quantise(q.data(), q.size(), codes_.data());
    for (std::size_t i = 0; i < codes_.size(); ++i) abs_codes_[i] = static_cast<std::uint8_t>(std::abs(codes_[i]));
    scale_ = z.scale;
    error_ = z.error;
    abs_code_sum_ = z.abs_sum;
}

double SketchQuery::dot_upper(const RowSketch& sketch, std::uint64_t r) const {
    const std::size_t n = codes_.size();
    const std::int8_t* codes = sketch.codes(r);
    const std::int64_t p = has_avx2() ? code_dot_avx2(codes_.data(), abs_codes_.data(), codes, n)
                                      : code_dot_scalar(codes_.data(), codes, n);
    const SketchRow& row = sketch.row(r);
    const double centre = scale_ * row.scale * static_cast<double>(p);
    const double spread =
        scale_ * row.error * abs_code_sum_ + error_ * row.scaled_abs_sum + static_cast<double>(n) * error_ * row.error;
    return (centre + spread) + kSketchHeadroom * (std::fabs(centre) + spread);
}

const RowSketch* SketchSlot::get_or_build(const Engine& e) const {
    if (const RowSketch* s = ready_.load(std::memory_order_acquire)) return s;
    std::unique_lock<std::mutex> lock(building_, std::try_to_lock);
    if (!lock.owns_lock() || tried_) return ready_.load(std::memory_order_acquire);
    tried_ = true;
    try {
        owned_ = RowSketch::build(e);
    } catch (const std::exception&) {
        return nullptr;  // the queries go on without a sketch
    }
    ready_.store(owned_.get(), std::memory_order_release);
    return owned_.get();
}

}  // namespace zorvik

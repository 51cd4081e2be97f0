#include "engine/sketch/quantise.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "base/roundoff.hpp"
#include "engine/sketch/code_dot.hpp"

namespace zorvik::sketch {

namespace {

constexpr float kRoundingShift = 0x1.8p23f;
// Below this largest magnitude a vector is not scaled (m / max|x| would overflow): its
// codes are zero and its error is the vector itself.
constexpr float kSmallestScaled = 0x1p-100f;

// |x| as an integer: ordered like the values for every finite x, and at least 0x7F800000
// exactly for NaNs and infinities.
inline std::uint32_t abs_bits(float x) { return std::bit_cast<std::uint32_t>(x) & 0x7FFFFFFFu; }

}  // namespace

// sqrt of a double sum of n squares, raised over its rounding (each square exact in
// double, the sum within gamma(n, ud), the root within ud).
double norm_up(double sum_of_squares, std::uint64_t n) {
    const double g = roundoff::gamma(static_cast<double>(n) + 2.0, roundoff::kDouble);
    return std::sqrt(sum_of_squares * (1.0 + g)) * (1.0 + 0x1p-50);
}

namespace {

// Every step is elementwise or kept in its own lane, so the baseline and the AVX2 build
// of it give the same codes and the same facts.
[[gnu::always_inline]] inline Quantised quantise_body(const float* x, std::uint64_t n, int code_max,
                                                      std::int8_t* codes) {
    std::uint32_t max_bits = 0;
    for (std::uint64_t i = 0; i < n; ++i) max_bits = std::max(max_bits, abs_bits(x[i]));
    Quantised out;
    if (max_bits >= 0x7F800000u) {
        std::fill(codes, codes + n, std::int8_t{0});
        out.scale = std::numeric_limits<double>::quiet_NaN();
        return out;
    }
    const float max_abs = std::bit_cast<float>(max_bits);
    const bool scaled = max_abs >= kSmallestScaled;
    const float m = static_cast<float>(code_max);
    const float scale = scaled ? max_abs / m : 0.0f;
    const float inverse = scaled ? m / max_abs : 0.0f;
    // Codes in float arithmetic (adding and taking away 1.5 * 2^23 rounds |x * inverse|
    // <= m and a hair to an integer); the error is measured in double, where s c_i is
    // exact and x_i - s c_i rounds once, not assumed. Eight running sums (any order keeps
    // the bound) let the loops vectorise.
    for (std::uint64_t i = 0; i < n; ++i)
        codes[i] = static_cast<std::int8_t>(
            static_cast<std::int32_t>(std::clamp((x[i] * inverse + kRoundingShift) - kRoundingShift, -m, m)));
    constexpr std::size_t kLanes = 8;
    double err_sq[kLanes] = {};
    std::int64_t code_sq[kLanes] = {};
    const auto add = [&](std::uint64_t i, std::size_t lane) {
        const double c = static_cast<double>(codes[i]);
        const double e = static_cast<double>(x[i]) - static_cast<double>(scale) * c;
        err_sq[lane] += e * e;
        code_sq[lane] += static_cast<std::int64_t>(codes[i]) * codes[i];
    };
    std::uint64_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t j = 0; j < kLanes; ++j) add(i + j, j);
    for (std::size_t j = 0; i < n; ++i, ++j) add(i, j);
    double err_total = 0.0;
    double code_total = 0.0;
    for (std::size_t j = 0; j < kLanes; ++j) {
        err_total += err_sq[j];
        code_total += static_cast<double>(code_sq[j]);
    }
    out.scale = static_cast<double>(scale);
    // x_i - s c_i rounds by at most ud of itself: one more factor (1 + ud)^2 on the squares.
    out.error_norm = norm_up(err_total * (1.0 + 0x1p-51), n);
    out.code_norm = out.scale * std::sqrt(code_total) * (1.0 + 0x1p-50);
    return out;
}

Quantised quantise_baseline(const float* x, std::uint64_t n, int code_max, std::int8_t* codes) {
    return quantise_body(x, n, code_max, codes);
}

[[gnu::target("avx2")]] Quantised quantise_avx2(const float* x, std::uint64_t n, int code_max, std::int8_t* codes) {
    return quantise_body(x, n, code_max, codes);
}

}  // namespace

Quantised quantise(const float* x, std::uint64_t n, int code_max, std::int8_t* codes) {
    return use_avx2() ? quantise_avx2(x, n, code_max, codes) : quantise_baseline(x, n, code_max, codes);
}

}  // namespace zorvik::sketch

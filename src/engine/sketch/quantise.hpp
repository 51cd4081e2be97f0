#pragma once
// 8-bit codes of a float vector, and what they leave out, as rigorous facts.
//
// x_i = s c_i + e_i with codes c_i in [-m, m] (m the largest code), s = max|x| / m, and
// the facts the bounds need: s, ||e|| (rounded up) and s ||c||. A vector holding a NaN or
// an infinity gets a NaN scale, so every bound drawn from it is NaN and decides nothing.
#include <cstdint>

namespace zorvik::sketch {

// The largest code of a stored row, and of a query in the batch products (which add four
// products of codes in 16 bits: 4 * 63 * 127 < 2^15).
inline constexpr int kRowCodeMax = 127;
inline constexpr int kBatchQueryCodeMax = 63;

struct Quantised {
    double scale = 0.0;       // s; NaN for a vector that is not finite
    double error_norm = 0.0;  // at least ||x - s c||
    double code_norm = 0.0;   // at least s ||c||
};

// At least the root of a sum of n squares of floats taken in double in any order.
double norm_up(double sum_of_squares, std::uint64_t n);

// Writes the n codes of x (code_max at most 127) and returns their facts.
Quantised quantise(const float* x, std::uint64_t n, int code_max, std::int8_t* codes);

}  // namespace zorvik::sketch

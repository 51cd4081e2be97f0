#pragma once
// Unit roundoffs and the classic accumulation factor of rounding-error analysis, shared by
// every rigorous bound the engine draws (Higham, Accuracy and Stability of Numerical
// Algorithms, 2002, sec. 3.1).
#include <limits>

namespace zorvik::roundoff {

inline constexpr double kFloat = 0x1p-24;   // u of float
inline constexpr double kDouble = 0x1p-53;  // u of double

// gamma_m = m u / (1 - m u): m roundings of relative error u compound to at most this;
// infinite once m u reaches 1/2, where the bound means nothing.
inline double gamma(double m, double unit) {
    const double mu = m * unit;
    return mu < 0.5 ? mu / (1.0 - mu) : std::numeric_limits<double>::infinity();
}

}  // namespace zorvik::roundoff

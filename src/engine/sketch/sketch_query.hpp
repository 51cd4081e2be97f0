#pragma once
// The query side of the sketch, made once per query: its codes and the facts that turn a
// code product with a row into rigorous bounds on the exact inner product.
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/sketch/code_dot.hpp"
#include "engine/sketch/quantise.hpp"
#include "engine/sketch/row_sketch.hpp"

namespace zorvik {

// Relative headroom every bound drawn from a sketch keeps over the rounding of the few
// double operations behind it (each far below 2^-50 of the magnitudes involved).
inline constexpr double kSketchHeadroom = 0x1p-40;

// lo <= q . x <= hi for the exact inner product; NaN when the row's sketch decides nothing.
struct DotRange {
    double lo;
    double hi;
};

class SketchQuery {
public:
    // Codes in [-code_max, code_max] (see quantise.hpp).
    SketchQuery(std::span<const float> q, int code_max);

    // The range from the code product P of the query with row r.
    DotRange range(const SketchRow& row, std::int64_t product) const {
        const double centre = facts_.scale * row.scale * static_cast<double>(product);
        const double spread =
            row.error_norm * (facts_.code_norm + facts_.error_norm) + facts_.error_norm * row.code_norm;
        const double widen = spread + kSketchHeadroom * (std::fabs(centre) + spread);
        return {centre - widen, centre + widen};
    }

    // The range for row r of `sketch`, its code product computed here.
    DotRange range(const RowSketch& sketch, std::uint64_t r) const;

    // The code products with rows [r, r + n) of `sketch`, exact.
    void products(const RowSketch& sketch, std::uint64_t r, std::size_t n, double* out) const {
        dots_(codes_.data(), abs_codes_.data(), sketch.codes(r), n, codes_.size(), out);
    }

    const std::int8_t* codes() const { return codes_.data(); }
    const sketch::Quantised& facts() const { return facts_; }

private:
    std::vector<std::int8_t> codes_;
    std::vector<std::uint8_t> abs_codes_;
    sketch::Quantised facts_;
    sketch::CodeDots dots_;
};

}  // namespace zorvik

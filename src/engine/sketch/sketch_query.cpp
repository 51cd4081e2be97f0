#include "engine/sketch/sketch_query.hpp"

#include <cstdlib>

#include "engine/sketch/code_dot.hpp"
#include "engine/sketch/quantise.hpp"

namespace zorvik {

SketchQuery::SketchQuery(std::span<const float> q, int code_max) : codes_(q.size()), abs_codes_(q.size()) {
    const sketch::Quantised z = sketch::quantise(q.data(), q.size(), code_max, codes_.data());
    for (std::size_t i = 0; i < codes_.size(); ++i) abs_codes_[i] = static_cast<std::uint8_t>(std::abs(codes_[i]));
    scale_ = z.scale;
    error_norm_ = z.error_norm;
    code_norm_ = z.code_norm;
}

DotRange SketchQuery::range(const RowSketch& sketch, std::uint64_t r) const {
    return range(sketch.row(r), sketch::code_dot(codes_.data(), abs_codes_.data(), sketch.codes(r), codes_.size()));
}

}  // namespace zorvik

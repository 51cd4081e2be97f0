#include "engine/sketch/sketch_query.hpp"

#include <cstdlib>

namespace zorvik {

SketchQuery::SketchQuery(std::span<const float> q, int code_max)
    : codes_(q.size()), abs_codes_(q.size()), dots_(sketch::code_dots()) {
    facts_ = sketch::quantise(q.data(), q.size(), code_max, codes_.data());
    for (std::size_t i = 0; i < codes_.size(); ++i) abs_codes_[i] = static_cast<std::uint8_t>(std::abs(codes_[i]));
}

DotRange SketchQuery::range(const RowSketch& sketch, std::uint64_t r) const {
    return range(sketch.row(r), sketch::code_dot(codes_.data(), abs_codes_.data(), sketch.codes(r), codes_.size()));
}

}  // namespace zorvik

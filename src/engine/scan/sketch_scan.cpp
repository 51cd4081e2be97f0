// The sketch strategy: the sketch picks candidates, the kernel scores them.
#include "engine/scan/strategies.hpp"

namespace zorvik {

SketchAnswer scan_sketch(const Engine& engine, std::span<const float> query, std::uint64_t k_eff, const Scope&) {
    const scan::RowRange all{0, engine.rows};
    return sketch_search(engine, query, k_eff, {&all, 1});
}

}  // namespace zorvik

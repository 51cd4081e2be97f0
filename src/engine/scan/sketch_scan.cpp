// The sketch strategy: the sketch picks candidates, the kernel scores them.
#include "engine/scan/strategies.hpp"

namespace zorvik {

SketchAnswer scan_sketch(const Engine& engine, std::span<const float> query, std::uint64_t k_eff,
                         const Scope& scope) {
    return sketch_search(engine, query, k_eff, AllowedRows(engine, scope));
}

}  // namespace zorvik

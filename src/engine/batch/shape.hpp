#pragma once
// The shape test of a batch of queries, shared by the exact and the certified batches.
#include <cstdint>

#include "base/expected.hpp"
#include "engine/index/engine.hpp"

namespace zorvik {

// Which failure a zero-column batch reports on an index that has columns: the plain
// batch says it has no columns, the certified and detailed batches that its width is wrong.
enum class ShapeOrder { ColumnsFirst, DimensionsFirst };

// `count` floats read as queries of `dims` floats for `engine`: refused when there are no
// columns, when `count` is not a multiple of `dims`, or when `dims` is not the index's.
Status check_batch_shape(const Engine& engine, std::uint64_t count, std::uint64_t dims, ShapeOrder order);

}  // namespace zorvik

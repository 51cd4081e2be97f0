#include "engine/batch/shape.hpp"

#include "base/text.hpp"
#include "engine/messages.hpp"

namespace zorvik {

Status check_batch_shape(const Engine& engine, std::uint64_t count, std::uint64_t dims, ShapeOrder order) {
    const auto mismatch = [&] {
        return Error{text::fill(msg::kQueriesDimensionMismatch, {text::dec(dims), text::dec(engine.dims)})};
    };
    if (order == ShapeOrder::DimensionsFirst && dims != engine.dims) return mismatch();
    if (dims == 0) return Error{msg::kNoQueryColumns};
    if (count % dims != 0) return Error{msg::kBatchNotMultiple};
    if (dims != engine.dims) return mismatch();
    return {};
}

}  // namespace zorvik

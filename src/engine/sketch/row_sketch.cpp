#include "engine/sketch/row_sketch.hpp"

#include <algorithm>
#include <exception>
#include <new>

#include "base/memory_limit.hpp"
#include "base/pool.hpp"
#include "base/tuning.hpp"
#include "engine/index/engine.hpp"
#include "engine/sketch/quantise.hpp"
#include "engine/sketch/sketch_file.hpp"

namespace zorvik {

RowSketch::RowSketch(std::uint64_t rows, std::uint64_t dims)
    : dims_(dims),
      codes_(static_cast<std::size_t>(rows * dims)),
      scale_(static_cast<std::size_t>(rows)),
      error_norm_(static_cast<std::size_t>(rows)),
      code_norm_(static_cast<std::size_t>(rows)),
      x_norm_(static_cast<std::size_t>(rows)) {}

RowSketch::Storage RowSketch::storage() {
    const auto bytes = [](auto& table) {
        return std::span<unsigned char>(reinterpret_cast<unsigned char*>(table.data()), table.size() * sizeof(table[0]));
    };
    return {bytes(codes_), bytes(scale_), bytes(error_norm_), bytes(code_norm_), bytes(x_norm_)};
}

std::unique_ptr<RowSketch> RowSketch::build(const Engine& e) {
    const std::uint64_t limit = std::min(usable_memory_bytes() / tuning::kSketchMemoryShare,
                                         available_memory_bytes() / tuning::kSketchFreeMemoryShare);
    if (e.dims == 0 || e.rows > limit / (e.dims + kFactBytes)) return nullptr;
    std::unique_ptr<RowSketch> sketch;
    try {
        sketch = std::make_unique<RowSketch>(e.rows, e.dims);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    RowSketch& s = *sketch;
    if (sketch_file::load(e, s)) return sketch;
    constexpr std::uint64_t per_task = tuning::kSketchBuildRows;
    const std::uint64_t tasks = e.rows / per_task + (e.rows % per_task != 0 ? 1 : 0);
    pool::parallel_for(static_cast<std::size_t>(tasks), [&](std::size_t t) {
        const std::uint64_t first = t * per_task;
        const std::uint64_t last = std::min(e.rows, first + per_task);
        for (std::uint64_t r = first; r < last; ++r) {
            const sketch::Quantised q =
                sketch::quantise(e.row(r), e.dims, sketch::kRowCodeMax, s.codes_.data() + r * e.dims);
            s.scale_[r] = q.scale;
            s.error_norm_[r] = q.error_norm;
            s.code_norm_[r] = q.code_norm;
            s.x_norm_[r] = sketch::norm_up(e.row_sq_norm(r), e.dims);
        }
    });
    sketch_file::save(e, s);
    return sketch;
}

const RowSketch* SketchSlot::get_or_build(const Engine& e) const {
    if (const RowSketch* s = ready_.load(std::memory_order_acquire)) return s;
    std::unique_lock<std::mutex> lock(building_, std::try_to_lock);
    if (!lock.owns_lock() || tried_) return ready_.load(std::memory_order_acquire);
    tried_ = true;
    try {
        owned_ = RowSketch::build(e);
    } catch (const std::exception&) {
        return nullptr;  // the queries go on without a sketch
    }
    ready_.store(owned_.get(), std::memory_order_release);
    return owned_.get();
}

}  // namespace zorvik

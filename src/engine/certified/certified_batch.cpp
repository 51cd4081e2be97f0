// Certified queries of a batch, one pool task per query, all or nothing.
#include <atomic>
#include <mutex>
#include <optional>

#include "engine/batch/shape.hpp"
#include "engine/certified/certified.hpp"
#include "base/pool.hpp"

namespace zorvik {

Expected<std::vector<CertifiedResult>> certified_batch(const Engine& engine, const float* queries, std::uint64_t n,
                                                       std::uint64_t cols, std::uint64_t k, std::uint64_t block_size,
                                                       bool enable_pruning, const Scope& scope) {
    if (Status s = check_batch_shape(engine, n * cols, cols, ShapeOrder::DimensionsFirst); !s)
        return Error{s.error()};
    if (n == 0) return std::vector<CertifiedResult>{};

    std::vector<CertifiedResult> records(static_cast<std::size_t>(n));
    // The first failure's text; a failing task only tries the lock, so a busy slot
    // (another failure being stored) or a filled one drops its own text.
    std::mutex slot_mutex;
    std::optional<std::string> first_error;
    std::atomic<bool> stop{false};  // read without the lock: no new query starts after a failure

    pool::parallel_for(static_cast<std::size_t>(n), [&](std::size_t i) {
        if (stop.load(std::memory_order_relaxed)) return;
        try {
            auto r = certified_query(engine, {queries + i * cols, static_cast<std::size_t>(cols)}, k, block_size,
                                     enable_pruning, scope);
            if (r) {
                records[i] = std::move(r.value());
                return;
            }
            stop.store(true, std::memory_order_relaxed);
            std::unique_lock<std::mutex> lock(slot_mutex, std::try_to_lock);
            if (lock.owns_lock() && !first_error) first_error = r.error();
        } catch (...) {
            stop.store(true, std::memory_order_relaxed);
            throw;
        }
    });
    if (first_error) return Error{*first_error};
    return records;
}

}  // namespace zorvik

#include "lib/result_budget.hpp"

#include <algorithm>
#include <atomic>

#include "base/memory_limit.hpp"
#include "engine/certified/certified.hpp"

namespace zorvik::lib {

namespace {

// The measurements are of one build on one machine; allocators and Python versions differ.
constexpr double kSafetyFactor = 1.25;

// Below this an answer is never refused: the measures of what is in use are approximate,
// and so small an answer is not what exhausts memory.
constexpr double kAlwaysAllowedBytes = double(16 << 20);

constexpr double kRecordBytes = 48;      // a float in a list, and the engine's copy of it
constexpr double kBlockIdBytes = 40;     // an int in a list, and the engine's copy of it

// Bytes set aside by the budgets of the calls under way.
std::atomic<std::uint64_t> g_set_aside{0};

}  // namespace

AnswerBudget::AnswerBudget(const Engine& engine, std::uint64_t answers, std::uint64_t k, ResultCost cost,
                           double extra) {
    const double hits = static_cast<double>(std::min(k, engine.rows));
    const double need = static_cast<double>(answers) * (cost.per_answer + extra + hits * cost.per_hit) * kSafetyFactor;
    if (need <= kAlwaysAllowedBytes) {
        fits_ = true;
        return;
    }
    const double others = static_cast<double>(g_set_aside.load(std::memory_order_relaxed));
    fits_ = need + others <= static_cast<double>(available_memory_bytes());
    if (fits_) {
        taken_ = static_cast<std::uint64_t>(need);
        g_set_aside.fetch_add(taken_, std::memory_order_relaxed);
    }
}

AnswerBudget::~AnswerBudget() { g_set_aside.fetch_sub(taken_, std::memory_order_relaxed); }

double certificate_bytes(const Engine& engine, std::uint64_t k, std::uint64_t block_size) {
    // Each row after the first k is either pruned (one bound) or scored (at most one new
    // threshold), and the first threshold comes when the heap fills.
    const std::uint64_t records = std::min(engine.rows - std::min(k, engine.rows) + 1, 2 * kCertificateRecordCap);
    const std::uint64_t width = std::max<std::uint64_t>(block_size, 1);
    const std::uint64_t blocks = engine.dims / width + (engine.dims % width != 0);
    return static_cast<double>(records) * kRecordBytes + static_cast<double>(blocks) * kBlockIdBytes;
}

}  // namespace zorvik::lib

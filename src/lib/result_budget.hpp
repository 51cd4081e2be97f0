#pragma once
// Refusing, before the search, an answer the process has no memory left to build. A
// header may claim billions of rows, and where memory is promised lazily (a control
// group) an answer too large to build ends with the process killed instead of an error.
#include <cstdint>
#include <new>

#include "engine/index/engine.hpp"

namespace zorvik::lib {

// Bytes a method's answer takes, the engine's hits included: a fixed part per answer
// (one per query) and a part per hit.
struct ResultCost {
    double per_answer;
    double per_hit;
};

// Measured as the growth of the resident set over the call (then over reading every
// hit, where a result object builds its list on request), rounded up.
inline constexpr ResultCost kItemsCost{1024, 56};       // result objects: hits, then a list of items
inline constexpr ResultCost kArraysCost{384, 28};       // index and score arrays beside the hits
inline constexpr ResultCost kCertifiedCost{2048, 288};  // a dict of an int and a float per hit

// The memory `answers` answers of min(k, rows) hits each, and `extra` bytes besides per
// answer, take, and whether it fits in what this process still has. When it fits it is
// set aside until the budget goes, at the end of the method: calls running at once (the
// interpreter lock let go) each count what the others have set aside.
class AnswerBudget {
public:
    AnswerBudget(const Engine& engine, std::uint64_t answers, std::uint64_t k, ResultCost cost, double extra = 0);
    ~AnswerBudget();
    AnswerBudget(const AnswerBudget&) = delete;
    AnswerBudget& operator=(const AnswerBudget&) = delete;

    bool fits() const { return fits_; }

private:
    std::uint64_t taken_ = 0;
    bool fits_ = false;
};

// What a certificate's lists take: its records (every pruned row and every threshold,
// up to the cap) and its block order.
double certificate_bytes(const Engine& engine, std::uint64_t k, std::uint64_t block_size);

// search(k) when the answers fit. Otherwise search(0) first, which builds nothing, so that
// a request the search refuses keeps its own error; then std::bad_alloc (MemoryError).
template <class Search>
auto search_if_it_fits(bool fits, std::uint64_t k, Search search) {
    if (!fits) {
        auto checked = search(0);
        if (!checked) return checked;
        throw std::bad_alloc();
    }
    return search(k);
}

}  // namespace zorvik::lib

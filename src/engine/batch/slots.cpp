#include "engine/batch/slots.hpp"

#include <algorithm>

namespace zorvik {

BatchSlots::BatchSlots(std::uint64_t queries, std::uint64_t k, format::Metric metric) : metric_(metric) {
    out_.queries = queries;
    out_.width = k;
    out_.hits.resize(static_cast<std::size_t>(queries * k));
    out_.counts.assign(static_cast<std::size_t>(queries), 0);
    out_.times.assign(static_cast<std::size_t>(queries), 0.0);
}

void BatchSlots::merge(std::uint64_t q, const std::vector<Hit>& best_first) {
    Hit* slot = out_.hits.data() + q * out_.width;
    std::uint64_t& n = out_.counts[static_cast<std::size_t>(q)];
    // Heap order with `better` as "less": the root is the worst kept hit.
    const auto less = [m = metric_](const Hit& a, const Hit& b) { return better(a, b, m); };
    for (const Hit& h : best_first) {
        if (n < out_.width) {
            slot[n++] = h;
            std::push_heap(slot, slot + n, less);
        } else if (better(h, slot[0], metric_)) {
            std::pop_heap(slot, slot + n, less);
            slot[n - 1] = h;
            std::push_heap(slot, slot + n, less);
        } else {
            break;  // the rest of the list ranks after this one
        }
    }
}

BatchOutcome BatchSlots::finish() {
    const auto less = [m = metric_](const Hit& a, const Hit& b) { return better(a, b, m); };
    for (std::uint64_t q = 0; q < out_.queries; ++q) {
        Hit* slot = out_.hits.data() + q * out_.width;
        std::sort(slot, slot + out_.counts[static_cast<std::size_t>(q)], less);
    }
    return std::move(out_);
}

}  // namespace zorvik

#pragma once
// The k-th best of a stream of lower bounds (rank order: larger ranks first): a threshold
// no k-th best score can lie below. -infinity until k bounds have been seen.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

namespace zorvik {

class KthLower {
public:
    explicit KthLower(std::uint64_t k) : k_(k) {}

    // Takes one bound (-infinity ones never count); true when the threshold rose.
    bool offer(double lo) {
        if (!(lo > threshold_)) return false;
        if (heap_.size() < k_) {
            heap_.push_back(lo);
            std::push_heap(heap_.begin(), heap_.end(), std::greater<>());
            if (heap_.size() < k_) return false;
        } else {
            std::pop_heap(heap_.begin(), heap_.end(), std::greater<>());
            heap_.back() = lo;
            std::push_heap(heap_.begin(), heap_.end(), std::greater<>());
        }
        threshold_ = heap_.front();
        return true;
    }

    double threshold() const { return threshold_; }
    const std::vector<double>& bounds() const { return heap_; }

private:
    std::uint64_t k_;
    double threshold_ = -std::numeric_limits<double>::infinity();
    std::vector<double> heap_;  // min-heap of the k best bounds
};

// Raises a threshold shared by the tasks of one search to at least `value`: the largest
// of their k-th best lower bounds is one too.
inline void raise_threshold(std::atomic<double>& shared, double value) {
    double seen = shared.load(std::memory_order_relaxed);
    while (value > seen && !shared.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

}  // namespace zorvik

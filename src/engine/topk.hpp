#pragma once
// The ranking order and the top-k tools built on it.
//
// Order: IEEE totalOrder of the float score (descending for cosine and dot, ascending
// for euclidean); bit-identical scores rank the lower row first. It is total, so the
// best-k list of a set of hits is unique whatever chunking produced it.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "engine/kernels.hpp"
#include "engine/search.hpp"
#include "format/header.hpp"

namespace zorvik {

// totalOrder key: the bit pattern as a signed integer, low 31 bits inverted when negative.
inline std::int32_t score_key(float s) {
    const auto x = std::bit_cast<std::int32_t>(s);
    return x < 0 ? (x ^ 0x7FFFFFFF) : x;
}

// The one ranking predicate: is `a` ranked before `b`?
inline bool better(const Hit& a, const Hit& b, format::Metric metric) {
    const std::int32_t ka = score_key(a.score);
    const std::int32_t kb = score_key(b.score);
    if (ka != kb) return metric == format::Metric::Euclidean ? ka < kb : ka > kb;
    return a.idx < b.idx;
}

// Keeps the k best hits of a stream. The root of the binary heap is the worst kept hit.
class TopKHeap {
public:
    // Reserves room for min(k, expected) + 1 hits: a stream of at most `expected` hits
    // never needs more.
    TopKHeap(std::uint64_t k, format::Metric metric, std::uint64_t expected = UINT64_MAX);

    // Drops non-finite scores; when full, takes the hit only if it ranks before the root.
    void offer(const Hit& h) {
        if (!is_finite_score(h.score)) return;
        if (heap_.size() < k_) {
            push(h);
        } else if (k_ != 0 && better(h, heap_[0], metric_)) {
            heap_[0] = h;
            sift_down(0);
        }
    }

    bool full() const { return heap_.size() >= k_; }
    std::size_t size() const { return heap_.size(); }
    // The worst kept hit; only meaningful when size() > 0.
    const Hit& root() const { return heap_[0]; }

    // The kept hits, best first; leaves the heap empty.
    std::vector<Hit> into_sorted();

private:
    void push(const Hit& h);
    void sift_down(std::size_t i);
    // Heap property: no child ranks after its parent.
    bool worse(const Hit& a, const Hit& b) const { return better(b, a, metric_); }

    std::uint64_t k_;
    format::Metric metric_;
    std::vector<Hit> heap_;
};

// Keeps the k best hits of `list`, sorted best first.
std::vector<Hit> select_best(std::vector<Hit> list, std::uint64_t k, format::Metric metric);

// Concatenates per-chunk lists in chunk order, then select_best.
std::vector<Hit> merge_chunks(std::vector<std::vector<Hit>>& lists, std::uint64_t k, format::Metric metric);

// Sorts best first.
void sort_best_first(std::vector<Hit>& hits, format::Metric metric);

}  // namespace zorvik

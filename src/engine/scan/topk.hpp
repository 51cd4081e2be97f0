#pragma once
// The ranking order and the top-k tools built on it.
//
// Order: IEEE totalOrder of the float score (descending for cosine and dot, ascending
// for euclidean); bit-identical scores rank the lower row first. It is total, so the
// best-k list of a set of hits is unique whatever chunking produced it.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/scan/kernels.hpp"
#include "format/header.hpp"

namespace zorvik {

// One ranked row: global row number and its (finite) score.
struct Hit {
    std::uint64_t idx = 0;
    float score = 0.0f;
};

// The answer to one query.
struct QueryOutcome {
    std::vector<Hit> results;  // best first
    std::string method_used;
    double query_time_ms = 0.0;
};

// Monotonic clock of query timings.
using QueryClock = std::chrono::steady_clock;

// Milliseconds since `start`: (whole seconds + nanoseconds / 1e9) * 1000.0.
double elapsed_ms(QueryClock::time_point start);

// totalOrder key: the bit pattern as a signed integer, low 31 bits inverted when negative.
inline std::int32_t score_key(float s) {
    const auto x = std::bit_cast<std::int32_t>(s);
    return x < 0 ? (x ^ 0x7FFFFFFF) : x;
}

// XOR mask that turns score_key into a key where greater ranks first: all ones (reversing
// the order) for euclidean, whose smaller distances rank first.
inline std::int32_t rank_mask(format::Metric metric) { return metric == format::Metric::Euclidean ? -1 : 0; }

inline std::int32_t rank_key(float s, std::int32_t mask) { return score_key(s) ^ mask; }

// The one ranking predicate: is `a` ranked before `b`?
inline bool better(const Hit& a, const Hit& b, format::Metric metric) {
    const std::int32_t mask = rank_mask(metric);
    const std::int32_t ka = rank_key(a.score, mask);
    const std::int32_t kb = rank_key(b.score, mask);
    if (ka != kb) return ka > kb;
    return a.idx < b.idx;
}

// Keeps the k best hits of a stream. The root of the binary heap is the worst kept hit.
class TopKHeap {
public:
    // Reserves room for min(k, expected) + 1 hits: a stream of at most `expected` hits
    // never needs more.
    TopKHeap(std::uint64_t k, format::Metric metric, std::uint64_t expected = UINT64_MAX);

    // Drops non-finite scores; when full, takes the hit only if it ranks before the root.
    // The root's rank key is cached, so a rejected row costs one comparison: better()
    // compares the same keys, then the rows of bit-identical scores.
    void offer(const Hit& h) {
        if (full()) {
            const std::int32_t key = rank_key(h.score, mask_);
            if (key < root_key_ || k_ == 0) return;
            if (!is_finite(h.score) || (key == root_key_ && h.idx >= heap_[0].idx)) return;
            heap_[0] = h;
            sift_down(0);
            root_key_ = rank_key(heap_[0].score, mask_);
        } else if (is_finite(h.score)) {
            push(h);
            if (full()) root_key_ = rank_key(heap_[0].score, mask_);
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
    std::int32_t mask_;
    std::int32_t root_key_ = 0;  // rank key of heap_[0] while full()
    std::vector<Hit> heap_;
};

// Keeps the k best hits of `list`, sorted best first.
std::vector<Hit> select_best(std::vector<Hit> list, std::uint64_t k, format::Metric metric);

// Concatenates per-chunk lists in chunk order, then select_best.
std::vector<Hit> merge_chunks(std::vector<std::vector<Hit>>& lists, std::uint64_t k, format::Metric metric);

}  // namespace zorvik

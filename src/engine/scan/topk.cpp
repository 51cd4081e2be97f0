#include "engine/scan/topk.hpp"

namespace zorvik {

namespace {

void sort_best_first(std::vector<Hit>& hits, format::Metric metric) {
    std::sort(hits.begin(), hits.end(), [metric](const Hit& a, const Hit& b) { return better(a, b, metric); });
}

}  // namespace

double elapsed_ms(QueryClock::time_point start) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(QueryClock::now() - start).count();
    const auto secs = ns / 1000000000;
    const auto sub = ns % 1000000000;
    return (static_cast<double>(secs) + static_cast<double>(sub) / 1e9) * 1000.0;
}

TopKHeap::TopKHeap(std::uint64_t k, format::Metric metric, std::uint64_t expected)
    : k_(k), metric_(metric), mask_(rank_mask(metric)) {
    const std::uint64_t most = std::min(k, expected);
    if (most < heap_.max_size()) heap_.reserve(static_cast<std::size_t>(most) + 1);
}

void TopKHeap::push(const Hit& h) {
    heap_.push_back(h);
    std::size_t i = heap_.size() - 1;
    while (i > 0) {
        const std::size_t parent = (i - 1) / 2;
        if (!worse(heap_[i], heap_[parent])) break;
        std::swap(heap_[i], heap_[parent]);
        i = parent;
    }
}

void TopKHeap::sift_down(std::size_t i) {
    const std::size_t n = heap_.size();
    const Hit moving = heap_[i];
    for (;;) {
        std::size_t child = 2 * i + 1;
        if (child >= n) break;
        if (child + 1 < n && worse(heap_[child + 1], heap_[child])) ++child;
        if (!worse(heap_[child], moving)) break;
        heap_[i] = heap_[child];
        i = child;
    }
    heap_[i] = moving;
}

std::vector<Hit> TopKHeap::into_sorted() {
    std::vector<Hit> out = std::move(heap_);
    heap_.clear();
    sort_best_first(out, metric_);
    return out;
}

std::vector<Hit> select_best(std::vector<Hit> list, std::uint64_t k, format::Metric metric) {
    if (list.size() > k) {
        if (k == 0) return {};
        const auto kth = list.begin() + static_cast<std::ptrdiff_t>(k - 1);
        std::nth_element(list.begin(), kth, list.end(),
                         [metric](const Hit& a, const Hit& b) { return better(a, b, metric); });
        list.resize(static_cast<std::size_t>(k));
    }
    sort_best_first(list, metric);
    return list;
}

std::vector<Hit> merge_chunks(std::vector<std::vector<Hit>>& lists, std::uint64_t k, format::Metric metric) {
    std::size_t total = 0;
    for (const auto& l : lists) total += l.size();
    std::vector<Hit> all;
    all.reserve(total);
    for (auto& l : lists) {
        all.insert(all.end(), l.begin(), l.end());
        std::vector<Hit>().swap(l);
    }
    return select_best(std::move(all), k, metric);
}

}  // namespace zorvik

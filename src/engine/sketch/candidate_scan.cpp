#include "engine/sketch/candidate_scan.hpp"

#include <algorithm>
#include <atomic>

#include "base/pool.hpp"
#include "base/settings.hpp"
#include "base/tuning.hpp"
#include "engine/scan/kernels.hpp"
#include "engine/sketch/kth_lower.hpp"
#include "engine/sketch/quantise.hpp"
#include "engine/sketch/score_range.hpp"

namespace zorvik {

namespace {

using scan::RowRange;

struct Candidate {
    std::uint64_t row;
    double hi;  // upper bound on its rank
};

// The scan's state shared by its tasks: a threshold that only rises (every task's k-th
// best lower bound is at most the k-th best kernel score of all rows), the candidates
// kept so far and whether the budget ran out.
struct SharedScan {
    std::atomic<double> threshold{-std::numeric_limits<double>::infinity()};
    std::atomic<std::uint64_t> kept{0};
    std::atomic<bool> over_budget{false};
    std::uint64_t budget = 0;
};

struct PieceResult {
    std::vector<Candidate> candidates;
    std::vector<double> lower_bounds;
};

// The allowed rows of `ordinals`: bounds in blocks, candidates against the running
// threshold, and every kSketchCheckRows rows the shared threshold and the budget.
PieceResult scan_piece(const RowSketch& sketch, const SketchQuery& sq, const ScoreBounds& bounds,
                       const AllowedRows& allowed, RowRange ordinals, std::uint64_t k_eff, SharedScan& shared) {
    PieceResult out;
    KthLower kth(k_eff);
    double t = shared.threshold.load(std::memory_order_relaxed);
    std::uint64_t counted = 0, unchecked = 0;
    const auto check = [&] {
        t = std::max(t, shared.threshold.load(std::memory_order_relaxed));
        std::erase_if(out.candidates, [t](const Candidate& c) { return c.hi < t; });
        const std::uint64_t now = out.candidates.size();
        if (now > counted) {
            if (shared.kept.fetch_add(now - counted) + (now - counted) > shared.budget)
                shared.over_budget.store(true, std::memory_order_relaxed);
        } else {
            shared.kept.fetch_sub(counted - now);
        }
        counted = now;
        unchecked = 0;
    };
    double products[tuning::kSketchBoundRows], lo[tuning::kSketchBoundRows], hi[tuning::kSketchBoundRows];
    std::uint64_t reached[(tuning::kSketchBoundRows + 63) / 64];
    allowed.runs(ordinals, [&](RowRange run) {
        // Invariant: t is at most the k-th best kernel score's rank among all rows, so a
        // row whose upper bound lies below it can never be in the answer.
        for (std::uint64_t r = run.begin; r < run.end && !shared.over_budget.load(std::memory_order_relaxed);) {
            const std::size_t n = static_cast<std::size_t>(std::min(tuning::kSketchBoundRows, run.end - r));
            sq.products(sketch, r, n, products);
            // Only a row whose upper bound reaches t is a candidate, and only a lower bound
            // above t can raise it (lo <= hi): a block without such a row changes nothing.
            if (bounds.rank_ranges(sketch, r, products, n, lo, hi, t, reached)) {
                for_each_reached(reached, n, [&](std::size_t j) {
                    if (hi[j] < t) return;  // t has risen since
                    out.candidates.push_back({r + j, hi[j]});
                    if (lo[j] > t && kth.offer(lo[j]) && kth.threshold() > t) {
                        t = kth.threshold();
                        raise_threshold(shared.threshold, t);
                    }
                });
            }
            r += n;
            if ((unchecked += n) >= tuning::kSketchCheckRows) check();
        }
    });
    check();
    out.lower_bounds = kth.bounds();
    return out;
}

}  // namespace

std::uint64_t sketch_candidate_budget(std::uint64_t rows) {
    return std::max(rows / tuning::kSketchCandidateShare, tuning::kSketchMinCandidates);
}

std::vector<Hit> rescore(const Engine& e, const float* query, const std::vector<std::uint64_t>& rows,
                         std::uint64_t k_eff) {
    const bool scalar = settings::force_scalar();
    const std::size_t per_task = tuning::kSketchRescoreRows;
    const std::size_t tasks = (rows.size() + per_task - 1) / per_task;
    std::vector<std::vector<Hit>> lists(tasks);
    pool::parallel_for(tasks, [&](std::size_t t) {
        const std::size_t end = std::min(rows.size(), (t + 1) * per_task);
        TopKHeap heap(k_eff, e.metric, end - t * per_task);
        for (std::size_t i = t * per_task; i < end; ++i) {
            float s;
            score_rows(e.metric, query, static_cast<std::size_t>(e.dims), e.row(rows[i]), 1, scalar, &s);
            heap.offer(Hit{rows[i], s});
        }
        lists[t] = heap.into_sorted();
    });
    return merge_chunks(lists, k_eff, e.metric);
}

SketchAnswer sketch_search(const Engine& e, std::span<const float> query, std::uint64_t k_eff,
                           const AllowedRows& allowed) {
    SharedScan shared;
    shared.budget = sketch_candidate_budget(allowed.count());
    if (k_eff > shared.budget) return {{}, SketchRoute::TooManyCandidates};
    const RowSketch* sketch = e.sketch.get_or_build(e);
    if (sketch == nullptr) return {{}, SketchRoute::NoSketch};

    const SketchQuery sq(query, sketch::kRowCodeMax);
    const ScoreBounds bounds(e, query, sq);
    // Pieces of kSketchScanRows allowed rows, by ordinal.
    const std::uint64_t pieces = scan::chunk_count(tuning::kSketchScanRows, allowed.count());
    std::vector<PieceResult> results(static_cast<std::size_t>(pieces));
    pool::parallel_for(results.size(), [&](std::size_t p) {
        const RowRange ordinals = scan::chunk_range(p, tuning::kSketchScanRows, allowed.count());
        results[p] = scan_piece(*sketch, sq, bounds, allowed, ordinals, k_eff, shared);
    });
    // Every task counted its last candidates into `kept` before it ended.
    if (shared.over_budget.load()) return {{}, SketchRoute::TooManyCandidates, shared.kept.load()};

    // The final threshold: the k-th best lower bound of all rows.
    KthLower kth(k_eff);
    for (const PieceResult& p : results)
        for (const double lo : p.lower_bounds) kth.offer(lo);
    // Each piece kept only the lower bounds above its running threshold, so fewer than k
    // of them may be left; the shared threshold is a k-th best lower bound already.
    const double t = std::max(kth.threshold(), shared.threshold.load());
    std::vector<std::uint64_t> rows;
    for (const PieceResult& p : results)
        for (const Candidate& c : p.candidates)
            if (c.hi >= t) rows.push_back(c.row);
    if (rows.size() > shared.budget) return {{}, SketchRoute::TooManyCandidates, rows.size()};
    return {rescore(e, query.data(), rows, k_eff), SketchRoute::Answered, rows.size()};
}

}  // namespace zorvik

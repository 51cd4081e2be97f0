#include "engine/batch/batch_sketch.hpp"

#include <algorithm>
#include <atomic>
#include <memory>

#include "base/pool.hpp"
#include "base/tuning.hpp"
#include "engine/batch/slots.hpp"
#include "engine/scan/row_filter.hpp"
#include "engine/scan/strategies.hpp"
#include "engine/sketch/code_dot.hpp"
#include "engine/sketch/kth_lower.hpp"
#include "engine/sketch/quantise.hpp"
#include "engine/sketch/score_range.hpp"

namespace zorvik {

namespace {

using scan::RowRange;

// One query's side of the filter: its codes and bounds, the threshold all tasks share,
// and whether its candidates ran over the budget.
struct QueryFilter {
    QueryFilter(const Engine& e, std::span<const float> q)
        : sketch(q, sketch::kBatchQueryCodeMax), bounds(e, q, sketch) {}
    SketchQuery sketch;
    ScoreBounds bounds;
    std::atomic<double> threshold{-std::numeric_limits<double>::infinity()};
    std::atomic<bool> over_budget{false};
};

// What one task found for one query among its rows.
struct Found {
    std::vector<std::uint64_t> rows;
    std::vector<double> highs;
    std::vector<double> lower_bounds;
};

// Queries [tq.begin, tq.end) against the allowed rows of `ordinals`: code products block
// by block (a block of rows stays in the caches while every query of the tile passes over
// it), each pair's rank range, candidates against the query's running threshold.
void filter_tile(const Engine& e, const RowSketch& sk, const std::vector<std::unique_ptr<QueryFilter>>& filters,
                 const std::int8_t* codes, RowRange tq, const AllowedRows& allowed, RowRange ordinals,
                 std::uint64_t k_eff, std::uint64_t budget, std::vector<Found>& found) {
    const std::size_t dims = static_cast<std::size_t>(e.dims);
    const std::size_t nq = static_cast<std::size_t>(tq.size());
    std::vector<KthLower> kth(nq, KthLower(k_eff));
    // A query's list is compacted when it passes its mark; the mark then doubles with what
    // was kept (up to the budget), so a query with thousands of candidates (a whole
    // cluster) costs a few passes over its list, not one per block.
    std::vector<std::uint64_t> compact_at(nq, 2 * k_eff + tuning::kSketchBlockRows);
    std::vector<std::int32_t> products(nq * tuning::kSketchBlockRows);
    std::vector<double> exact(tuning::kSketchBlockRows), lo(tuning::kSketchBlockRows), hi(tuning::kSketchBlockRows);
    std::uint64_t reached[(tuning::kSketchBlockRows + 63) / 64];
    allowed.runs(ordinals, [&](RowRange run) {
        for (std::uint64_t r0 = run.begin; r0 < run.end; r0 += tuning::kSketchBlockRows) {
            const std::size_t nr = static_cast<std::size_t>(std::min<std::uint64_t>(tuning::kSketchBlockRows, run.end - r0));
            sketch::code_products(codes + tq.begin * dims, nq, sk.codes(r0), nr, dims, products.data());
            for (std::size_t i = 0; i < nq; ++i) {
                QueryFilter& f = *filters[tq.begin + i];
                if (f.over_budget.load(std::memory_order_relaxed)) continue;
                Found& mine = found[i];
                double t = f.threshold.load(std::memory_order_relaxed);
                std::copy_n(products.data() + i * nr, nr, exact.begin());
                // As in the single scan: only rows whose upper bound reaches t matter.
                if (f.bounds.rank_ranges(sk, r0, exact.data(), nr, lo.data(), hi.data(), t, reached)) {
                    for_each_reached(reached, nr, [&](std::size_t j) {
                        if (hi[j] < t) return;  // t has risen since
                        mine.rows.push_back(r0 + j);
                        mine.highs.push_back(hi[j]);
                        if (lo[j] > t && kth[i].offer(lo[j]) && kth[i].threshold() > t) {
                            t = kth[i].threshold();
                            raise_threshold(f.threshold, t);
                        }
                    });
                }
                // Keep the lists short: drop what the threshold has passed since.
                if (mine.rows.size() > compact_at[i]) {
                    std::size_t kept = 0;
                    for (std::size_t c = 0; c < mine.rows.size(); ++c)
                        if (mine.highs[c] >= t) {
                            mine.rows[kept] = mine.rows[c];
                            mine.highs[kept++] = mine.highs[c];
                        }
                    mine.rows.resize(kept);
                    mine.highs.resize(kept);
                    if (kept > budget) f.over_budget.store(true, std::memory_order_relaxed);
                    compact_at[i] = std::max(compact_at[i], std::min(2 * kept, budget + tuning::kSketchBlockRows));
                }
            }
        }
    });
    for (std::size_t i = 0; i < nq; ++i) found[i].lower_bounds = kth[i].bounds();
}

}  // namespace

SketchBatch batch_sketch(const Engine& engine, std::span<const float> queries, std::uint64_t k, const Scope& scope) {
    const std::uint64_t dims = engine.dims;
    const std::uint64_t nq = queries.size() / dims;
    const AllowedRows allowed(engine, scope);
    const std::uint64_t k_eff = std::min(k, allowed.count());
    SketchBatch out;
    if (k_eff == 0) return out;  // no answers at all, as the product modes give
    const RowSketch* sk = dims <= sketch::kTileDimsMax ? engine.sketch.get_or_build(engine) : nullptr;
    if (sk == nullptr) {
        out.route = SketchRoute::NoSketch;
        return out;
    }
    const std::uint64_t budget = sketch_candidate_budget(allowed.count());

    // A query holding a NaN or an infinity has no finite kernel score: no hits.
    std::vector<std::unique_ptr<QueryFilter>> filters(static_cast<std::size_t>(nq));
    std::vector<std::uint64_t> live;
    for (std::uint64_t q = 0; q < nq; ++q) {
        const std::span<const float> query = queries.subspan(static_cast<std::size_t>(q * dims), dims);
        if (std::all_of(query.begin(), query.end(), is_finite)) live.push_back(q);
    }
    std::vector<std::int8_t> codes(static_cast<std::size_t>(live.size() * dims));
    for (std::size_t i = 0; i < live.size(); ++i) {
        filters[i] = std::make_unique<QueryFilter>(engine, queries.subspan(static_cast<std::size_t>(live[i] * dims), dims));
        std::copy_n(filters[i]->sketch.codes(), dims, codes.begin() + static_cast<std::ptrdiff_t>(i * dims));
    }
    filters.resize(live.size());

    // Tasks: query tiles by row pieces, enough of them for every thread.
    const std::uint64_t m = live.size();
    const std::uint64_t tiles = (m + tuning::kSketchTileQueries - 1) / tuning::kSketchTileQueries;
    const std::uint64_t want = pool::thread_count() * tuning::kSketchTasksPerThread;
    const std::uint64_t pieces = std::clamp<std::uint64_t>((want + tiles - 1) / std::max<std::uint64_t>(tiles, 1), 1,
                                                           std::max<std::uint64_t>(allowed.count() / tuning::kSketchBlockRows, 1));
    std::vector<std::vector<Found>> found(static_cast<std::size_t>(tiles * pieces));
    pool::parallel_for(static_cast<std::size_t>(tiles * pieces), [&](std::size_t task) {
        const std::uint64_t t = task / pieces, p = task % pieces;
        const RowRange tq{t * m / tiles, (t + 1) * m / tiles};
        const RowRange ordinals{allowed.count() * p / pieces, allowed.count() * (p + 1) / pieces};
        found[task].resize(static_cast<std::size_t>(tq.size()));
        filter_tile(engine, *sk, filters, codes.data(), tq, allowed, ordinals, k_eff, budget, found[task]);
    });

    // Per query: the final threshold over every piece, the candidates that reach it, and
    // the kernel's answer among them (or the kernel scan's, over budget).
    std::vector<std::uint64_t> tile_of(static_cast<std::size_t>(m));
    for (std::uint64_t t = 0; t < tiles; ++t)
        for (std::uint64_t i = t * m / tiles; i < (t + 1) * m / tiles; ++i) tile_of[i] = t;
    BatchSlots slots(nq, k_eff, engine.metric);
    std::atomic<bool> fell_back{false};
    pool::parallel_for(static_cast<std::size_t>(m), [&](std::size_t i) {
        const std::uint64_t t = tile_of[i];
        const std::size_t at = static_cast<std::size_t>(i - t * m / tiles);
        const float* query = queries.data() + live[i] * dims;
        std::vector<Hit> hits;
        if (!filters[i]->over_budget.load()) {
            KthLower kth(k_eff);
            for (std::uint64_t p = 0; p < pieces; ++p)
                for (const double lo : found[static_cast<std::size_t>(t * pieces + p)][at].lower_bounds) kth.offer(lo);
            // The pieces kept only lower bounds above their running thresholds (see the
            // single scan); the shared one is a k-th best lower bound already.
            const double threshold = std::max(kth.threshold(), filters[i]->threshold.load());
            std::vector<std::uint64_t> rows;
            for (std::uint64_t p = 0; p < pieces; ++p) {
                const Found& f = found[static_cast<std::size_t>(t * pieces + p)][at];
                for (std::size_t c = 0; c < f.rows.size(); ++c)
                    if (f.highs[c] >= threshold) rows.push_back(f.rows[c]);
            }
            if (rows.size() <= budget) hits = rescore(engine, query, rows, k_eff);
            else filters[i]->over_budget.store(true);
        }
        if (filters[i]->over_budget.load()) {
            fell_back.store(true);
            hits = scan_chunked(engine, {query, static_cast<std::size_t>(dims)}, k_eff, scope);
        }
        slots.merge(live[i], hits);
    });
    if (fell_back.load()) out.route = SketchRoute::TooManyCandidates;
    out.answers = slots.finish();
    return out;
}

}  // namespace zorvik

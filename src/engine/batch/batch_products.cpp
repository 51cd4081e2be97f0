// The batch modes that score queries against rows by matrix products: the blocked scan
// (row chunks on the pool) and the matrix mode (blocks of queries on the pool).
//
// The products only pick candidates: every answer is ranked on the per-row kernel's
// scores (see candidates.hpp), so it is the kernel scan's answer bit for bit, whatever
// tiles, chunks, thread count or BLAS kernels made the products. Score buffers are
// bounded: a product of m queries against n rows that would not fit one task's share of a
// fixed budget is cut into tiles. Each query's best hits go into its slot of the batch
// answer (slots.hpp), the one buffer every task merges into.
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>
#include <mutex>
#include <vector>

#include "engine/batch/batch_products.hpp"
#include "engine/batch/candidates.hpp"
#include "engine/batch/slots.hpp"
#include "engine/scan/blas.hpp"
#include "base/pool.hpp"
#include "base/tuning.hpp"
#include "engine/scan/row_blocks.hpp"
#include "engine/scan/scan_support.hpp"

namespace zorvik {

namespace {

using scan::RowRange;

// Queries per block of batch_matrix for `nq` queries against `rows` rows and `threads`
// pool threads: ZORVIK_QBLOCK when it holds a count above 0, else the automatic size.
std::uint64_t query_block_size(const Engine& engine, std::uint64_t nq, std::uint64_t rows, std::uint64_t threads,
                               const Scope& scope) {
    if (const auto given = scope.settings.query_block) return *given;
    if (nq < 2) return 1;
    const std::uint64_t dims = engine.dims;
    const std::uint64_t p = std::min(nq, std::max<std::uint64_t>(threads, 1) * tuning::kQueryBlocksPerThread);
    std::uint64_t budget = tuning::kQueryBlockScores;
    if (engine.metric == format::Metric::Euclidean) budget = tuning::kQueryBlockScoresEuclidean;
    else if (dims > tuning::kQueryBlockNarrowDims) budget = tuning::kQueryBlockScoresWide;
    const std::uint64_t a = std::min(nq, std::max(budget / std::max<std::uint64_t>(rows, 1), p));
    const std::uint64_t cap = dims < tuning::kMediumDims ? tuning::kQueryBlockCap
                              : dims < tuning::kWideDims ? tuning::kQueryBlockCapMedium
                                                         : tuning::kQueryBlockCapWide;
    const std::uint64_t limit = std::min(a, cap);
    return std::min(std::max<std::uint64_t>((nq + p - 1) / p, 1), limit);
}

std::uint64_t task_budget(std::uint64_t threads) {
    return std::max(tuning::kScoreBudget / std::max<std::uint64_t>(threads, 1), tuning::kMinTaskScores);
}

// Piece i of `parts` near-equal consecutive pieces of [0, n).
RowRange even_piece(std::uint64_t n, std::uint64_t parts, std::uint64_t i) {
    const auto at = [&](std::uint64_t j) {
        return static_cast<std::uint64_t>(static_cast<format::u128>(n) * j / parts);
    };
    return {at(i), at(i + 1)};
}

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

// How m queries against n rows are cut into tiles of at most `budget` scores.
struct TilePlan {
    std::uint64_t query_tiles = 1;  // near-equal consecutive groups of queries
    std::uint64_t row_pieces = 1;   // near-equal consecutive pieces of rows ...
    std::uint64_t fixed_piece = 0;  // ... or, for one query, pieces of this many rows

    RowRange queries(std::uint64_t m, std::uint64_t t) const { return even_piece(m, query_tiles, t); }
    RowRange rows(std::uint64_t n, std::uint64_t p) const {
        if (fixed_piece == 0) return even_piece(n, row_pieces, p);
        return {p * fixed_piece, std::min(n, (p + 1) * fixed_piece)};
    }
    std::uint64_t largest(std::uint64_t m, std::uint64_t n) const {
        const std::uint64_t rows = fixed_piece != 0 ? std::min(n, fixed_piece) : ceil_div(n, row_pieces);
        return ceil_div(m, query_tiles) * rows;
    }
};

TilePlan plan_tiles(std::uint64_t m, std::uint64_t n, std::uint64_t budget) {
    TilePlan plan;
    if (m <= budget / n) return plan;  // the whole product fits
    if (m == 1) {
        // The matrix-vector route of one query: row pieces start at multiples of a power
        // of two, as the route's own pieces do.
        plan.fixed_piece = std::bit_floor(budget);
        plan.row_pieces = ceil_div(n, plan.fixed_piece);
        return plan;
    }
    // All m queries against pieces of budget / m rows (each piece of rows is then read
    // and packed once for every query), down to kMinPieceRows rows a piece; below that the
    // queries are cut into near-equal tiles of budget / piece >= 1024 queries at most.
    const std::uint64_t piece = std::max(budget / m, tuning::kMinPieceRows);
    plan.row_pieces = ceil_div(n, piece);
    plan.query_tiles = ceil_div(m, budget / ceil_div(n, plan.row_pieces));
    return plan;
}

// Metric-2 scores from the inner products in s, in place. The sums are the same in
// every instruction set (additions only, rounded to double, then to float).
__attribute__((target_clones("avx512f", "avx2", "default"))) void to_euclid(float* s, const double* norms,
                                                                             double q2, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) s[j] = euclid_from_dot(norms[j], q2, s[j]);
}

// The largest finite value among v[0 .. n), or 0.
double largest_finite(const double* v, std::size_t n) {
    double m = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        if (v[i] > m && v[i] <= std::numeric_limits<double>::max()) m = v[i];
    return m;
}

// A worker's buffers: product scores, and allowed rows copied out of scattered runs.
struct TaskScratch {
    std::vector<float> scores;
    RowGatherer gathered;
};

// The best k_eff hits of each of m queries (row-major, dims each) among the allowed rows
// of `ordinals`, by kernel score, handed to deliver(i, hits best first) for query i.
// `scratch` holds the calling worker's buffers.
template <class Deliver>
void best_per_query(const Engine& e, const float* queries, std::uint64_t m, const AllowedRows& allowed,
                    RowRange ordinals, std::uint64_t k_eff, std::uint64_t budget, TaskScratch& scratch,
                    const Deliver& deliver) {
    const std::uint64_t dims = e.dims;
    const bool euclidean = e.metric == format::Metric::Euclidean;
    const TilePlan plan = plan_tiles(m, ordinals.size(), budget);
    const std::size_t need = static_cast<std::size_t>(plan.largest(m, ordinals.size()));
    if (scratch.scores.size() < need) scratch.scores.resize(need);
    float* buf = scratch.scores.data();

    std::vector<QueryCandidates> candidates;
    std::vector<double> q_norms;
    for (std::uint64_t t = 0; t < plan.query_tiles; ++t) {
        const RowRange tq = plan.queries(m, t);
        const float* tile = queries + tq.begin * dims;
        candidates.clear();
        q_norms.clear();
        for (std::uint64_t i = 0; i < tq.size(); ++i) {
            candidates.emplace_back(e, tile + i * dims, k_eff);
            if (euclidean) q_norms.push_back(query_sq_norm({tile + i * dims, static_cast<std::size_t>(dims)}));
        }
        for (std::uint64_t p = 0; p < plan.row_pieces; ++p) {
            const RowRange piece = plan.rows(ordinals.size(), p);
            // Scattered short runs are copied into blocks: one product per short run would
            // repeat the product's fixed work every few rows. Only the kernel scores count,
            // so rows need no whole groups.
            const std::size_t long_run = static_cast<std::size_t>(std::max<std::uint64_t>(tuning::kGatherFloats / dims, 1));
            scratch.gathered.blocks(e, allowed, {ordinals.begin + piece.begin, ordinals.begin + piece.end}, 1, long_run,
                           [&](const RowBlock& block) {
                const std::size_t n = block.n;
                // Every product writes all of its scores (dims >= 1); the matrix-vector
                // route of a single query is given the zero-filled buffer it expects.
                if (tq.size() == 1) std::fill(buf, buf + n, 0.0f);
                gemm_scores(tile, static_cast<std::size_t>(tq.size()), block.rows, n, static_cast<std::size_t>(dims),
                            buf);
                const double row_sq_max = largest_finite(block.sq_norms, n);
                for (std::uint64_t i = 0; i < tq.size(); ++i) {
                    float* s = buf + i * n;
                    if (euclidean) to_euclid(s, block.sq_norms, q_norms[static_cast<std::size_t>(i)], n);
                    candidates[static_cast<std::size_t>(i)].offer(s, n, block.ids, row_sq_max);
                }
            });
        }
        for (std::uint64_t i = 0; i < tq.size(); ++i)
            deliver(tq.begin + i, candidates[static_cast<std::size_t>(i)].finish());
    }
}

// Runs body(task, scratch) for tasks 0 .. count-1 on the pool; every running worker keeps
// its buffers for all the tasks it takes. After a failure no new task starts.
template <class Body>
void run_tasks(std::uint64_t count, const Body& body) {
    const std::uint64_t workers = std::min<std::uint64_t>(count, std::max<std::size_t>(pool::thread_count(), 1));
    std::atomic<std::uint64_t> next{0};
    pool::parallel_for(static_cast<std::size_t>(workers), [&](std::size_t) {
        TaskScratch scratch;
        for (std::uint64_t t; (t = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
            try {
                body(t, scratch);
            } catch (...) {
                next.store(count, std::memory_order_relaxed);
                throw;
            }
        }
    });
}

// What both modes derive from the call: the rows they visit, k_eff = min(k, allowed
// rows) (no outcomes at all when 0), the batch's extent and the pool's size with the
// score budget of one task.
struct BatchShape {
    BatchShape(const Engine& e, std::span<const float> queries, std::uint64_t k, const Scope& scope)
        : allowed(e, scope),
          k_eff(std::min(k, allowed.count())),
          dims(e.dims),
          nq(queries.size() / e.dims),
          threads(pool::thread_count()),
          budget(task_budget(threads)) {}
    AllowedRows allowed;
    std::uint64_t k_eff, dims, nq, threads, budget;
};

}  // namespace

Expected<BatchOutcome> batch_blocked(const Engine& engine, std::span<const float> queries, std::uint64_t k,
                                     const Scope& scope) {
    const BatchShape shape(engine, queries, k, scope);
    if (shape.k_eff == 0) return BatchOutcome{};
    const auto& [allowed, k_eff, dims, nq, threads, budget] = shape;

    // Chunks of allowed rows, by ordinal: the tasks stay balanced however they are spread.
    const std::uint64_t n = allowed.count();
    const std::uint64_t chunk = row_chunk_size(engine, n, threads);
    const std::uint64_t chunks = scan::chunk_count(chunk, n);
    // Query tiles of the chunk tasks: as best_per_query cuts a chunk's product (all
    // queries whenever pieces of rows can take them all).
    TilePlan plan = plan_tiles(nq, chunk, budget);
    // Too few tasks for the pool: more query tiles, each still four queries or more and a
    // large product.
    const std::uint64_t wanted = ceil_div(tuning::kBlockedTasksPerThread * threads, chunks);
    if (plan.query_tiles < wanted) {
        const std::uint64_t most =
            std::min(nq / tuning::kMinTileQueries, nq * (chunk / plan.row_pieces) / tuning::kMinTileScores);
        plan.query_tiles = std::max(plan.query_tiles, std::min(wanted, most));
    }
    const std::uint64_t tiles = plan.query_tiles;

    BatchSlots slots(nq, k_eff, engine.metric);
    std::vector<std::mutex> tile_locks(static_cast<std::size_t>(tiles));
    // Task (c, t): chunk c against tile t. Tiles of one chunk run side by side, so the
    // chunk's rows are read while they are still in cache.
    run_tasks(chunks * tiles, [&](std::uint64_t task, TaskScratch& scratch) {
        const std::uint64_t t = task % tiles;
        const RowRange tq = plan.queries(nq, t);
        best_per_query(engine, queries.data() + tq.begin * dims, tq.size(), allowed,
                       scan::chunk_range(task / tiles, chunk, n), k_eff, budget, scratch,
                       [&](std::uint64_t i, const std::vector<Hit>& best) {
                           std::lock_guard<std::mutex> hold(tile_locks[static_cast<std::size_t>(t)]);
                           slots.merge(tq.begin + i, best);
                       });
    });
    return slots.finish();
}

Expected<BatchOutcome> batch_matrix(const Engine& engine, std::span<const float> queries, std::uint64_t k,
                                    const Scope& scope) {
    const BatchShape shape(engine, queries, k, scope);
    if (shape.k_eff == 0) return BatchOutcome{};
    const auto& [allowed, k_eff, dims, nq, threads, budget] = shape;
    // A block never holds more queries than the batch, whatever ZORVIK_QBLOCK says.
    const std::uint64_t qb = std::min(query_block_size(engine, nq, allowed.count(), threads, scope), nq);
    const std::uint64_t blocks = ceil_div(nq, qb);

    BatchSlots slots(nq, k_eff, engine.metric);
    run_tasks(blocks, [&](std::uint64_t b, TaskScratch& scratch) {
        const std::uint64_t first = b * qb;
        const std::uint64_t m = std::min(qb, nq - first);
        best_per_query(engine, queries.data() + first * dims, m, allowed, {0, allowed.count()}, k_eff, budget,
                       scratch, [&](std::uint64_t i, const std::vector<Hit>& best) { slots.merge(first + i, best); });
    });
    return slots.finish();
}

}  // namespace zorvik

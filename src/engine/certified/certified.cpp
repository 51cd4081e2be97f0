// The certified query: rows in increasing order, each either scored in full with
// score_pair or abandoned by a block-wise Cauchy-Schwarz bound against the current
// k-th best score, with a record of every decision.
#include "engine/certified/certified.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "base/settings.hpp"
#include "base/text.hpp"
#include "base/tuning.hpp"
#include "engine/certified/build_facts.hpp"
#include "engine/certified/rounding.hpp"
#include "engine/sketch/row_sketch.hpp"
#include "engine/sketch/sketch_query.hpp"
#include "engine/sketch/quantise.hpp"
#include "engine/index/dim_blocks.hpp"
#include "engine/messages.hpp"
#include "engine/scan/block_bound.hpp"
#include "engine/scan/kernels.hpp"
#include "engine/scan/row_filter.hpp"

namespace zorvik {

namespace {

constexpr const char* kMethodEmpty = "exact-certified";
constexpr const char* kMethodPruning = "exact-certified-pruning";
constexpr const char* kMethodNoPruning = "exact-certified-no-pruning";
constexpr const char* kRuleEmpty = "empty-result";
constexpr const char* kRuleInner = "upper_bound = partial_dot + ||q_rem||*||x||";
constexpr const char* kRuleL2 = "lower_bound_l2 = ||q||^2 + ||x||^2 - 2*(partial_dot + ||q_rem||*||x||)";
constexpr const char* kKindNone = "none";
constexpr const char* kKindUpper = "upper_bound";
constexpr const char* kKindLower = "lower_bound";

constexpr std::size_t kCacheLine = 64;

// Query-side facts every bound pass reads: the blocks in visiting order and the unseen
// query norm after each of them.
struct BoundPlan {
    std::vector<DimBlock> visit;
    std::vector<double> q_rem;
    double q_sq = 0.0;
    Allowance allowance;
};

BoundPlan plan_bounds(const Engine& e, const float* q, std::uint64_t bs, std::vector<std::uint64_t>& order) {
    const std::vector<double> energy = block_energies(q, e.dims, bs);
    BoundPlan plan;
    for (const double s : energy) plan.q_sq = plan.q_sq + s;
    order = energy_order(energy);
    plan.visit.reserve(order.size());
    plan.q_rem.reserve(order.size());
    double seen = 0.0;
    for (const std::uint64_t b : order) {
        plan.visit.push_back(dim_block(b, bs, e.dims));
        seen = seen + energy[b];
        plan.q_rem.push_back(std::sqrt(std::max(plan.q_sq - seen, 0.0)));
    }
    plan.allowance = rounding_allowance(e.metric, e.dims, bs, energy.size(), plan.q_sq);
    return plan;
}

template <class T>
void record(std::vector<T>& list, T value) {
    if (list.size() < kCertificateRecordCap) list.push_back(value);
}

class CertifiedScan {
public:
    CertifiedScan(const Engine& e, std::span<const float> q, std::uint64_t k_eff, const BoundPlan& plan,
                  CertifiedResult& out)
        : e_(e), q_(q), k_eff_(k_eff), plan_(plan), out_(out), heap_(k_eff, e.metric) {}

    void run(bool enable_pruning, const AllowedRows& allowed) {
        // The first k_eff allowed rows are always scored in full; with pruning on, so are
        // the rows after them while the heap is short of k_eff hits (a row with a
        // non-finite score is never kept). The heap never shrinks: once full, every later
        // row is bound-tested. Rows outside the filter are neither scored nor bound-tested.
        std::uint64_t in_full = enable_pruning ? k_eff_ : allowed.count();
        bool sketch_tried = false;
        const RowSketch* sketch = nullptr;
        std::optional<SketchQuery> sketch_query;
        allowed.runs([&](scan::RowRange run) {
            const std::uint64_t n = std::min(in_full, run.size());
            std::uint64_t r = score_span(run.begin, run.begin + n);
            in_full -= n;
            if (!enable_pruning) return;
            for (; r < run.end && heap_.size() < k_eff_; ++r) score(r, score_pair(e_.metric, q_, row_span(r)));
            r = bound_scan(r, run.end, true);
            if (r == run.end) return;
            // From here on only whether a row is pruned counts (see sketch_scan).
            if (!sketch_tried) {
                sketch_tried = true;
                sketch = e_.sketch.get_or_build(e_);
                if (sketch) sketch_query.emplace(q_, sketch::kRowCodeMax);
            }
            if (sketch)
                sketch_scan(*sketch, *sketch_query, {r, run.end});
            else
                bound_scan(r, run.end, false);
        });
        out_.results = heap_.into_sorted();
    }

private:
    std::span<const float> row_span(std::uint64_t r) const { return {e_.row(r), static_cast<std::size_t>(e_.dims)}; }

    // Scores rows [from, to) in full, in order; returns `to`.
    std::uint64_t score_span(std::uint64_t from, std::uint64_t to) {
        float scores[tuning::kScoreBatch];
        const bool scalar = settings::force_scalar();
        for (std::uint64_t r = from; r < to;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(tuning::kScoreBatch, to - r));
            score_rows(e_.metric, q_.data(), static_cast<std::size_t>(e_.dims), e_.row(r), n, scalar, scores);
            for (std::size_t i = 0; i < n; ++i) score(r + i, scores[i]);
            r += n;
        }
        return to;
    }

    // Bound-tests rows [from, end), or with `while_recording` only while every pruned
    // row's bound is still recorded; returns the first row left.
    std::uint64_t bound_scan(std::uint64_t from, std::uint64_t end, bool while_recording) {
        const std::size_t row_bytes = static_cast<std::size_t>(e_.dims) * sizeof(float);
        // Rows ahead of the pass are requested whole (partial rows measured no cheaper to
        // fetch than whole ones).
        const std::uint64_t ahead = std::max<std::size_t>(tuning::kPrefetchAheadBytes / row_bytes, 1);
        std::uint64_t r = from;
        for (; r < end && !(while_recording && out_.pruned_bound_values.size() == kCertificateRecordCap); ++r) {
            if (r + ahead < end) {
                const auto* next = reinterpret_cast<const char*>(e_.row(r + ahead));
                for (std::size_t at = 0; at < std::min(row_bytes, tuning::kPrefetchAheadBytes); at += kCacheLine)
                    __builtin_prefetch(next + at, 0, 1);
            }
            if (!prunes(r, e_.row(r))) score(r, score_pair(e_.metric, q_, row_span(r)));
        }
        return r;
    }

    // The rest of a run, once no more bound values are recorded: only whether a row is
    // pruned counts now. A row whose 8-bit sketch shows that its bound over all blocks
    // (the last one the pass visits) prunes it is pruned by the pass too, at that block
    // or an earlier one, so it is counted without reading the row. Every other row takes
    // the pass itself.
    void sketch_scan(const RowSketch& sketch, const SketchQuery& query, scan::RowRange rows) {
        for (std::uint64_t r = rows.begin; r < rows.end; ++r) {
            if (sketch_prunes(query.range(sketch, r).hi, r))
                ++out_.pruned_candidates;
            else if (!prunes(r, e_.row(r)))
                score(r, score_pair(e_.metric, q_, row_span(r)));
        }
    }

    // True when the pass is certain to prune row r, whose inner product with the query is
    // at most `dot`. At the last visited block the pass compares upper = (row_norm * q_rem
    // + partial_dot) + slack, and partial_dot is within exact_dot * row_norm of q.x; the
    // relative headroom covers the rounding of the few double operations on either side.
    bool sketch_prunes(double dot, std::uint64_t r) const {
        const float row_norm32 = e_.row_norm(r);
        const double row_norm = static_cast<double>(row_norm32);
        const double tail = row_norm * (plan_.q_rem.back() + plan_.allowance.exact_dot);
        const double slack = plan_.allowance.slack(row_norm32);
        const double upper = bound::upper(tail, dot, slack) + kSketchHeadroom * (std::fabs(dot) + tail + slack);
        const float root = heap_.root().score;
        const bool l2 = e_.metric == format::Metric::Euclidean;
        if (!l2) return bound::loses_recorded(upper, root, l2);
        const double norms = e_.row_sq_norm(r) + plan_.q_sq;
        const double lower = bound::euclid_lower(norms, upper) - kSketchHeadroom * (norms + 2.0 * std::fabs(upper));
        return bound::loses_recorded(lower, root, l2);
    }

    // Invariant: `partial` is the block-wise inner product over the blocks visited so far,
    // and `upper` is at least the row's full score (Cauchy-Schwarz on the unseen blocks).
    bool prunes(std::uint64_t r, const float* x) {
        const bool l2 = e_.metric == format::Metric::Euclidean;
        const float root = heap_.root().score;
        const double row_norm = static_cast<double>(e_.row_norm(r));
        const double slack = plan_.allowance.slack(e_.row_norm(r));
        const double norms = e_.row_sq_norm(r) + plan_.q_sq;
        const float* q = q_.data();
        double partial = 0.0;
        for (std::size_t j = 0; j < plan_.visit.size(); ++j) {
            const DimBlock b = plan_.visit[j];
            partial = partial + static_cast<double>(
                                    dot_vector_order(q + b.start, x + b.start, static_cast<std::size_t>(b.end - b.start)));
            const double upper = bound::upper(row_norm * plan_.q_rem[j], partial, slack);
            const double limit = l2 ? bound::euclid_lower(norms, upper) : upper;
            if (bound::loses_recorded(limit, root, l2)) {
                ++out_.pruned_candidates;
                record(out_.pruned_bound_values, bound::recorded(limit, l2));
                return true;
            }
        }
        return false;
    }

    // Full scoring of row r, whose score_pair value is `s`.
    void score(std::uint64_t r, float s) {
        ++out_.full_evaluated;
        const Hit hit{r, s};
        if (!is_finite(hit.score)) return;
        if (heap_.size() < k_eff_) {
            heap_.offer(hit);
            if (heap_.size() == k_eff_) record(out_.threshold_evolution, heap_.root().score);
        } else if (better(hit, heap_.root(), e_.metric)) {
            heap_.offer(hit);
            record(out_.threshold_evolution, heap_.root().score);
        }
    }

    const Engine& e_;
    std::span<const float> q_;
    std::uint64_t k_eff_;
    const BoundPlan& plan_;
    CertifiedResult& out_;
    TopKHeap heap_;
};

// True when every recorded bound lies strictly on the losing side of the k-th score.
bool bounds_hold(const CertifiedResult& r, format::Metric metric) {
    const bool l2 = metric == format::Metric::Euclidean;
    return std::all_of(r.pruned_bound_values.begin(), r.pruned_bound_values.end(),
                       [&r, l2](float v) { return bound::loses(v, r.kth_score, l2); });
}

}  // namespace

Expected<CertifiedResult> certified_query(const Engine& engine, std::span<const float> query, std::uint64_t k,
                                          std::uint64_t block_size, bool enable_pruning, const Scope& scope) {
    if (query.size() != engine.dims)
        return Error{text::fill(msg::kQueryDimensionMismatch, {text::dec(query.size()), text::dec(engine.dims)})};
    if (!std::all_of(query.begin(), query.end(), is_finite)) return Error{msg::kCertifiedQueryNotFinite};

    const bool l2 = engine.metric == format::Metric::Euclidean;
    CertifiedResult out;
    out.simd_path = simd_path();
    out.compile_flags = compile_flags();
    // Rows outside the filter are no candidates: neither pruned nor evaluated.
    const AllowedRows allowed(engine, scope);
    out.total_candidates = allowed.count();
    out.block_size = std::max<std::uint64_t>(block_size, 1);
    out.enable_pruning = enable_pruning;
    if (k == 0 || allowed.count() == 0) {
        out.method_used = kMethodEmpty;
        out.bound_rule = kRuleEmpty;
        out.bound_kind = kKindNone;
        return out;
    }

    const auto start = QueryClock::now();
    const std::uint64_t k_eff = std::min(k, allowed.count());
    if (engine.dims == 0) {
        // No blocks, so nothing is ever pruned; every row scores +0 and the first k_eff
        // rows win every tie.
        out.results = allowed.first(k_eff, 0.0f);
        out.full_evaluated = allowed.count();
        out.threshold_evolution.push_back(0.0f);
    } else {
        const BoundPlan plan = plan_bounds(engine, query.data(), out.block_size, out.block_order);
        CertifiedScan(engine, query, k_eff, plan, out).run(enable_pruning, allowed);
    }
    out.kth_score = out.results.empty() ? 0.0f : out.results.back().score;
    out.safe = out.pruned_candidates + out.full_evaluated == allowed.count() && bounds_hold(out, engine.metric);
    out.bound_rule = l2 ? kRuleL2 : kRuleInner;
    out.bound_kind = l2 ? kKindLower : kKindUpper;
    out.query_time_ms = elapsed_ms(start);
    out.method_used = enable_pruning ? kMethodPruning : kMethodNoPruning;
    return out;
}

}  // namespace zorvik

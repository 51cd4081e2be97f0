#include "engine/certified/explain.hpp"

#include <algorithm>
#include <bit>
#include <initializer_list>

#include "engine/index/dim_blocks.hpp"
#include "engine/scan/kernels.hpp"
#include "engine/messages.hpp"
#include "base/text.hpp"

namespace zorvik {

namespace {

Status check_analysis_request(const Engine& e, std::span<const float> query, std::initializer_list<std::uint64_t> rows,
                     std::uint64_t block_size, std::uint64_t top_blocks) {
    if (query.size() != e.dims)
        return Error{text::fill(msg::kQueriesDimensionMismatch, {text::dec(query.size()), text::dec(e.dims)})};
    for (const std::uint64_t r : rows)
        if (r >= e.rows) return Error{msg::kIndexOutOfBounds};
    if (block_size == 0) return Error{msg::kBlockSizeZero};
    if (top_blocks == 0) return Error{msg::kTopBlocksZero};
    return {};
}

// Magnitude key: the bit pattern without its sign bit. Orders absolute values, with the
// infinities above every finite value and NaN above the infinities.
inline std::uint32_t magnitude_key(float v) { return std::bit_cast<std::uint32_t>(v) & 0x7FFFFFFFu; }

// One contribution per block in block order; `sum` gives the block [s, e)'s figure.
template <class BlockSum>
std::vector<BlockContribution> per_block(std::uint64_t dims, std::uint64_t bs, BlockSum sum) {
    std::vector<BlockContribution> out(static_cast<std::size_t>(block_count(dims, bs)));
    for (std::size_t b = 0; b < out.size(); ++b) {
        const DimBlock blk = dim_block(b, bs, dims);
        out[b] = {b, blk.start, blk.end, sum(blk.start, blk.end)};
    }
    return out;
}

// Ranks by magnitude (ties to the lower block id: a total order, so the list is unique),
// keeps the first `top_blocks` and adds the others, in ranked order, into the residual.
BlockBreakdown rank_and_cut(std::vector<BlockContribution> all, std::uint64_t top_blocks) {
    std::sort(all.begin(), all.end(), [](const BlockContribution& a, const BlockContribution& b) {
        const std::uint32_t ka = magnitude_key(a.contribution), kb = magnitude_key(b.contribution);
        return ka != kb ? ka > kb : a.block_id < b.block_id;
    });
    BlockBreakdown out;
    out.num_blocks = all.size();
    const std::size_t t = static_cast<std::size_t>(std::min<std::uint64_t>(top_blocks, all.size()));
    float residual = 0.0f;
    for (std::size_t i = t; i < all.size(); ++i) residual = residual + all[i].contribution;
    all.resize(t);
    out.blocks = std::move(all);
    out.residual = residual;
    return out;
}

}  // namespace

// Block sums below are plain sequential float sums from +0 in element order; they need
// not equal score_pair bit for bit.

Expected<Explanation> explain(const Engine& engine, std::span<const float> query, std::uint64_t idx,
                              std::uint64_t block_size, std::uint64_t top_blocks) {
    if (Status s = check_analysis_request(engine, query, {idx}, block_size, top_blocks); !s) return Error{s.error()};
    const float* q = query.data();
    const float* x = engine.row(idx);
    const bool l2 = engine.metric == format::Metric::Euclidean;
    Explanation out;
    const float total = score_pair(engine.metric, query, {x, query.size()});
    out.score_total = l2 ? -total : total;
    auto blocks = per_block(engine.dims, block_size, [&](std::uint64_t s, std::uint64_t e) {
        float acc = 0.0f;
        for (std::uint64_t i = s; i < e; ++i) {
            if (l2) {
                const float d = q[i] - x[i];
                acc = acc + d * d;
            } else {
                acc = acc + q[i] * x[i];
            }
        }
        return l2 ? -acc : acc;
    });
    out.breakdown = rank_and_cut(std::move(blocks), top_blocks);
    return out;
}

Expected<Comparison> compare(const Engine& engine, std::span<const float> query, std::uint64_t idx_a,
                             std::uint64_t idx_b, std::uint64_t block_size, std::uint64_t top_blocks) {
    if (Status s = check_analysis_request(engine, query, {idx_a, idx_b}, block_size, top_blocks); !s) return Error{s.error()};
    const float* q = query.data();
    const float* a = engine.row(idx_a);
    const float* b = engine.row(idx_b);
    const bool l2 = engine.metric == format::Metric::Euclidean;
    Comparison out;
    out.score_a = score_pair(engine.metric, query, {a, query.size()});
    out.score_b = score_pair(engine.metric, query, {b, query.size()});
    out.delta_score_space = l2 ? out.score_b - out.score_a : out.score_a - out.score_b;
    auto blocks = per_block(engine.dims, block_size, [&](std::uint64_t s, std::uint64_t e) {
        if (l2) {
            float sb = 0.0f, sa = 0.0f;
            for (std::uint64_t i = s; i < e; ++i) {
                const float db = q[i] - b[i];
                const float da = q[i] - a[i];
                sb = sb + db * db;
                sa = sa + da * da;
            }
            return sb - sa;
        }
        float acc = 0.0f;
        for (std::uint64_t i = s; i < e; ++i) acc = acc + (a[i] - b[i]) * q[i];
        return acc;
    });
    out.breakdown = rank_and_cut(std::move(blocks), top_blocks);
    return out;
}

}  // namespace zorvik

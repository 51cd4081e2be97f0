#pragma once
// The kernel scans' walk over the allowed rows: every allowed row of a range of ordinals
// scored with the per-row kernel and offered, with its row number, to a sink.
//
// Whole groups of four consecutive rows of a run are scored in place. The rows a run
// leaves over (runs of a filter are often a few rows long) are collected by address from
// run after run and scored four at a time as soon as four are held, while they are still
// cached. A row's sum never depends on the rows scored beside it, and the sinks keep the
// best hits whatever order they arrive in, so the answer is the one of scoring every
// allowed row alone, in row order.
#include <algorithm>
#include <cstdint>

#include "base/tuning.hpp"
#include "engine/index/engine.hpp"
#include "engine/scan/kernels.hpp"
#include "engine/scan/row_filter.hpp"
#include "engine/scan/scan_support.hpp"

namespace zorvik::scan {

template <class Sink>
void stream_allowed(const Engine& e, const float* query, const AllowedRows& allowed, RowRange ordinals, bool scalar,
                    Sink& sink) {
    constexpr std::size_t kGroup = 4;  // rows the kernel scores together
    const auto dims = static_cast<std::size_t>(e.dims);
    float scores[tuning::kScoreBatch];
    const float* left_rows[kGroup];
    std::uint64_t left_ids[kGroup];
    std::size_t left = 0;
    const auto score_left = [&] {
        score_rows_at(e.metric, query, dims, left_rows, left, scalar, scores);
        for (std::size_t i = 0; i < left; ++i) sink.offer(Hit{left_ids[i], scores[i]});
        left = 0;
    };
    allowed.runs(ordinals, [&](RowRange run) {
        const std::uint64_t whole = run.begin + (run.size() - run.size() % kGroup);
        for (std::uint64_t r = run.begin; r < whole;) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(tuning::kScoreBatch, whole - r));
            score_rows(e.metric, query, dims, e.row(r), n, scalar, scores);
            for (std::size_t i = 0; i < n; ++i) sink.offer(Hit{r + i, scores[i]});
            r += n;
        }
        for (std::uint64_t r = whole; r < run.end; ++r) {
            left_rows[left] = e.row(r);
            left_ids[left] = r;
            if (++left == kGroup) score_left();
        }
    });
    if (left > 0) score_left();
}

}  // namespace zorvik::scan

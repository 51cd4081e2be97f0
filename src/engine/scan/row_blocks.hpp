#pragma once
// Allowed rows laid out for matrix products: read in place where they lie in runs,
// otherwise copied into blocks, so that a product never reads a row outside the filter.
//
// A product may score a row differently depending on where the row sits in the call: the
// BLAS library scores full groups of rows with one kernel and the rows left over with
// another, and some kernels treat the rows of a group unlike each other. Where that must
// not show, callers ask for aligned groups: every call starts at a row number that is a
// multiple of the group and covers whole groups, and a copied row keeps its place in its
// group (the other places hold zeros). A row is then scored at the same place of a full
// group whichever rows around it are allowed and however the work is split.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/tuning.hpp"
#include "engine/index/engine.hpp"
#include "engine/scan/row_filter.hpp"

namespace zorvik {

// Row numbers of consecutive rows of a block: first, first + 1, ..., or listed one by one.
struct RowIds {
    std::uint64_t first = 0;
    const std::uint64_t* listed = nullptr;
    std::uint64_t operator[](std::size_t j) const { return listed ? listed[j] : first + j; }
};

struct RowBlock {
    const float* rows;            // `padded` rows of dims floats, row-major
    std::size_t padded;           // rows to score
    std::size_t n;                // rows that count: row j sits at place slot(j) of the block
    RowIds ids;                   // their row numbers
    const double* sq_norms;       // their squared norms
    const std::uint32_t* places;  // their places; nullptr: row j at place j

    std::size_t slot(std::size_t j) const { return places ? places[j] : j; }
};

// A worker's buffer of copied rows, kept across the ranges it lays out.
class RowGatherer {
public:
    // fn(block) over the allowed rows of `ordinals`, in no particular order, in aligned
    // groups of `group` rows (1: no alignment; copied rows are then packed). Whole groups
    // of a run of at least `in_place_min` rows, or of a range that is one run, are read in
    // place; every other row is copied, into blocks of at most kGatherFloats floats.
    template <class Fn>
    void blocks(const Engine& e, const AllowedRows& allowed, scan::RowRange ordinals, std::uint64_t group,
                std::uint64_t in_place_min, const Fn& fn) {
        const auto dims = static_cast<std::size_t>(e.dims);
        std::uint64_t cap = std::max<std::uint64_t>(tuning::kGatherFloats / e.dims, group);
        cap -= cap % group;
        std::size_t used = 0, held = 0;
        std::uint64_t open_group = UINT64_MAX;
        const auto flush = [&] {
            if (held > 0)
                fn(RowBlock{rows_.data(), used, held, RowIds{0, ids_.data()}, sq_norms_.data(),
                            group == 1 ? nullptr : places_.data()});
            used = held = 0;
            open_group = UINT64_MAX;
        };
        const auto copy = [&](std::uint64_t r) {
            if (r / group != open_group) {
                if (used + group > cap) flush();
                if (group > 1) std::fill(rows_.data() + used * dims, rows_.data() + (used + group) * dims, 0.0f);
                open_group = r / group;
                used += group;
            }
            const std::size_t place = used - group + static_cast<std::size_t>(r % group);
            std::copy(e.row(r), e.row(r) + dims, rows_.data() + place * dims);
            ids_[held] = r;
            sq_norms_[held] = e.row_sq_norm(r);
            places_[held] = static_cast<std::uint32_t>(place);
            ++held;
        };
        std::size_t runs = 0;
        allowed.runs(ordinals, [&](scan::RowRange) { ++runs; });
        allowed.runs(ordinals, [&](scan::RowRange run) {
            scan::RowRange body{(run.begin + group - 1) / group * group, run.end / group * group};
            if (body.begin >= body.end || (runs > 1 && run.size() < in_place_min)) body = {run.end, run.end};
            if (body.size() > 0)
                fn(RowBlock{e.row(body.begin), static_cast<std::size_t>(body.size()),
                            static_cast<std::size_t>(body.size()), RowIds{body.begin, nullptr},
                            e.row_sq_norms_table.data() + body.begin, nullptr});
            if (body.size() == run.size()) return;
            if (ids_.size() < cap) {
                rows_.resize(static_cast<std::size_t>(cap) * dims);
                ids_.resize(static_cast<std::size_t>(cap));
                sq_norms_.resize(static_cast<std::size_t>(cap));
                places_.resize(static_cast<std::size_t>(cap));
            }
            for (std::uint64_t r = run.begin; r < std::min(body.begin, run.end); ++r) copy(r);
            for (std::uint64_t r = body.end; r < run.end; ++r) copy(r);
        });
        flush();
    }

private:
    std::vector<float> rows_;
    std::vector<std::uint64_t> ids_;
    std::vector<double> sq_norms_;
    std::vector<std::uint32_t> places_;
};

}  // namespace zorvik

#pragma once
// The rows a search may score, and the one way every strategy visits them.
//
// A filter holds its allowed rows as sorted, disjoint, non-adjacent runs. Strategies
// split their work by allowed rows, numbered 0, 1, ... in row order ("ordinals"), not by
// raw rows, so pieces stay balanced however the allowed rows are spread; a piece visits
// the runs that cover its ordinals and never touches a row outside them.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "base/expected.hpp"
#include "engine/index/engine.hpp"
#include "engine/scan/scan_support.hpp"
#include "engine/scope.hpp"

namespace zorvik {

class RowFilter {
public:
    // From one flag per row (non-zero: allowed); refused unless there are exactly `rows`.
    static Expected<RowFilter> from_mask(std::span<const std::uint8_t> mask, std::uint64_t rows);
    // From row numbers in any order; refused when one is not below `rows` or one repeats.
    static Expected<RowFilter> from_rows(std::vector<std::uint64_t> numbers, std::uint64_t rows);

    std::uint64_t allowed() const { return before_.back(); }
    std::span<const scan::RowRange> runs() const { return runs_; }
    // Allowed rows before run i; one entry past the last run holds allowed().
    std::span<const std::uint64_t> before() const { return before_; }

private:
    void add(scan::RowRange run);

    std::vector<scan::RowRange> runs_;
    std::vector<std::uint64_t> before_{0};
};

// The rows one search visits: every row of the index, or the allowed rows of its filter.
class AllowedRows {
public:
    AllowedRows(const Engine& e, const Scope& scope) : rows_(e.rows), filter_(scope.filter) {}

    std::uint64_t count() const { return filter_ ? filter_->allowed() : rows_; }

    // fn(run) for every run of rows whose ordinals lie in `ordinals`, in row order.
    template <class Fn>
    void runs(scan::RowRange ordinals, Fn&& fn) const {
        if (ordinals.begin >= ordinals.end) return;
        if (filter_ == nullptr) {
            fn(ordinals);
            return;
        }
        const auto before = filter_->before();
        const auto all = filter_->runs();
        // The run holding ordinal `begin`: the last one with no more allowed rows before it.
        std::size_t i = static_cast<std::size_t>(std::upper_bound(before.begin(), before.end() - 1, ordinals.begin) -
                                                  before.begin()) - 1;
        for (; i < all.size() && before[i] < ordinals.end; ++i) {
            const std::uint64_t skip = ordinals.begin > before[i] ? ordinals.begin - before[i] : 0;
            const std::uint64_t take = std::min(all[i].size(), ordinals.end - before[i]);
            fn(scan::RowRange{all[i].begin + skip, all[i].begin + take});
        }
    }
    template <class Fn>
    void runs(Fn&& fn) const {
        runs(scan::RowRange{0, count()}, fn);
    }

    // The first k allowed rows, each scoring `zero`: the answer when every row scores alike.
    std::vector<Hit> first(std::uint64_t k, float zero) const;

private:
    std::uint64_t rows_;
    const RowFilter* filter_;
};

}  // namespace zorvik

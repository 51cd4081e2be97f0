#include "engine/scan/row_filter.hpp"

#include <cstring>
#include <new>

#include "base/memory_limit.hpp"
#include "base/text.hpp"
#include "engine/messages.hpp"

namespace zorvik {

void RowFilter::add(scan::RowRange run) {
    if (!runs_.empty() && runs_.back().end == run.begin) {
        runs_.back().end = run.end;
        before_.back() += run.size();
        return;
    }
    runs_.push_back(run);
    before_.push_back(before_.back() + run.size());
}

Expected<RowFilter> RowFilter::from_mask(std::span<const std::uint8_t> mask, std::uint64_t rows) {
    if (mask.size() != rows) return Error{text::fill(msg::kFilterMaskLength, {text::dec(mask.size()), text::dec(rows)})};
    RowFilter f;
    constexpr std::uint64_t kAllOnes = 0x0101010101010101u;
    std::uint64_t start = 0;
    bool open = false;
    // Eight flags at a time while they agree with the open state (masks come in long
    // stretches), one at a time where they change.
    for (std::uint64_t r = 0; r < rows;) {
        if (r + 8 <= rows) {
            std::uint64_t word;
            std::memcpy(&word, mask.data() + r, sizeof word);
            if (word == (open ? kAllOnes : 0)) {
                r += 8;
                continue;
            }
        }
        const bool allowed = mask[static_cast<std::size_t>(r)] != 0;
        if (allowed && !open) start = r;
        if (!allowed && open) f.add({start, r});
        open = allowed;
        ++r;
    }
    if (open) f.add({start, rows});
    return f;
}

Expected<RowFilter> RowFilter::from_rows(std::vector<std::uint64_t> numbers, std::uint64_t rows) {
    // Row lists mostly come sorted (from a mask's nonzero positions): checked in one pass.
    if (!std::is_sorted(numbers.begin(), numbers.end())) std::sort(numbers.begin(), numbers.end());
    if (!numbers.empty() && numbers.back() >= rows)
        return Error{text::fill(msg::kFilterRowOutOfRange, {text::dec(numbers.back()), text::dec(rows)})};
    const auto repeat = std::adjacent_find(numbers.begin(), numbers.end());
    if (repeat != numbers.end()) return Error{text::fill(msg::kFilterRowRepeated, {text::dec(*repeat)})};
    RowFilter f;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t j = i + 1;
        while (j < numbers.size() && numbers[j] == numbers[j - 1] + 1) ++j;
        f.add({numbers[i], numbers[j - 1] + 1});
        i = j;
    }
    return f;
}

std::vector<Hit> AllowedRows::first(std::uint64_t k, float zero) const {
    // A header may claim billions of empty rows: a result larger than the memory this
    // process may use fails as an allocation failure instead of being attempted.
    if (k > usable_memory_bytes() / sizeof(Hit)) throw std::bad_alloc();
    std::vector<Hit> hits;
    hits.reserve(static_cast<std::size_t>(k));
    runs({0, k}, [&](scan::RowRange run) {
        for (std::uint64_t r = run.begin; r < run.end; ++r) hits.push_back(Hit{r, zero});
    });
    return hits;
}

}  // namespace zorvik

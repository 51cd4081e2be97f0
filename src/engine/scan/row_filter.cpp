#include "engine/scan/row_filter.hpp"

#include <immintrin.h>

#include <bit>
#include <new>

#include "base/memory_limit.hpp"
#include "base/text.hpp"
#include "base/tuning.hpp"
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

namespace {

// One bit per flag of mask[0 .. 64): bit i set when flag i is non-zero.
std::uint64_t allowed_bits(const std::uint8_t* mask) {
    const __m128i zero = _mm_setzero_si128();
    std::uint64_t bits = 0;
    for (int part = 0; part < 4; ++part) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask + 16 * part));
        const auto zeros = static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)));
        bits |= (~zeros & 0xFFFFu) << (16 * part);
    }
    return bits;
}

}  // namespace

Expected<RowFilter> RowFilter::from_mask(std::span<const std::uint8_t> mask, std::uint64_t rows) {
    if (mask.size() != rows) return Error{text::fill(msg::kFilterMaskLength, {text::dec(mask.size()), text::dec(rows)})};
    RowFilter f;
    std::uint64_t start = 0;
    bool open = false;
    // A run opens or closes wherever a flag differs from the one before it: 64 flags become
    // 64 bits, and only their changes cost anything, so a mask of short runs is as quick
    // as one of long stretches.
    const auto change_at = [&](std::uint64_t r) {
        if (!open) start = r;
        else f.add({start, r});
        open = !open;
    };
    std::uint64_t r = 0;
    for (; r + 64 <= rows; r += 64) {
        const std::uint64_t bits = allowed_bits(mask.data() + r);
        for (std::uint64_t changes = bits ^ ((bits << 1) | (open ? 1u : 0u)); changes != 0; changes &= changes - 1)
            change_at(r + static_cast<std::uint64_t>(std::countr_zero(changes)));
    }
    for (; r < rows; ++r)
        if ((mask[static_cast<std::size_t>(r)] != 0) != open) change_at(r);
    if (open) f.add({start, rows});
    return f;
}

Expected<RowFilter> RowFilter::from_rows(std::span<const std::uint64_t> numbers, std::uint64_t rows) {
    // Row lists mostly come sorted (from a mask's nonzero positions): checked in one pass
    // and read in place. Others are sorted, or, when they are long for the index, marked
    // in a mask of flags, which costs one pass over the rows instead of a sort.
    if (!std::is_sorted(numbers.begin(), numbers.end())) {
        const auto top = *std::max_element(numbers.begin(), numbers.end());
        if (top >= rows) return Error{text::fill(msg::kFilterRowOutOfRange, {text::dec(top), text::dec(rows)})};
        if (numbers.size() < rows / tuning::kFilterSortShare) {
            std::vector<std::uint64_t> sorted(numbers.begin(), numbers.end());
            std::sort(sorted.begin(), sorted.end());
            return from_sorted(sorted, rows);
        }
        // 1: listed, 2: listed again; the smallest repeated row is named, as after a sort.
        std::vector<std::uint8_t> flags(static_cast<std::size_t>(rows), 0);
        bool repeated = false;
        for (const std::uint64_t r : numbers) {
            std::uint8_t& flag = flags[static_cast<std::size_t>(r)];
            repeated |= flag != 0;
            flag = flag != 0 ? 2 : 1;
        }
        if (repeated) {
            const auto at = static_cast<std::uint64_t>(std::find(flags.begin(), flags.end(), 2) - flags.begin());
            return Error{text::fill(msg::kFilterRowRepeated, {text::dec(at)})};
        }
        return from_mask(flags, rows);
    }
    return from_sorted(numbers, rows);
}

Expected<RowFilter> RowFilter::from_sorted(std::span<const std::uint64_t> numbers, std::uint64_t rows) {
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

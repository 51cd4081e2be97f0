#pragma once
// Picking the entry of a strategy table that a setting's text names.
#include <array>
#include <cstddef>
#include <string_view>

namespace zorvik {

// The setting values that select one table entry (one or two; an empty slot names nothing).
struct SettingValues {
    std::string_view first;
    std::string_view second;

    bool holds(std::string_view value) const { return !value.empty() && (value == first || value == second); }
};

// The entry whose `values` hold `value` (exact, case-sensitive), or nullptr.
template <class Entry, std::size_t N>
const Entry* entry_named(const std::array<Entry, N>& table, std::string_view value) {
    for (const Entry& entry : table)
        if (entry.values.holds(value)) return &entry;
    return nullptr;
}

}  // namespace zorvik

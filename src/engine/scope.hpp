#pragma once
// What one search runs under besides its query and k: the settings read for it before it
// started, and the rows it may score. Passed down from the entry points to every strategy.
#include "base/settings.hpp"

namespace zorvik {

class RowFilter;

struct Scope {
    settings::SearchSettings settings;
    const RowFilter* filter = nullptr;  // the rows a search may score; nullptr: every row
};

}  // namespace zorvik

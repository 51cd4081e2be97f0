#pragma once
// What one search runs under besides its query and k: the settings read for it before it
// started. Passed down from the entry points to every strategy.
#include "base/settings.hpp"

namespace zorvik {

struct Scope {
    settings::SearchSettings settings;
};

}  // namespace zorvik

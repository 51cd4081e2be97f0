#pragma once
// Index writing: the header and the rows (normalised when asked) go into a temporary
// file, which is flushed and only then moved over the final name.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/expected.hpp"
#include "prepare/contents.hpp"
#include "prepare/placement.hpp"
#include "base/rows.hpp"
#include "base/temp_file.hpp"

namespace zorvik::prepare {

// A new index on its way: where it goes, and its complete contents in a temporary
// file that is neither flushed nor under the final name yet.
struct PendingIndex {
    Placement place;
    TempFile file;
};

// Everything up to the filled temporary file: directory choice and creation, removal of
// a stale temporary file of older versions, the temporary file itself (unnamed where
// the system allows, so that it appears only once complete), its length, the header
// and the rows. Reads `rows`: the caller keeps them unchanged meanwhile.
Expected<PendingIndex> begin_index(const std::optional<std::string>& output_dir, const std::string& stem,
                                   const std::string& level, const RowChunks& rows, const IndexShape& shape);

// Flushes the file, then moves it over the final name and returns that path. An
// earlier index of that name stays untouched until the complete, flushed new file
// replaces it; on failure nothing is left behind except directories created.
Expected<std::string> finish_index(PendingIndex pending);

}  // namespace zorvik::prepare

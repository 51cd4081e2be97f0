#pragma once
// Index writing: the header and the rows (normalised when asked) go into a temporary
// file, which is flushed and only then moved over the final name.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/buffer.hpp"
#include "engine/expected.hpp"
#include "format/header.hpp"
#include "prepare/rows.hpp"
#include "prepare/temp_file.hpp"

namespace zorvik::prepare {

struct IndexShape {
    std::uint64_t dims = 0;
    std::uint64_t rows = 0;
    format::Metric metric = format::Metric::Cosine;
    bool normalize = false;
};

// The vectors on their way into an index. Made while the caller's matrix can still be
// read: when the index directory exists already they go at once into an unnamed file
// there (the only copy made); otherwise a private copy waits for write_index.
struct PendingIndex {
    TempFile file;     // the complete new index, unnamed, when staged
    FloatBuffer copy;  // otherwise the values, logical row order
    bool staged() const { return file.is_open(); }
};

// Throws std::bad_alloc when a needed private copy cannot be had.
PendingIndex stage_index(const std::optional<std::string>& output_dir, const RowSource& values,
                         const IndexShape& shape);

// Places the index as "{stem}_{level}.bin" and returns its path. An earlier index of
// that name stays untouched until the complete, flushed new file replaces it; on
// failure nothing of this call is left behind except directories it created.
Expected<std::string> write_index(const std::optional<std::string>& output_dir, const std::string& stem,
                                  const std::string& level, PendingIndex pending, const IndexShape& shape);

// Rows written (and handed to the worker pool) at once.
std::uint64_t chunk_rows(std::uint64_t dims);

// out = x / |x| in 32-bit arithmetic; zeros when the sum of squares is zero or the
// norm is not finite. `x` and `out` do not overlap.
void normalize_row(const float* x, float* out, std::size_t dims);

}  // namespace zorvik::prepare

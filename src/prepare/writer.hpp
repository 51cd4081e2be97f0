#pragma once
// Index writing and placement: directory choice, a private temporary file filled
// through a writable mapping, flush, then an atomic rename over the final name.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/buffer.hpp"
#include "engine/expected.hpp"
#include "engine/mapping.hpp"
#include "format/header.hpp"

namespace zorvik::prepare {

// Writes `values` (rows x dims floats, row-major; consumed) as an index named
// "{stem}_{level}.bin" and returns its path. An earlier index of that name stays
// untouched until the complete new file replaces it; on failure nothing of this call
// is left behind except directories it created.
Expected<std::string> write_index(const std::optional<std::string>& output_dir, const std::string& stem,
                                  const std::string& level, FloatBuffer& values,
                                  std::uint64_t dims, std::uint64_t rows, format::Metric metric,
                                  bool normalize);

// "$HOME/.zorvik/indexes", or the password database's home directory when HOME is
// unset or empty; nullopt when neither gives one.
std::optional<std::string> default_index_dir();

// Rows handed to the worker pool at once.
std::uint64_t chunk_rows(std::uint64_t dims);

// Copies (or normalises) the rows into the float area that follows the header,
// giving each chunk's input memory back once the chunk is written. With `writeback_fd` (the mapped file), the disk write of each finished chunk starts
// at once, so the final flush finds little left to do.
void write_vectors(unsigned char* mapping, FloatBuffer& values, std::uint64_t dims,
                   std::uint64_t rows, bool normalize, int writeback_fd = -1);

// out = x / |x| in 32-bit arithmetic; zeros when the sum of squares is zero or the
// norm is not finite. `x` and `out` do not overlap.
void normalize_row(const float* x, float* out, std::size_t dims);

// Flushes and removes the mapping, then moves the temporary file to its final name.
Status finalize_index_file(Mapping& mapping, const std::string& temp_path, const std::string& final_path);

}  // namespace zorvik::prepare

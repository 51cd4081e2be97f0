#pragma once
// The immutable record of an opened index. Shared by reference counting
// (std::shared_ptr<const Engine>); every query only reads it.
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "base/mapping.hpp"
#include "engine/sketch/row_sketch.hpp"
#include "engine/index/dim_blocks.hpp"
#include "base/table.hpp"
#include "format/header.hpp"

namespace zorvik {

using Digest = std::array<unsigned char, 32>;

// Bytes together with a share in whatever owns them.
using SharedBytes = std::shared_ptr<const unsigned char>;

struct Engine {
    std::uint64_t rows = 0;
    std::uint64_t dims = 0;
    format::Metric metric = format::Metric::Cosine;
    const float* vectors = nullptr;  // rows x dims, row-major, inside the mapping

    // Per-row tables; left empty when dims == 0 (every entry would be -0.0), so a
    // header claiming billions of empty rows costs no memory. Read through the accessors.
    Table<double> row_sq_norms_table;
    Table<float> row_norms_table;

    // Dimension blocks are derived from block_width and dims, never stored one by one:
    // a header may claim billions of dimensions.
    std::uint64_t block_width = 16;

    // rows x num_blocks() sums of squares, row by row; empty except for large
    // non-euclidean indexes.
    Table<double> row_block_sq_norms;

    // The 8-bit sketch the certified scan skips rows with, built on first need.
    SketchSlot sketch;

    std::string index_path;  // canonical absolute path, or the path as given
    Digest index_hash{};
    std::string sketch_dir;  // where the sketch is saved and looked for; "" for nowhere

    Mapping mapping;  // declared last: unmapped before the tables are freed

    const float* row(std::uint64_t r) const { return vectors + r * dims; }
    double row_sq_norm(std::uint64_t r) const { return dims == 0 ? -0.0 : row_sq_norms_table[r]; }
    float row_norm(std::uint64_t r) const { return dims == 0 ? -0.0f : row_norms_table[r]; }

    std::uint64_t num_blocks() const { return block_count(dims, block_width); }
    DimBlock block(std::uint64_t b) const { return dim_block(b, block_width, dims); }
};

using EngineHandle = std::shared_ptr<const Engine>;

}  // namespace zorvik

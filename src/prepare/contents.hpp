#pragma once
// The header and rows of a new index, written into its file chunk by chunk (rows
// normalised on the worker pool when asked). Large files are made durable behind the
// writer, so the flush that follows finds little left to do.
#include <cstdint>
#include <functional>
#include <vector>

#include "base/expected.hpp"
#include "base/rows.hpp"
#include "format/header.hpp"

namespace zorvik::prepare {

struct IndexShape {
    std::uint64_t dims = 0;
    std::uint64_t rows = 0;
    format::Metric metric = format::Metric::Cosine;
    bool normalize = false;
};

// Rows [first, first + count) of a new index in row order: a pointer straight into their
// source, or into `scratch` once filled with them.
using RowChunks = std::function<const float*(std::uint64_t first, std::uint64_t count, std::vector<float>& scratch)>;

// The rows of the caller's matrix `values`, `dims` floats each.
RowChunks chunks_of(const RowSource& values, std::uint64_t dims);

// Writes the whole index into `fd`, a file already of its size; the message of a failed
// write or of a failed early flush. Reads `rows`: the caller keeps them unchanged
// meanwhile.
Status write_contents(int fd, const RowChunks& rows, const IndexShape& shape);

}  // namespace zorvik::prepare

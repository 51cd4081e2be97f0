#pragma once
// The header and rows of a new index, written into its file chunk by chunk (rows
// normalised on the worker pool when asked). Large files are made durable behind the
// writer, so the flush that follows finds little left to do.
#include <cstdint>

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

// Writes the whole index into `fd`, a file already of its size; the message of a failed
// write or of a failed early flush. Reads `values`: the caller keeps them unchanged
// meanwhile.
Status write_contents(int fd, const RowSource& values, const IndexShape& shape);

}  // namespace zorvik::prepare

#pragma once
// The rows of existing index files, each file's through a list of its row numbers (or
// all of them), one file after another: the source of an index made from the rows of
// others, read straight from their files, with no copy of them all in memory.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/expected.hpp"
#include "base/mapping.hpp"
#include "format/header.hpp"
#include "prepare/contents.hpp"
#include "prepare/prepare.hpp"

namespace zorvik::prepare {

struct StoredPart {
    std::string path;
    std::optional<std::vector<std::uint64_t>> rows;  // row numbers in the file; none: every row
};

class StoredRows {
public:
    // Maps every file and checks it: a whole index file of the dims and metric of the
    // first, every listed row below its row count. No parts: no rows, of 0 dims.
    static Expected<StoredRows> open(std::vector<StoredPart> parts);

    std::uint64_t dims() const { return dims_; }
    std::uint64_t rows() const { return ends_.empty() ? 0 : ends_.back(); }
    format::Metric metric() const { return metric_; }

    // The rows in order, each chunk gathered on the worker pool. The files stay mapped
    // while this lives.
    RowChunks chunks() const;

private:
    struct File {
        Mapping map;
        std::uint64_t stored_rows = 0;
        std::optional<std::vector<std::uint64_t>> picked;

        std::uint64_t count() const { return picked ? picked->size() : stored_rows; }
        // The first float of the i-th row this part contributes.
        const float* row(std::uint64_t i, std::uint64_t dims) const;
    };

    // Rows [first, first + count) into `out`.
    void gather(std::uint64_t first, std::uint64_t count, float* out) const;

    std::vector<File> files_;
    std::vector<std::uint64_t> ends_;  // rows of the parts up to and including each
    std::uint64_t dims_ = 0;
    format::Metric metric_ = format::Metric::Dot;
};

// Writes the rows of `parts` as they are stored into a new index of their dims and
// metric, named and placed as `request` says (its counts and metric are filled here);
// its final path. Runs no Python: the caller may let the interpreter go meanwhile.
Expected<std::string> write_index_of_rows(PrepareRequest request, std::vector<StoredPart> parts);

}  // namespace zorvik::prepare

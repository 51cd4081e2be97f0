#include "prepare/contents.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "base/file_io.hpp"
#include "base/floats.hpp"
#include "base/pool.hpp"
#include "base/text.hpp"
#include "base/tuning.hpp"
#include "prepare/flush_behind.hpp"
#include "prepare/messages.hpp"

namespace zorvik::prepare {

namespace {

// Rows written (and handed to the worker pool) at once.
std::uint64_t chunk_rows(std::uint64_t dims) {
    using namespace tuning;
    if (dims < kWriteWideDims) return kWriteChunkRows;
    return std::max<std::uint64_t>(kWriteChunkRows / (dims / kWriteDimsStep), kWriteMinChunkRows);
}

// out = x / |x| in 32-bit arithmetic; zeros when the sum of squares is zero or the
// norm is not finite. `x` and `out` do not overlap.
void normalize_row(const float* x, float* out, std::size_t dims) {
    // Sum of squares in 32-bit floats: per group of eight, two left-to-right sums of
    // four squares added together, then added to s; the tail goes in element by element.
    float s = 0.0f;
    std::size_t i = 0;
    for (; i + 8 <= dims; i += 8) {
        const float a = ((x[i] * x[i] + x[i + 1] * x[i + 1]) + x[i + 2] * x[i + 2]) + x[i + 3] * x[i + 3];
        const float b = ((x[i + 4] * x[i + 4] + x[i + 5] * x[i + 5]) + x[i + 6] * x[i + 6]) + x[i + 7] * x[i + 7];
        s = s + (a + b);
    }
    for (; i < dims; ++i) s = s + x[i] * x[i];
    const float n = std::sqrt(s);
    if (s == 0.0f || !is_finite(n)) {
        std::fill(out, out + dims, 0.0f);
        return;
    }
    const float r = 1.0f / n;
    for (std::size_t j = 0; j < dims; ++j) out[j] = x[j] * r;
}

}  // namespace

RowChunks chunks_of(const RowSource& values, std::uint64_t dims) {
    return [&values, dims](std::uint64_t first, std::uint64_t count, std::vector<float>& scratch) {
        return values.range(first * dims, (first + count) * dims, scratch);
    };
}

Status write_contents(int fd, const RowChunks& rows_of, const IndexShape& shape) {
    const std::uint64_t dims = shape.dims;
    const std::uint64_t rows = shape.rows;
    unsigned char header[format::kHeaderBytes];
    format::write_header(header, static_cast<std::uint32_t>(dims), static_cast<std::uint32_t>(rows), shape.metric);
    int err = write_all(fd, header, sizeof header, 0);

    const std::uint64_t chunk = std::min(rows, chunk_rows(dims));
    const std::uint64_t rows_per_task = std::max<std::uint64_t>(1, tuning::kWriteTaskFloats / dims);
    FlushBehind flush(fd, format::kHeaderBytes + rows * dims * sizeof(float));
    std::vector<float> gathered;    // a chunk of rows gathered from their source
    std::vector<float> normalized;  // a chunk's normalised rows
    for (std::uint64_t first = 0; first < rows && err == 0; first += chunk) {
        const std::uint64_t count = std::min(chunk, rows - first);
        const std::uint64_t begin = first * dims;
        const std::uint64_t end = begin + count * dims;
        const float* src = rows_of(first, count, gathered);
        if (shape.normalize) {
            normalized.resize(end - begin);
            float* dst = normalized.data();
            const std::uint64_t tasks = (count + rows_per_task - 1) / rows_per_task;
            pool::parallel_for(tasks, [&](std::size_t t) {
                const std::uint64_t from = t * rows_per_task;
                const std::uint64_t to = std::min(count, from + rows_per_task);
                for (std::uint64_t r = from; r < to; ++r) normalize_row(src + r * dims, dst + r * dims, dims);
            });
            src = dst;
        }
        const std::uint64_t offset = format::kHeaderBytes + begin * sizeof(float);
        const std::uint64_t bytes = (end - begin) * sizeof(float);
        err = write_all(fd, src, bytes, offset);
        flush.written(offset + bytes);
    }
    // A write that fails leaves the data short of the disk, as a failed flush would;
    // the message says it was the write.
    if (err != 0)
        return Error{text::fill(msg::kFlushFailed, {text::fill(msg::kWriteFailedCause, {text::os_error(err)})})};
    if (const int flush_err = flush.finish(); flush_err != 0)
        return Error{text::fill(msg::kFlushFailed, {text::os_error(flush_err)})};
    return {};
}

}  // namespace zorvik::prepare

#include "prepare/writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <vector>

#include "base/floats.hpp"
#include "base/pool.hpp"
#include "base/text.hpp"
#include "base/tuning.hpp"
#include "prepare/messages.hpp"
#include "prepare/placement.hpp"

namespace zorvik::prepare {

namespace {

// Largest single write the system performs in one call.
constexpr std::size_t kMaxWrite = 0x7ffff000;

// All `n` bytes at `offset`; 0 or errno.
int write_all(int fd, const void* data, std::size_t n, std::uint64_t offset) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, std::min(n, kMaxWrite), static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return errno;
        if (w == 0) return EIO;
        p += w;
        n -= static_cast<std::size_t>(w);
        offset += static_cast<std::uint64_t>(w);
    }
    return 0;
}

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

// Header, then the rows chunk by chunk: a chunk is normalised on the worker pool when
// asked (done before the next one starts), then written. 0 or the errno of a failed write.
int write_contents(int fd, const RowSource& values, const IndexShape& shape) {
    const std::uint64_t dims = shape.dims;
    const std::uint64_t rows = shape.rows;
    unsigned char header[format::kHeaderBytes];
    format::write_header(header, static_cast<std::uint32_t>(dims), static_cast<std::uint32_t>(rows), shape.metric);
    if (const int err = write_all(fd, header, sizeof header, 0); err != 0) return err;

    const std::uint64_t chunk = std::min(rows, chunk_rows(dims));
    const std::uint64_t rows_per_task = std::max<std::uint64_t>(1, tuning::kNormalizeTaskFloats / dims);
    std::vector<float> gathered;    // a chunk of a column-major matrix in row order
    std::vector<float> normalized;  // a chunk's normalised rows
    for (std::uint64_t first = 0; first < rows; first += chunk) {
        const std::uint64_t count = std::min(chunk, rows - first);
        const std::uint64_t begin = first * dims;
        const std::uint64_t end = begin + count * dims;
        const float* src = values.range(begin, end, gathered);
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
        if (const int err = write_all(fd, src, bytes, offset); err != 0) return err;
    }
    return 0;
}

// Unnamed files are named at the end, straight from the descriptor where the process
// may, else through /proc. Only /proc is certain to work, so without it they are not
// used: the named route and the removal of orphaned files cover that case.
bool unnamed_files_usable() {
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

// The temporary file: unnamed where the system allows, else created exclusively under
// a name of its own. 0 or errno.
int create_temp_file(TempFile& file, const Placement& p) {
    if (unnamed_files_usable() && file.create_unnamed(p.parent.empty() ? "." : p.parent) == 0) return 0;
    return file.create_named(p.dir, p.base, p.final_name);
}

// Removes a temporary file of an older run; a file that vanished meanwhile is gone anyway.
Status remove_stale_temp(const std::string& path) {
    if (!exists(path)) return {};
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return {};
    return Error{text::fill(msg::kRemoveTempFailed, {text::os_error(errno)})};
}

// Makes the rename itself durable. Best effort: the index is complete and in place.
void sync_directory(const std::string& dir) {
    FileDescriptor d(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.valid()) ::fsync(d.get());
}

}  // namespace

Expected<PendingIndex> begin_index(const std::optional<std::string>& output_dir, const std::string& stem,
                                   const std::string& level, const RowSource& values, const IndexShape& shape) {
    Expected<Placement> placed = place_index(output_dir, stem, level);
    if (!placed) return Error{placed.error()};
    PendingIndex pending{std::move(placed.value()), TempFile()};
    const Placement& p = pending.place;

    // Older versions wrote every preparation of this name through one shared ".tmp";
    // a leftover of such a run is cleared first.
    if (Status s = remove_stale_temp(join(p.dir, p.base + ".tmp")); !s) return Error{s.error()};
    // Files of runs killed before their rename would otherwise stay forever.
    remove_orphaned_temp_files(p.dir, p.base, p.final_name);

    TempFile& file = pending.file;
    if (const int err = create_temp_file(file, p); err != 0)
        return Error{text::fill(msg::kCreateFileFailed, {file.path(), text::os_error(err)})};
    const auto length = static_cast<std::uint64_t>(format::expected_file_size(shape.rows, shape.dims));
    if (const int err = file.reserve(length); err != 0)
        return Error{text::fill(msg::kSetLengthFailed, {text::os_error(err)})};
    // A write that fails leaves the data short of the disk, as a failed flush would;
    // the message says it was the write.
    if (const int err = write_contents(file.fd(), values, shape); err != 0)
        return Error{text::fill(msg::kFlushFailed, {text::fill(msg::kWriteFailedCause, {text::os_error(err)})})};
    return pending;
}

Expected<std::string> finish_index(PendingIndex pending) {
    TempFile& file = pending.file;
    const Placement& p = pending.place;
    if (::fdatasync(file.fd()) != 0) return Error{text::fill(msg::kFlushFailed, {text::os_error(errno)})};
    struct stat st;
    if (::fstat(file.fd(), &st) != 0) return Error{text::fill(msg::kTempMetadataFailed, {text::os_error(errno)})};
    if (const int err = file.give_name(p.dir, p.base, p.final_name); err != 0)
        return Error{text::fill(msg::kCreateFileFailed, {file.path(), text::os_error(err)})};
    if (::rename(file.path().c_str(), p.final_path.c_str()) != 0)
        return Error{text::fill(msg::kMoveFailed, {text::os_error(errno)})};
    file.keep();
    sync_directory(p.parent);
    return p.final_path;
}

}  // namespace zorvik::prepare

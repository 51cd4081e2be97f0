#include "prepare/stored_rows.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/pool.hpp"
#include "base/text.hpp"
#include "base/tuning.hpp"
#include "prepare/messages.hpp"
#include "prepare/writer.hpp"

namespace zorvik::prepare {

namespace {

// The whole file, mapped read-only; an error when it cannot be, or is no index file.
Expected<Mapping> map_index(const std::string& path) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return Error{text::fill(msg::kOpenIndexFailed, {path, text::os_error(errno)})};
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Error{text::fill(msg::kOpenIndexFailed, {path, text::os_error(errno)})};
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (!S_ISREG(st.st_mode) || size < format::kHeaderBytes) return Error{text::fill(msg::kNotAnIndex, {path})};
    void* at = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (at == MAP_FAILED) return Error{text::fill(msg::kOpenIndexFailed, {path, text::os_error(errno)})};
    Mapping map(at, size);
    // Nearly every row is read, in order: the kernel reads the file ahead in large requests
    // (a merge faulting in a file the page cache had dropped page by page read 0.7 GB/s).
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_WILLNEED);
    const format::IndexHeader h = format::read_header(map.data());
    if (!format::metric_from_id(h.metric) || format::expected_file_size(h.rows, h.dims) != size)
        return Error{text::fill(msg::kNotAnIndex, {path})};
    return map;
}

}  // namespace

Expected<StoredRows> StoredRows::open(std::vector<StoredPart> parts) {
    StoredRows out;
    std::uint64_t total = 0;
    for (StoredPart& part : parts) {
        Expected<Mapping> map = map_index(part.path);
        if (!map) return Error{map.error()};
        const format::IndexHeader h = format::read_header(map.value().data());
        const format::Metric metric = *format::metric_from_id(h.metric);
        if (out.files_.empty()) {
            out.dims_ = h.dims;
            out.metric_ = metric;
        } else if (h.dims != out.dims_ || metric != out.metric_) {
            return Error{text::fill(msg::kIndexesDiffer, {part.path})};
        }
        if (part.rows)
            for (const std::uint64_t r : *part.rows)
                if (r >= h.rows)
                    return Error{text::fill(msg::kRowOutOfRange, {text::dec(r), text::dec(std::uint64_t{h.rows}), part.path})};
        File file{std::move(map.value()), h.rows, std::move(part.rows)};
        total += file.count();
        out.files_.push_back(std::move(file));
        out.ends_.push_back(total);
    }
    return out;
}

const float* StoredRows::File::row(std::uint64_t i, std::uint64_t dims) const {
    const std::uint64_t stored = picked ? (*picked)[i] : i;
    return reinterpret_cast<const float*>(map.data() + format::kHeaderBytes) + stored * dims;
}

void StoredRows::gather(std::uint64_t first, std::uint64_t count, float* out) const {
    // The part holding row `first`, then on through the parts in order.
    auto part = static_cast<std::size_t>(std::upper_bound(ends_.begin(), ends_.end(), first) - ends_.begin());
    std::uint64_t i = first - (part == 0 ? 0 : ends_[part - 1]);
    for (std::uint64_t n = 0; n < count; ++n, ++i) {
        while (i == files_[part].count()) {
            ++part;
            i = 0;
        }
        std::memcpy(out + n * dims_, files_[part].row(i, dims_), dims_ * sizeof(float));
    }
}

RowChunks StoredRows::chunks() const {
    return [this](std::uint64_t first, std::uint64_t count, std::vector<float>& scratch) {
        scratch.resize(count * dims_);
        const std::uint64_t per_task = std::max<std::uint64_t>(1, tuning::kWriteTaskFloats / dims_);
        pool::parallel_for((count + per_task - 1) / per_task, [&](std::size_t t) {
            const std::uint64_t from = t * per_task;
            gather(first + from, std::min(per_task, count - from), scratch.data() + from * dims_);
        });
        return static_cast<const float*>(scratch.data());
    };
}

Expected<std::string> write_index_of_rows(PrepareRequest request, std::vector<StoredPart> parts) {
    Expected<StoredRows> stored = StoredRows::open(std::move(parts));
    if (!stored) return Error{stored.error()};
    const StoredRows& rows = stored.value();
    request.dims = rows.dims();
    request.rows = rows.rows();
    request.metric = rows.metric();
    request.normalize = false;
    request.stem = sanitize_base_name(request.base_name);
    if (Status s = check_copy_request(request); !s) return Error{s.error()};
    // The rows go in as stored: a cosine file's are unit rows already.
    const IndexShape shape{request.dims, request.rows, request.metric, false};
    Expected<PendingIndex> pending = begin_index(request.output_dir, request.stem, request.level, rows.chunks(), shape);
    if (!pending) return Error{pending.error()};
    return finish_index(std::move(pending.value()));
}

}  // namespace zorvik::prepare

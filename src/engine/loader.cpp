#include "engine/loader.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "engine/messages.hpp"
#include "engine/text.hpp"

namespace zorvik {

namespace {

// Canonical absolute path, or the path unchanged when it cannot be resolved.
std::string resolve_path(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

// Sum of squares of n floats in 64-bit, from -0.0, strictly in element order.
inline double sq_sum(const float* x, std::uint64_t n) {
    double s = -0.0;
    for (std::uint64_t t = 0; t < n; ++t) s = s + static_cast<double>(x[t]) * static_cast<double>(x[t]);
    return s;
}

}  // namespace

void compute_row_norms(Engine& e) {
    if (e.dims == 0) return;  // every entry is -0.0; the accessors answer without a table
    e.row_sq_norms_table.resize(e.rows);
    e.row_norms_table.resize(e.rows);
    const std::uint64_t d = e.dims;
    std::uint64_t r = 0;
    // Four rows at a time: four independent chains, each still summed in element order.
    for (; r + 4 <= e.rows; r += 4) {
        const float* x0 = e.row(r);
        const float* x1 = x0 + d;
        const float* x2 = x1 + d;
        const float* x3 = x2 + d;
        double s0 = -0.0, s1 = -0.0, s2 = -0.0, s3 = -0.0;
        for (std::uint64_t t = 0; t < d; ++t) {
            s0 = s0 + static_cast<double>(x0[t]) * static_cast<double>(x0[t]);
            s1 = s1 + static_cast<double>(x1[t]) * static_cast<double>(x1[t]);
            s2 = s2 + static_cast<double>(x2[t]) * static_cast<double>(x2[t]);
            s3 = s3 + static_cast<double>(x3[t]) * static_cast<double>(x3[t]);
        }
        e.row_sq_norms_table[r] = s0;
        e.row_sq_norms_table[r + 1] = s1;
        e.row_sq_norms_table[r + 2] = s2;
        e.row_sq_norms_table[r + 3] = s3;
    }
    for (; r < e.rows; ++r) e.row_sq_norms_table[r] = sq_sum(e.row(r), d);
    for (std::uint64_t i = 0; i < e.rows; ++i)
        e.row_norms_table[i] = static_cast<float>(std::sqrt(e.row_sq_norms_table[i]));
}

std::uint64_t block_width_for(std::uint64_t rows, std::uint64_t dims) {
    if (rows >= 250000) return dims < 768 ? 32 : 64;
    return dims < 256 ? 16 : 32;
}

void compute_row_block_norms(Engine& e) {
    if (e.metric == format::Metric::Euclidean || e.rows < 10000 || e.dims < 64) return;
    const std::uint64_t nb = e.num_blocks();
    e.row_block_sq_norms.resize(e.rows * nb);
    for (std::uint64_t r = 0; r < e.rows; ++r) {
        const float* x = e.row(r);
        double* out = e.row_block_sq_norms.data() + r * nb;
        for (std::uint64_t b = 0; b < nb; ++b) {
            const DimBlock blk = e.block(b);
            out[b] = sq_sum(x + blk.start, blk.end - blk.start);
        }
    }
    e.has_row_block_sq_norms = true;
}

Expected<EngineHandle> open_index(const std::string& path, const LoadHooks& hooks) {
    // A path with an embedded NUL cannot name a file.
    if (path.find('\0') != std::string::npos)
        return Error{text::fill(msg::kOpenFailed, {path, text::os_error(EINVAL)})};

    // Never blocks: a FIFO or a device that would wait for a peer opens at once and is
    // then refused by the mapping step, as a directory is.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return Error{text::fill(msg::kOpenFailed, {path, text::os_error(errno)})};

    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Error{text::fill(msg::kMmapFailed, {text::os_error(errno)})};
    const auto file_size = static_cast<std::uint64_t>(st.st_size);
    if (file_size > static_cast<std::uint64_t>(LLONG_MAX))
        return Error{text::fill(msg::kMmapFailed, {msg::kMapLengthOverflow})};

    // A 0-byte file is mapped with length 1 (never read: the size check below fails first).
    const std::size_t map_len = file_size == 0 ? 1 : static_cast<std::size_t>(file_size);
    void* addr = ::mmap(nullptr, map_len, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (addr == MAP_FAILED) return Error{text::fill(msg::kMmapFailed, {text::os_error(errno)})};

    auto engine = std::make_shared<Engine>();
    engine->mapping = Mapping(addr, map_len);

    if (hooks.after_map) hooks.after_map();

    if (file_size < format::kHeaderBytes)
        return Error{text::fill(msg::kFileTooSmall, {text::dec(std::uint64_t{format::kHeaderBytes}),
                                                      text::dec(file_size)})};
    const format::IndexHeader h = format::read_header(engine->mapping.data());
    const auto metric = format::metric_from_id(h.metric);
    if (!metric) return Error{text::fill(msg::kUnknownMetricId, {text::dec(std::uint64_t{h.metric})})};
    const format::u128 expected = format::expected_file_size(h.rows, h.dims);
    if (static_cast<format::u128>(file_size) < expected)
        return Error{text::fill(msg::kFileTooSmall, {text::dec(expected), text::dec(file_size)})};

    Engine& e = *engine;
    e.rows = h.rows;
    e.dims = h.dims;
    e.metric = *metric;
    e.vectors = reinterpret_cast<const float*>(e.mapping.data() + format::kHeaderBytes);
    compute_row_norms(e);
    e.block_width = block_width_for(e.rows, e.dims);
    compute_row_block_norms(e);
    if (hooks.digest) e.index_hash = hooks.digest(e.mapping.data(), static_cast<std::size_t>(file_size));
    e.index_path = resolve_path(path);
    return EngineHandle(std::move(engine));
}

}  // namespace zorvik

#include "engine/index/loader.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

#include "engine/messages.hpp"
#include "engine/index/norms.hpp"
#include "base/settings.hpp"
#include "base/text.hpp"
#include "base/tuning.hpp"

namespace zorvik {

namespace {

// Canonical absolute path, or the path unchanged when it cannot be resolved.
std::string resolve_path(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

// Width of the dimension blocks: a pure function of the header.
std::uint64_t block_width_for(std::uint64_t rows, std::uint64_t dims) {
    using namespace tuning;
    if (rows >= kWideBlocksMinRows) return dims < kWideDims ? kBlockWidthMedium : kBlockWidthWide;
    return dims < kNarrowBlockDims ? kBlockWidthNarrow : kBlockWidthMedium;
}

// The per-block table is kept only for large inner-product indexes: the pruned scan
// reads it, and euclidean ranking never prunes.
bool wants_block_table(const Engine& e) {
    return e.metric != format::Metric::Euclidean && e.rows >= tuning::kBlockTableMinRows &&
           e.dims >= tuning::kBlockTableMinDims;
}

// Sizes the derived tables. Done on the calling thread: memory a helper thread allocates
// comes from an allocator arena of its own, which keeps it after the engine is gone.
void allocate_tables(Engine& e) {
    if (e.dims == 0) return;  // every entry is -0.0; the accessors answer without a table
    e.row_sq_norms_table = Table<double>(static_cast<std::size_t>(e.rows));
    e.row_norms_table = Table<float>(static_cast<std::size_t>(e.rows));
    if (wants_block_table(e))
        e.row_block_sq_norms = Table<double>(static_cast<std::size_t>(e.rows * e.num_blocks()));
}

// Fills the tables and derives the digest together: the sums run on the worker pool, fed
// from a helper thread, while the calling thread hashes (the hash hook may call back into
// the interpreter, so it stays on the caller). The helper is joined before anything
// returns, and an exception it meets is rethrown here. Small indexes are not worth a thread.
// The hook gets the file's bytes with a share in `engine`.
void fill_tables_and_digest(const std::shared_ptr<Engine>& engine, const LoadHooks& hooks, std::size_t file_size) {
    Engine& e = *engine;
    const bool blocks = e.row_block_sq_norms.size() != 0;
    std::exception_ptr failure;
    {
        std::jthread helper;
        if (e.rows * e.dims >= tuning::kHelperMinElements) {
            try {
                helper = std::jthread([&e, blocks, &failure] {
                    try {
                        fill_norm_tables(e, blocks);
                    } catch (...) {
                        failure = std::current_exception();
                    }
                });
            } catch (const std::system_error&) {
                // No thread to spare: one after the other.
            }
        }
        if (!helper.joinable()) fill_norm_tables(e, blocks);
        if (hooks.digest) e.index_hash = hooks.digest(SharedBytes(engine, e.mapping.data()), file_size);
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

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

    if (hooks.configure_pool) hooks.configure_pool();

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
    e.block_width = block_width_for(e.rows, e.dims);
    allocate_tables(e);
    fill_tables_and_digest(engine, hooks, static_cast<std::size_t>(file_size));
    // A saved sketch is bound to the hash; the directory is taken as it is now, not as the
    // working directory makes it when the sketch is first needed.
    if (const auto dir = settings::sketch_dir(); dir && hooks.digest) e.sketch_dir = resolve_path(*dir);
    if (settings::sketch_at_open()) e.sketch.get_or_build(e);  // nullptr (no memory for it) is no error
    e.index_path = resolve_path(path);
    return EngineHandle(std::move(engine));
}

}  // namespace zorvik

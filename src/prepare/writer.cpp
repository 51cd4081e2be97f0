#include "prepare/writer.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/pool.hpp"
#include "engine/text.hpp"
#include "prepare/messages.hpp"

namespace zorvik::prepare {

namespace {

// Floats one pool task normalises at least, so narrow rows are grouped into ranges.
constexpr std::size_t kTaskFloats = 32768;
constexpr std::size_t kNameMax = NAME_MAX;

// Appends `name` to `dir`, adding "/" only when `dir` is not empty and does not end in one.
std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

// Directory part of `path` without trailing slashes; "" for a bare name, "/" for root.
std::string parent_of(const std::string& path) {
    std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return path.empty() ? "" : "/";
    const std::size_t slash = path.rfind('/', end);
    if (slash == std::string::npos) return "";
    const std::size_t keep = path.find_last_not_of('/', slash);
    if (keep == std::string::npos) return "/";
    return path.substr(0, keep + 1);
}

// stat() of `path`; a path with an embedded NUL names no file and cannot be examined.
bool examine(const std::string& path, struct stat* st) {
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), st) == 0;
}

bool exists(const std::string& path) {
    struct stat st;
    return examine(path, &st);
}

bool is_directory(const std::string& path) {
    struct stat st;
    return examine(path, &st) && S_ISDIR(st.st_mode);
}

// Creates `path` and every missing ancestor (mode 0777 before the umask); 0 or errno.
int make_directories(const std::string& path) {
    if (path.empty()) return 0;
    if (path.find('\0') != std::string::npos) return EINVAL;
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    int err = errno;
    if (err == ENOENT) {
        const std::string parent = parent_of(path);
        if (!parent.empty() && parent != path) {
            if (const int e = make_directories(parent); e != 0) return e;
        }
        if (::mkdir(path.c_str(), 0777) == 0) return 0;
        err = errno;
    }
    // Someone else (possibly a concurrent preparation) may have created it.
    return is_directory(path) ? 0 : err;
}

// Removes a temporary file of an older run; a file that vanished meanwhile is gone anyway.
Status remove_stale_temp(const std::string& path) {
    if (!exists(path)) return {};
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return {};
    return Error{text::fill(msg::kRemoveTempFailed, {text::os_error(errno)})};
}

// Cuts `s` to at most `n` bytes without splitting a UTF-8 sequence.
std::string utf8_prefix(const std::string& s, std::size_t n) {
    if (s.size() <= n) return s;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

// The temporary file of one preparation: created exclusively under a name no other
// preparation uses, and deleted again unless it has been moved to its final name.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }

    // Creates "{dir}/{base}.{unique}.tmp" with mode 0666 before the umask; 0 or errno.
    // When only the unique part would push the name past NAME_MAX, `base` is shortened.
    int create(const std::string& dir, const std::string& base, const std::string& final_name) {
        static std::atomic<std::uint64_t> counter{0};
        int err = EEXIST;
        for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
            const std::string unique = text::fill(".{}-{}.tmp", {text::dec(static_cast<std::uint64_t>(::getpid())),
                                                                text::dec(counter.fetch_add(1))});
            std::string name = base + unique;
            if (final_name.size() <= kNameMax && name.size() > kNameMax)
                name = utf8_prefix(base, kNameMax - unique.size()) + unique;
            path_ = join(dir, name);
            fd_ = FileDescriptor(::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (fd_.valid()) return 0;
            err = errno;
        }
        attempted_ = path_;
        path_.clear();
        return err;
    }

    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_.empty() ? attempted_ : path_; }
    void close() { fd_.close(); }
    // The file now lives under its final name: nothing to delete any more.
    void keep() { path_.clear(); }

private:
    FileDescriptor fd_;
    std::string path_;
    std::string attempted_;
};

// Gives the file its full length with the disk space reserved, so that writing through
// the mapping can never fault for want of space; 0 or errno.
int reserve_length(int fd, std::uint64_t length) {
    int rc;
    do {
        rc = ::posix_fallocate(fd, 0, static_cast<off_t>(length));
    } while (rc == EINTR);
    if (rc == 0) return 0;
    if (rc != EOPNOTSUPP && rc != ENOSYS && rc != EINVAL) return rc;
    // No reservation possible on this file system: plain sizing.
    while (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

Expected<Mapping> map_writable(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return Error{text::fill(msg::kMapFailed, {text::os_error(errno)})};
    if (static_cast<std::uint64_t>(st.st_size) > static_cast<std::uint64_t>(PTRDIFF_MAX))
        return Error{text::fill(msg::kMapFailed, {msg::kMapLengthOverflow})};
    const auto length = static_cast<std::size_t>(st.st_size);
    void* addr = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) return Error{text::fill(msg::kMapFailed, {text::os_error(errno)})};
    return Mapping(addr, length);
}

// Makes the rename itself durable. Best effort: the index is complete and in place.
void sync_directory(const std::string& dir) {
    FileDescriptor d(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.valid()) ::fsync(d.get());
}

std::optional<std::string> home_directory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') return std::string(home);
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = suggested > 0 ? static_cast<std::size_t>(suggested) : 512;
    for (;;) {
        std::vector<char> buffer(size);
        struct passwd entry;
        struct passwd* found = nullptr;
        const int rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && size < (std::size_t{1} << 20)) {
            size *= 2;
            continue;
        }
        if (rc != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0')
            return std::nullopt;
        return std::string(found->pw_dir);
    }
}

}  // namespace

std::optional<std::string> default_index_dir() {
    std::optional<std::string> home = home_directory();
    if (!home) return std::nullopt;
    return join(join(*home, ".zorvik"), "indexes");
}

std::uint64_t chunk_rows(std::uint64_t dims) {
    if (dims < 1280) return 8192;
    return std::max<std::uint64_t>(8192 / (dims / 1024), 1000);
}

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
    if (s == 0.0f || !std::isfinite(n)) {
        std::fill(out, out + dims, 0.0f);
        return;
    }
    const float r = 1.0f / n;
    for (std::size_t j = 0; j < dims; ++j) out[j] = x[j] * r;
}

namespace {

// Asks the kernel to fault in the chunk's pages for writing in one call; filling them
// then costs a copy, not one page fault per page. Kernels without the advice skip it.
// (Normalising tasks fault their own rows in, in parallel, which measured faster.)
void prefault_for_write(float* dst, std::uint64_t floats) {
#ifndef MADV_POPULATE_WRITE
    constexpr int MADV_POPULATE_WRITE = 23;
#endif
    static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(dst) & ~(page - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(dst + floats);
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
}

}  // namespace

void write_vectors(unsigned char* mapping, FloatBuffer& values, std::uint64_t dims,
                   std::uint64_t rows, bool normalize, int writeback_fd) {
    // The float area starts at byte 12 of a page-aligned mapping, so it is 4-byte aligned.
    float* out = reinterpret_cast<float*>(mapping + format::kHeaderBytes);
    const float* in = values.data();
    const std::uint64_t chunk = std::min(rows, chunk_rows(dims));
    const std::uint64_t rows_per_task = std::max<std::uint64_t>(1, kTaskFloats / dims);
    for (std::uint64_t first = 0; first < rows; first += chunk) {
        const std::uint64_t count = std::min(chunk, rows - first);
        const float* src = in + first * dims;
        float* dst = out + first * dims;
        if (!normalize) {
            // Plain copy on the calling thread: an unnormalised write never starts the pool.
            prefault_for_write(dst, count * dims);
            std::memcpy(dst, src, count * dims * sizeof(float));
        } else {
            // Each task owns rows [t * rows_per_task, ...) of this chunk; the chunk is
            // done before the next one starts.
            const std::uint64_t tasks = (count + rows_per_task - 1) / rows_per_task;
            pool::parallel_for(tasks, [&](std::size_t t) {
                const std::uint64_t begin = t * rows_per_task;
                const std::uint64_t end = std::min(count, begin + rows_per_task);
                for (std::uint64_t r = begin; r < end; ++r) normalize_row(src + r * dims, dst + r * dims, dims);
            });
        }
        if (writeback_fd >= 0) {
            const auto offset = static_cast<off_t>(format::kHeaderBytes + first * dims * sizeof(float));
            ::sync_file_range(writeback_fd, offset, static_cast<off_t>(count * dims * sizeof(float)),
                              SYNC_FILE_RANGE_WRITE);
        }
        // The chunk's input is consumed: its pages can back the next chunk's file pages.
        values.release_before((first + count) * dims);
    }
}

Status finalize_index_file(Mapping& mapping, const std::string& temp_path, const std::string& final_path) {
    if (::msync(mapping.data(), mapping.length(), MS_SYNC) != 0) {
        const int err = errno;
        mapping.reset();
        return Error{text::fill(msg::kFlushFailed, {text::os_error(err)})};
    }
    mapping.reset();
    struct stat st;
    if (::stat(temp_path.c_str(), &st) != 0)
        return Error{text::fill(msg::kTempMetadataFailed, {text::os_error(errno)})};
    if (::rename(temp_path.c_str(), final_path.c_str()) != 0)
        return Error{text::fill(msg::kMoveFailed, {text::os_error(errno)})};
    return {};
}

Expected<std::string> write_index(const std::optional<std::string>& output_dir, const std::string& stem,
                                  const std::string& level, FloatBuffer& values,
                                  std::uint64_t dims, std::uint64_t rows, format::Metric metric,
                                  bool normalize) {
    std::string dir;
    if (!output_dir) {
        std::optional<std::string> d = default_index_dir();
        if (!d) return Error{msg::kNoHome};
        dir = std::move(*d);
    } else {
        struct stat st;
        if (examine(*output_dir, &st) && !S_ISDIR(st.st_mode))
            return Error{text::fill(msg::kNotADirectory, {*output_dir})};
        dir = *output_dir;
    }

    const std::string base = stem + "_" + level;
    const std::string final_name = base + ".bin";
    const std::string final_path = join(dir, final_name);
    const std::string parent = parent_of(final_path);
    if (!parent.empty() && !exists(parent)) {
        if (const int err = make_directories(parent); err != 0)
            return Error{text::fill(msg::kCreateDirFailed, {parent, text::os_error(err)})};
    }

    // Older versions wrote every preparation of this name through one shared ".tmp";
    // a leftover of such a run is cleared first.
    if (Status s = remove_stale_temp(join(dir, base + ".tmp")); !s) return Error{s.error()};

    TempFile temp;
    if (const int err = temp.create(dir, base, final_name); err != 0)
        return Error{text::fill(msg::kCreateFileFailed, {temp.path(), text::os_error(err)})};

    const format::u128 size = format::expected_file_size(rows, dims);
    if (const int err = reserve_length(temp.fd(), static_cast<std::uint64_t>(size)); err != 0)
        return Error{text::fill(msg::kSetLengthFailed, {text::os_error(err)})};

    Expected<Mapping> mapped = map_writable(temp.fd());
    if (!mapped) return Error{mapped.error()};
    Mapping& mapping = mapped.value();

    format::write_header(mapping.data(), static_cast<std::uint32_t>(dims), static_cast<std::uint32_t>(rows),
                         metric);
    write_vectors(mapping.data(), values, dims, rows, normalize, temp.fd());

    if (Status s = finalize_index_file(mapping, temp.path(), final_path); !s) return Error{s.error()};
    temp.keep();
    temp.close();
    sync_directory(parent);
    return final_path;
}

}  // namespace zorvik::prepare

#include "prepare/temp_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <utility>

#include "engine/text.hpp"
#include "prepare/placement.hpp"

namespace zorvik::prepare {

namespace {

constexpr std::size_t kNameMax = NAME_MAX;
constexpr int kAttempts = 100;

// Cuts `s` to at most `n` bytes without splitting a UTF-8 sequence.
std::string utf8_prefix(const std::string& s, std::size_t n) {
    if (s.size() <= n) return s;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

// "{base}.{pid}-{n}.tmp"; when only the unique part would push the name past
// NAME_MAX, `base` is shortened.
std::string unique_name(const std::string& base, const std::string& final_name) {
    static std::atomic<std::uint64_t> counter{0};
    const std::string unique = text::fill(".{}-{}.tmp", {text::dec(static_cast<std::uint64_t>(::getpid())),
                                                        text::dec(counter.fetch_add(1))});
    std::string name = base + unique;
    if (final_name.size() <= kNameMax && name.size() > kNameMax)
        name = utf8_prefix(base, kNameMax - unique.size()) + unique;
    return name;
}

// Links the unnamed file open as `fd` at `path`: directly where the caller may, else
// through its /proc entry. 0 or errno.
int link_unnamed(int fd, const std::string& path) {
    if (::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT && errno != EPERM) return errno;
    const std::string proc = "/proc/self/fd/" + text::dec(static_cast<std::uint64_t>(fd));
    if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    return errno;
}

}  // namespace

TempFile::TempFile(TempFile&& o) noexcept
    : fd_(std::move(o.fd_)), path_(std::move(o.path_)), owned_(std::exchange(o.owned_, false)) {}

TempFile& TempFile::operator=(TempFile&& o) noexcept {
    if (this != &o) {
        discard();
        fd_ = std::move(o.fd_);
        path_ = std::move(o.path_);
        owned_ = std::exchange(o.owned_, false);
    }
    return *this;
}

TempFile::~TempFile() { discard(); }

void TempFile::discard() {
    if (owned_) ::unlink(path_.c_str());
    owned_ = false;
    fd_.close();
}

int TempFile::create_unnamed(const std::string& dir) {
    discard();
    fd_ = FileDescriptor(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    return fd_.valid() ? 0 : errno;
}

int TempFile::take_unique_name(const std::string& dir, const std::string& base, const std::string& final_name,
                               int (*attempt)(TempFile&)) {
    int err = EEXIST;
    for (int i = 0; i < kAttempts && err == EEXIST; ++i) {
        path_ = join(dir, unique_name(base, final_name));
        err = attempt(*this);
    }
    owned_ = err == 0;
    return err;
}

int TempFile::create_named(const std::string& dir, const std::string& base, const std::string& final_name) {
    discard();
    return take_unique_name(dir, base, final_name, [](TempFile& f) {
        f.fd_ = FileDescriptor(::open(f.path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        return f.fd_.valid() ? 0 : errno;
    });
}

int TempFile::give_name(const std::string& dir, const std::string& base, const std::string& final_name) {
    if (owned_) return 0;
    return take_unique_name(dir, base, final_name, [](TempFile& f) { return link_unnamed(f.fd(), f.path_); });
}

int TempFile::reserve(std::uint64_t length) {
    int rc;
    do {
        rc = ::posix_fallocate(fd(), 0, static_cast<off_t>(length));
    } while (rc == EINTR);
    if (rc == 0) return 0;
    if (rc != EOPNOTSUPP && rc != ENOSYS && rc != EINVAL) return rc;
    // No reservation possible on this file system: plain sizing.
    while (::ftruncate(fd(), static_cast<off_t>(length)) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

}  // namespace zorvik::prepare

#include "base/temp_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text.hpp"

namespace zorvik {

namespace {

constexpr std::size_t kNameMax = NAME_MAX;
constexpr int kAttempts = 100;

// Cuts `s` to at most `n` bytes without splitting a UTF-8 sequence.
std::string utf8_prefix(const std::string& s, std::size_t n) {
    if (s.size() <= n) return s;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

// This host as it appears in temporary names: process numbers are only meaningful on
// the host (and in the process-number space) that issued them.
const std::string& host_marker() {
    static const std::string marker = [] {
        char buf[256] = {};
        if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return std::string("host");
        std::string m(buf, std::min<std::size_t>(std::strlen(buf), 64));
        for (char& c : m) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                               c == '-' || c == '.' || c == '_';
            if (!plain) c = '_';
        }
        return m;
    }();
    return marker;
}

// "{base}.{host}.{pid}-{n}.tmp"; when only the unique part would push the name past
// NAME_MAX, `base` is shortened.
std::string temp_name(const std::string& base, const std::string& final_name, std::uint64_t pid, std::uint64_t n) {
    const std::string unique = text::fill(".{}.{}-{}.tmp", {host_marker(), text::dec(pid), text::dec(n)});
    std::string name = base + unique;
    if (final_name.size() <= kNameMax && name.size() > kNameMax)
        name = utf8_prefix(base, kNameMax - unique.size()) + unique;
    return name;
}

std::string unique_name(const std::string& base, const std::string& final_name) {
    static std::atomic<std::uint64_t> counter{0};
    return temp_name(base, final_name, static_cast<std::uint64_t>(::getpid()), counter.fetch_add(1));
}

// The decimal number ending at name[end) and starting after `sep`; moves end to the
// separator. Nothing when the digits are missing or too many.
std::optional<std::uint64_t> number_before(const std::string& name, std::size_t& end, char sep) {
    const std::size_t at = name.rfind(sep, end == 0 ? 0 : end - 1);
    if (at == std::string::npos || end - at - 1 == 0 || end - at - 1 > 19) return std::nullopt;
    std::uint64_t v = 0;
    for (std::size_t i = at + 1; i < end; ++i) {
        if (name[i] < '0' || name[i] > '9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(name[i] - '0');
    }
    end = at;
    return v;
}

// The process number of a temporary file of ours for `base`, made on this host.
std::optional<std::uint64_t> temp_owner(const std::string& name, const std::string& base,
                                        const std::string& final_name) {
    static constexpr std::string_view kSuffix = ".tmp";
    if (name.size() <= kSuffix.size() || name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
        return std::nullopt;
    std::size_t end = name.size() - kSuffix.size();
    const auto n = number_before(name, end, '-');
    const auto pid = n ? number_before(name, end, '.') : std::nullopt;
    if (!pid || temp_name(base, final_name, *pid, *n) != name) return std::nullopt;
    return pid;
}

// True only when no process `pid` exists on this host.
bool process_gone(std::uint64_t pid) {
    if (pid == 0 || pid > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max())) return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
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

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

void remove_orphaned_temp_files(const std::string& dir, const std::string& base, const std::string& final_name) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.empty() ? "." : dir.c_str()), &::closedir);
    if (!d) return;
    std::vector<std::string> orphans;
    while (const dirent* entry = ::readdir(d.get())) {
        const std::string name = entry->d_name;
        if (const auto pid = temp_owner(name, base, final_name); pid && process_gone(*pid)) orphans.push_back(name);
    }
    for (const std::string& name : orphans) ::unlink(join(dir, name).c_str());
}

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

}  // namespace zorvik

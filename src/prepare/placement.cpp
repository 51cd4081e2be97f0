#include "prepare/placement.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "base/settings.hpp"
#include "base/temp_file.hpp"
#include "base/text.hpp"
#include "prepare/messages.hpp"

namespace zorvik::prepare {

namespace {

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

bool examine(const std::string& path, struct stat* st) {
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), st) == 0;
}

bool is_directory(const std::string& path) {
    struct stat st;
    return examine(path, &st) && S_ISDIR(st.st_mode);
}

// Creates `path` and every missing ancestor; 0 or errno.
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

std::optional<std::string> home_directory() {
    if (auto home = settings::home()) return home;
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

bool exists(const std::string& path) {
    struct stat st;
    return examine(path, &st);
}

namespace {

// "$HOME/.zorvik/indexes", or the password database's home directory when HOME is
// unset or empty; nullopt when neither gives one.
std::optional<std::string> default_index_dir() {
    std::optional<std::string> home = home_directory();
    if (!home) return std::nullopt;
    return join(join(*home, ".zorvik"), "indexes");
}

}  // namespace

Expected<Placement> place_index(const std::optional<std::string>& output_dir, const std::string& stem,
                                const std::string& level) {
    Placement p;
    if (!output_dir) {
        std::optional<std::string> d = default_index_dir();
        if (!d) return Error{msg::kNoHome};
        p.dir = std::move(*d);
    } else {
        struct stat st;
        if (examine(*output_dir, &st) && !S_ISDIR(st.st_mode))
            return Error{text::fill(msg::kNotADirectory, {*output_dir})};
        p.dir = *output_dir;
    }
    p.base = stem + "_" + level;
    p.final_name = p.base + ".bin";
    p.final_path = join(p.dir, p.final_name);
    p.parent = parent_of(p.final_path);
    if (!p.parent.empty() && !exists(p.parent)) {
        if (const int err = make_directories(p.parent); err != 0)
            return Error{text::fill(msg::kCreateDirFailed, {p.parent, text::os_error(err)})};
    }
    return p;
}

}  // namespace zorvik::prepare

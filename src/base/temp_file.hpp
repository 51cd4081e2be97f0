#pragma once
// A file written before it takes its final name (an index, a saved sketch). Either
// unnamed (it appears in the directory only once complete) or created exclusively under
// a name no other writer uses; either way it is gone again unless kept.
#include <cstdint>
#include <string>

#include "base/mapping.hpp"

namespace zorvik {

// Appends `name` to `dir`, adding "/" only when `dir` is not empty and does not end in one.
std::string join(const std::string& dir, const std::string& name);

// Deletes the temporary files for `base` in `dir` left by processes of this host that
// no longer exist (killed before their file took its final name). Files of live
// processes, of other hosts and of other names stay. Best effort: failures are ignored.
void remove_orphaned_temp_files(const std::string& dir, const std::string& base, const std::string& final_name);

class TempFile {
public:
    TempFile() = default;
    TempFile(TempFile&& o) noexcept;
    TempFile& operator=(TempFile&& o) noexcept;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile();

    // An unnamed file in `dir`, mode 0666 before the umask; 0 or errno.
    int create_unnamed(const std::string& dir);
    // "{dir}/{base}.{host}.{pid}-{n}.tmp", mode 0666 before the umask; 0 or errno.
    int create_named(const std::string& dir, const std::string& base, const std::string& final_name);
    // Gives an unnamed file such a name; a named file has one already. 0 or errno.
    int give_name(const std::string& dir, const std::string& base, const std::string& final_name);

    // Gives the file `length` bytes with the disk space reserved where the file system
    // can, so that filling it cannot fail for want of space; 0 or errno.
    int reserve(std::uint64_t length);

    int fd() const { return fd_.get(); }
    // The file's name, or the last name tried when creating or naming failed.
    const std::string& path() const { return path_; }
    // The file now lives under its final name: nothing to delete any more.
    void keep() { owned_ = false; }

private:
    int take_unique_name(const std::string& dir, const std::string& base, const std::string& final_name,
                         int (*attempt)(TempFile&));
    void discard();

    FileDescriptor fd_;
    std::string path_;
    bool owned_ = false;  // path_ names a file this object created and must delete
};

}  // namespace zorvik

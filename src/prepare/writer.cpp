#include "prepare/writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/text.hpp"
#include "prepare/contents.hpp"
#include "prepare/messages.hpp"
#include "prepare/placement.hpp"

namespace zorvik::prepare {

namespace {

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
                                   const std::string& level, const RowChunks& rows, const IndexShape& shape) {
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
    if (Status s = write_contents(file.fd(), rows, shape); !s) return Error{s.error()};
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

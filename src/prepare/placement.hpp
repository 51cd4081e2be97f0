#pragma once
// Where an index goes: the directory choice, the final path, and the directories
// created for it.
#include <optional>
#include <string>

#include "base/expected.hpp"

namespace zorvik::prepare {

struct Placement {
    std::string dir;         // as chosen: output_dir as passed, or the default directory
    std::string base;        // "{stem}_{level}"
    std::string final_name;  // "{stem}_{level}.bin"
    std::string final_path;  // dir joined with final_name
    std::string parent;      // directory part of final_path; "" for the current directory
};

// Chooses the directory, builds the final path and creates the missing directories
// (mode 0777 before the umask).
Expected<Placement> place_index(const std::optional<std::string>& output_dir, const std::string& stem,
                                const std::string& level);

// stat() of `path` succeeds (a path with an embedded NUL names no file).
bool exists(const std::string& path);

}  // namespace zorvik::prepare

#include "base/memory_limit.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace zorvik {

namespace {

// "a,b" as ",a,b,", so that a whole item is found by searching ",item,".
std::string fenced(std::string_view list) {
    std::string out(1, ',');
    out.append(list);
    out.push_back(',');
    return out;
}

// A limit file holds a decimal byte count, or "max" (v2) for none.
std::optional<std::uint64_t> read_limit(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    if (!(in >> text) || text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 19)
        return std::nullopt;
    return std::stoull(text);
}

// The smallest limit in `file` of directory `dir` and its ancestors up to `top`.
std::optional<std::uint64_t> smallest_on_path(std::string dir, const std::string& top, const char* file) {
    std::optional<std::uint64_t> best;
    for (;;) {
        if (const auto v = read_limit(dir + "/" + file)) best = best ? std::min(*best, *v) : *v;
        if (dir.size() <= top.size()) return best;
        dir.erase(dir.rfind('/'));
    }
}

struct Group {
    bool v2 = false;
    std::string path;  // inside its hierarchy
};

// The memory control groups of this process, from /proc/self/cgroup.
std::vector<Group> memory_groups() {
    std::vector<Group> out;
    std::ifstream in("/proc/self/cgroup");
    for (std::string line; std::getline(in, line);) {
        const std::size_t a = line.find(':');
        const std::size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        const std::string controllers = fenced(std::string_view(line).substr(a + 1, b - a - 1));
        const bool v2 = line.compare(0, a, "0") == 0 && controllers == ",,";
        if (v2 || controllers.find(",memory,") != std::string::npos) out.push_back({v2, line.substr(b + 1)});
    }
    return out;
}

// The limit of one control group, found through the mount of its hierarchy.
std::optional<std::uint64_t> group_limit(const Group& g) {
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, dev, root, mount_point, word;
        fields >> id >> parent >> dev >> root >> mount_point;
        while (fields >> word && word != "-") {
        }
        std::string fstype, source, options;
        fields >> fstype >> source >> options;
        const bool match = g.v2 ? fstype == "cgroup2"
                                : fstype == "cgroup" && fenced(options).find(",memory,") != std::string::npos;
        if (!match) continue;
        // Inside a control-group namespace the group may lie outside what is mounted:
        // then the mount's own top is the nearest group that can be read.
        std::string rel;
        if (root == "/") rel = g.path == "/" ? "" : g.path;
        else if (g.path.compare(0, root.size(), root) == 0) rel = g.path.substr(root.size());
        return smallest_on_path(mount_point + rel, mount_point, g.v2 ? "memory.max" : "memory.limit_in_bytes");
    }
    return std::nullopt;
}

}  // namespace

std::uint64_t usable_memory_bytes() {
    const auto pages = static_cast<std::uint64_t>(std::max(::sysconf(_SC_PHYS_PAGES), 1L));
    const auto page_size = static_cast<std::uint64_t>(std::max(::sysconf(_SC_PAGESIZE), 1L));
    std::uint64_t limit = pages * page_size;
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        struct rlimit rl {};
        if (::getrlimit(resource, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
            limit = std::min<std::uint64_t>(limit, rl.rlim_cur);
    }
    try {
        for (const Group& g : memory_groups())
            if (const auto v = group_limit(g)) limit = std::min(limit, *v);
    } catch (const std::exception&) {
        // An unreadable control-group description leaves the other limits in force.
    }
    return limit;
}

}  // namespace zorvik

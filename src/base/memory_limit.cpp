#include "base/memory_limit.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
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

// What is measured against each limit: the limit itself, or what is left of it.
enum class Measure { Limit, Headroom };

std::uint64_t left_of(std::uint64_t limit, std::uint64_t used) { return limit - std::min(limit, used); }

// A limit file holds a decimal byte count, or "max" (v2) for none; so does a usage file.
std::optional<std::uint64_t> read_count(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    if (!(in >> text) || text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 19)
        return std::nullopt;
    return std::stoull(text);
}

// The value of `key` in a file of "key value" lines (memory.stat, /proc/meminfo).
std::optional<std::uint64_t> read_field(const std::string& path, std::string_view key) {
    std::ifstream in(path);
    for (std::string name, value; in >> name >> value;) {
        if (!name.empty() && name.back() == ':') name.pop_back();
        if (name == key && value.find_first_not_of("0123456789") == std::string::npos && value.size() <= 19)
            return std::stoull(value);
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return std::nullopt;
}

// One control group's limit, or what is left of it: its charge counts file cache, and
// the inactive part of that cache is given back before anything fails.
std::optional<std::uint64_t> group_value(const std::string& dir, bool v2, Measure m) {
    const auto limit = read_count(dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes"));
    if (!limit || m == Measure::Limit) return limit;
    const std::uint64_t used = read_count(dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes")).value_or(0);
    const std::uint64_t cache = read_field(dir + "/memory.stat", v2 ? "inactive_file" : "total_inactive_file").value_or(0);
    return left_of(*limit, left_of(used, cache));
}

// The smallest value of directory `dir` and its ancestors up to `top`.
std::optional<std::uint64_t> smallest_on_path(std::string dir, const std::string& top, bool v2, Measure m) {
    std::optional<std::uint64_t> best;
    for (;;) {
        if (const auto v = group_value(dir, v2, m)) best = best ? std::min(*best, *v) : *v;
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

// The value of one control group, found through the mount of its hierarchy.
std::optional<std::uint64_t> group_limit(const Group& g, Measure m) {
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
        return smallest_on_path(mount_point + rel, mount_point, g.v2, m);
    }
    return std::nullopt;
}

// Pages of this process from /proc/self/statm: field 0 is the address space, field 5
// the data segment and stack, which RLIMIT_AS and RLIMIT_DATA bound.
std::uint64_t statm_bytes(int field, std::uint64_t page_size) {
    std::ifstream in("/proc/self/statm");
    std::uint64_t v = 0;
    for (int i = 0; i <= field; ++i)
        if (!(in >> v)) return 0;
    return v * page_size;
}

std::uint64_t memory_bytes(Measure m) {
    const auto pages = static_cast<std::uint64_t>(std::max(::sysconf(_SC_PHYS_PAGES), 1L));
    const auto page_size = static_cast<std::uint64_t>(std::max(::sysconf(_SC_PAGESIZE), 1L));
    std::uint64_t limit = pages * page_size;
    if (m == Measure::Headroom)
        if (const auto kib = read_field("/proc/meminfo", "MemAvailable")) limit = std::min(limit, *kib * 1024);
    for (const auto& [resource, field] : {std::pair{RLIMIT_AS, 0}, std::pair{RLIMIT_DATA, 5}}) {
        struct rlimit rl {};
        if (::getrlimit(resource, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) continue;
        const std::uint64_t cap = rl.rlim_cur;
        limit = std::min(limit, m == Measure::Limit ? cap : left_of(cap, statm_bytes(field, page_size)));
    }
    try {
        for (const Group& g : memory_groups())
            if (const auto v = group_limit(g, m)) limit = std::min(limit, *v);
    } catch (const std::exception&) {
        // An unreadable control-group description leaves the other limits in force.
    }
    return limit;
}

}  // namespace

std::uint64_t usable_memory_bytes() { return memory_bytes(Measure::Limit); }

std::uint64_t available_memory_bytes() { return memory_bytes(Measure::Headroom); }

}  // namespace zorvik
